// The real agent executable copied into a temporary install folder: unit files
// go to a temporary unit folder, the control socket to a temporary runtime
// folder, systemd's notifications and syslog to sockets of the test.
#pragma once

#include "support/fakecontrolserver.h"
#include "support/tempinstance.h"

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace agenttest {

const int ProcessTimeoutMs = 30000;

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

class AgentProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_units.isValid() && m_runtime.isValid() && m_sockets.isValid());
        m_exe = m_instance.copyExecutable(testsupport::binaryPath(QStringLiteral("app/ferrowinden-sso-agent")));
        QDir().mkpath(m_instance.filePath(QStringLiteral("tmp")));
        m_env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"NOTIFY_SOCKET", "LANG", "LANGUAGE"})
            m_env.remove(QString::fromLatin1(name));
        m_env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        m_env.insert(QStringLiteral("SSO_AGENT_UNIT_DIR"), m_units.path());
        m_env.insert(QStringLiteral("SSO_AGENT_RUNTIME_DIR"), m_runtime.path());
        m_env.insert(QStringLiteral("SSO_AGENT_SYSLOG_SOCKET"), socketPath("syslog"));
        m_env.insert(QStringLiteral("TMPDIR"), m_instance.filePath(QStringLiteral("tmp")));
        // The agent listens once started: a free port, never the default one.
        m_port = testsupport::freeTcpPort();
        m_instance.writeFile(QStringLiteral("config.ini"), "[WebServer]\nPort=" + QByteArray::number(m_port) + "\n");
    }

    void TearDown() override
    {
        for (auto &process : m_started) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(ProcessTimeoutMs);
            }
        }
    }

    Result run(const QStringList &arguments, const QProcessEnvironment &environment = QProcessEnvironment())
    {
        QProcess process;
        process.setProcessEnvironment(environment.isEmpty() ? m_env : environment);
        process.setWorkingDirectory(m_instance.path());
        process.start(m_exe, arguments);
        Result result;
        if (!process.waitForFinished(ProcessTimeoutMs) || process.exitStatus() != QProcess::NormalExit) {
            process.kill();
            process.waitForFinished();
            ADD_FAILURE() << "agent " << arguments.join(QLatin1Char(' ')).toStdString() << " did not finish";
            return result;
        }
        return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
    }

    QProcess *start(const QStringList &arguments, const QProcessEnvironment &environment = QProcessEnvironment())
    {
        m_started.push_back(std::make_unique<QProcess>());
        QProcess *process = m_started.back().get();
        process->setProcessEnvironment(environment.isEmpty() ? m_env : environment);
        process->setWorkingDirectory(m_instance.path());
        process->start(m_exe, arguments);
        EXPECT_TRUE(process->waitForStarted(ProcessTimeoutMs));
        return process;
    }

    // As systemd starts it: no option, NOTIFY_SOCKET set.
    QProcess *startService(const testsupport::DatagramListener &notify)
    {
        QProcessEnvironment environment = m_env;
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), notify.path());
        return start({}, environment);
    }

    // Runs the event loop meanwhile, so that peers of the test go on talking.
    int finish(QProcess *process)
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return process->state() == QProcess::NotRunning; }, ProcessTimeoutMs));
        EXPECT_EQ(process->exitStatus(), QProcess::NormalExit) << process->readAllStandardError().toStdString();
        return process->state() == QProcess::NotRunning ? process->exitCode() : -100;
    }

    QString log() const
    {
        return QString::fromUtf8(m_instance.readFile(QStringLiteral("log/ferrowinden-sso-agent.log")));
    }
    bool waitForLog(const QString &text) const
    {
        return QTest::qWaitFor([&] { return log().contains(text); }, 15000);
    }
    QString socketPath(const char *name) const { return m_sockets.filePath(QString::fromLatin1(name)); }
    // A TCP port nobody uses right now, so that runs in parallel do not meet.
    static quint16 freePort()
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::Any, 0))
            return 0;
        return probe.serverPort();
    }

    testsupport::TempInstance m_instance;
    quint16 m_port = 0;
    QTemporaryDir m_units;
    QTemporaryDir m_runtime;
    QTemporaryDir m_sockets;
    QString m_exe;
    QProcessEnvironment m_env;
    std::vector<std::unique_ptr<QProcess>> m_started;
};

} // namespace agenttest
