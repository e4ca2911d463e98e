// The real agent executable copied into a temporary install folder: unit files
// go to a temporary unit folder, the control socket to a temporary runtime
// folder, systemd's notifications and syslog to sockets of the test. With
// $SSO_TEST_AGENT_ACCOUNT (an account name) every run of the agent is that
// account's, with only the capabilities an account's unit grants, and the
// folders it uses are handed to it, as an account-based install would.
#pragma once

#include "support/fakecontrolserver.h"
#include "support/tempinstance.h"
#include "support/testaccount.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace agenttest {

const int ProcessTimeoutMs = 30000;
// What the unit of a service account grants, in setpriv's words.
const QStringList AccountCapabilities = {QStringLiteral("net_bind_service"), QStringLiteral("net_raw")};

// Who runs the agent: the test's own root when account is null.
struct Identity
{
    Identity() = default;
    Identity(const testsupport::TestAccount *account, const QStringList &capabilities = QStringList(),
             bool lockedDown = false)
        : account(account), capabilities(capabilities), lockedDown(lockedDown)
    {}

    const testsupport::TestAccount *account = nullptr;
    QStringList capabilities;
    bool lockedDown = false; // the bounding set limited to them, no new privileges
};

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
        m_exe = m_instance.copyExecutable(agentBinary());
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
        const QString account = QString::fromLocal8Bit(qgetenv("SSO_TEST_AGENT_ACCOUNT"));
        if (!account.isEmpty()) {
            m_envAccount = testsupport::TestAccount::existing(account);
            ASSERT_TRUE(m_envAccount.isValid()) << "no account " << account.toStdString();
            runAgentAs({&m_envAccount, AccountCapabilities, true});
        }
        m_instance.writeFile(QStringLiteral("config.ini"), "[WebServer]\nPort=" + QByteArray::number(m_port) + "\n");
    }

    // From now on the agent runs as who.account: the install folder (and
    // what the test writes there later), the runtime folder (as systemd's
    // RuntimeDirectory=) and the test's sockets become the account's.
    void runAgentAs(const Identity &who)
    {
        m_as = who;
        if (!who.account)
            return;
        m_instance.setOwner(who.account->uid(), who.account->gid());
        for (const QString &path : {m_instance.path(), m_runtime.path(), m_sockets.path()})
            ASSERT_TRUE(who.account->handOver(path)) << path.toStdString();
        // The program itself stays root's, as installed.
        ASSERT_EQ(::chown(QFile::encodeName(m_exe).constData(), 0, 0), 0);
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
        return run(m_as, arguments, environment);
    }
    Result run(const Identity &who, const QStringList &arguments,
               const QProcessEnvironment &environment = QProcessEnvironment())
    {
        QProcess process;
        process.setProcessEnvironment(environment.isEmpty() ? m_env : environment);
        process.setWorkingDirectory(m_instance.path());
        launch(&process, who, arguments);
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
        launch(process, m_as, arguments);
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
    // setpriv becomes the agent (same process), so signals reach the agent itself.
    void launch(QProcess *process, const Identity &who, const QStringList &arguments)
    {
        if (!who.account) {
            process->start(m_exe, arguments);
            return;
        }
        // Sockets the test bound since: the agent must be able to send to them.
        if (m_as.account) {
            EXPECT_TRUE(m_as.account->handOver(m_sockets.path()));
        }
        process->start(QStringLiteral("setpriv"), who.account->setprivArguments(who.capabilities, who.lockedDown) +
                                                      QStringList{m_exe} + arguments);
    }

    QString socketPath(const char *name) const { return m_sockets.filePath(QString::fromLatin1(name)); }
    // The agent the tests run: the one built here, or $SSO_TEST_AGENT_BINARY
    // (another build of it, e.g. to see a regression test fail on older code).
    static QString agentBinary()
    {
        const QByteArray other = qgetenv("SSO_TEST_AGENT_BINARY");
        return other.isEmpty() ? testsupport::binaryPath(QStringLiteral("app/ferrowinden-sso-agent"))
                               : QString::fromLocal8Bit(other);
    }

    testsupport::TempInstance m_instance;
    quint16 m_port = 0;
    QTemporaryDir m_units;
    QTemporaryDir m_runtime;
    QTemporaryDir m_sockets;
    QString m_exe;
    QProcessEnvironment m_env;
    std::vector<std::unique_ptr<QProcess>> m_started;
    testsupport::TestAccount m_envAccount; // $SSO_TEST_AGENT_ACCOUNT
    Identity m_as;
};

} // namespace agenttest
