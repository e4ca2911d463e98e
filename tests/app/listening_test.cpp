// The agent executable, copied into a temporary install folder, serving the
// project's firewall peer: it listens on Port once started, stores the
// firewall's configuration in config.ini, stops listening while paused and
// says Goodbye to every firewall when it stops.
#include "support/fakecontrolserver.h"
#include "support/tempinstance.h"
#include "tools/firewallpeer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

const int ProcessTimeoutMs = 30000;
const QByteArray Key = "listening test key";

class AgentListening : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_units.isValid() && m_runtime.isValid() && m_sockets.isValid());
        m_exe = m_instance.copyExecutable(testsupport::binaryPath(QStringLiteral("app/ferrowinden-sso-agent")));
        QDir().mkpath(m_instance.filePath(QStringLiteral("tmp")));
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.remove(QStringLiteral("NOTIFY_SOCKET"));
        m_env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        m_env.insert(QStringLiteral("SSO_AGENT_UNIT_DIR"), m_units.path());
        m_env.insert(QStringLiteral("SSO_AGENT_RUNTIME_DIR"), m_runtime.path());
        m_env.insert(QStringLiteral("SSO_AGENT_SYSLOG_SOCKET"), m_sockets.filePath(QStringLiteral("syslog")));
        m_env.insert(QStringLiteral("TMPDIR"), m_instance.filePath(QStringLiteral("tmp")));

        // A port nobody uses right now, so that runs in parallel do not meet.
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::Any, 0));
        m_port = probe.serverPort();
        probe.close();
        m_instance.writeFile(QStringLiteral("config.ini"),
                             "[Global]\nVerboseLevel=high\nFirewallEnabled=true\n\n[WebServer]\nPort=" +
                                 QByteArray::number(m_port) + "\nSSLKey=" + Key + "\n");
    }

    void TearDown() override
    {
        m_peers.clear();
        if (m_agent && m_agent->state() != QProcess::NotRunning) {
            m_agent->kill();
            m_agent->waitForFinished(ProcessTimeoutMs);
        }
    }

    void startAgent(const QStringList &arguments, const QProcessEnvironment &environment)
    {
        m_agent = std::make_unique<QProcess>();
        m_agent->setProcessEnvironment(environment);
        m_agent->setWorkingDirectory(m_instance.path());
        m_agent->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_agent->start(m_exe, arguments);
        ASSERT_TRUE(m_agent->waitForStarted(ProcessTimeoutMs));
    }

    int runAgent(const QStringList &arguments)
    {
        QProcess process;
        process.setProcessEnvironment(m_env);
        process.setWorkingDirectory(m_instance.path());
        process.start(m_exe, arguments);
        if (!process.waitForFinished(ProcessTimeoutMs))
            return -100;
        return process.exitCode();
    }

    int finishAgent()
    {
        const bool finished =
            QTest::qWaitFor([&] { return m_agent->state() == QProcess::NotRunning; }, ProcessTimeoutMs);
        EXPECT_TRUE(finished);
        return finished ? m_agent->exitCode() : -100;
    }

    QString log() const
    {
        return QString::fromUtf8(m_instance.readFile(QStringLiteral("log/ferrowinden-sso-agent.log")));
    }
    bool waitForLog(const QString &text, int timeoutMs = 15000) const
    {
        return QTest::qWaitFor([&] { return log().contains(text); }, timeoutMs);
    }

    diag::FirewallPeer *connectPeer(const QString &serial, const QString &bind)
    {
        diag::FirewallPeer::Options options;
        options.port = m_port;
        options.key = Key;
        options.serial = serial;
        options.bindAddress = QHostAddress(bind);
        options.controllers = QStringList{QStringLiteral("192.0.2.5")};
        m_peers.push_back(std::make_unique<diag::FirewallPeer>(options));
        diag::FirewallPeer *peer = m_peers.back().get();
        peer->start();
        return peer;
    }
    static bool waitReady(diag::FirewallPeer *peer)
    {
        return QTest::qWaitFor([&] { return peer->rulesSent() && peer->count(QStringLiteral("Ack")) >= 2; }, 15000);
    }
    static bool waitGoodbye(diag::FirewallPeer *peer, const QString &reason)
    {
        return QTest::qWaitFor(
            [&] {
                return peer->first(QStringLiteral("Goodbye")).value(QStringLiteral("error")) ==
                           QLatin1Char('"') + reason + QLatin1Char('"') &&
                       peer->isDisconnected();
            },
            15000);
    }
    bool portAccepts()
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        const bool connected = socket.waitForConnected(3000);
        socket.abort();
        return connected;
    }

    testsupport::TempInstance m_instance;
    QTemporaryDir m_units;
    QTemporaryDir m_runtime;
    QTemporaryDir m_sockets;
    QString m_exe;
    QProcessEnvironment m_env;
    quint16 m_port = 0;
    std::unique_ptr<QProcess> m_agent;
    std::vector<std::unique_ptr<diag::FirewallPeer>> m_peers;
};

TEST_F(AgentListening, ConsoleAgentServesFirewallsAndSaysGoodbyeWhenItStops)
{
    startAgent({QStringLiteral("-e")}, m_env);
    ASSERT_TRUE(waitForLog(QStringLiteral("Ferrowinden SSO Agent 3.0 started"))) << log().toStdString();

    diag::FirewallPeer *first = connectPeer(QStringLiteral("E2E-ONE"), QStringLiteral("127.0.0.1"));
    diag::FirewallPeer *second = connectPeer(QStringLiteral("E2E-TWO"), QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(waitReady(first)) << log().toStdString();
    ASSERT_TRUE(waitReady(second)) << log().toStdString();
    EXPECT_EQ(first->first(QStringLiteral("Agent")).value(QStringLiteral("version")), QStringLiteral("3"));

    const QString config = QString::fromUtf8(m_instance.readFile(QStringLiteral("config.ini")));
    EXPECT_TRUE(config.contains(QStringLiteral("[AD-E2E-ONE]"))) << config.toStdString();
    EXPECT_TRUE(config.contains(QStringLiteral("[AD-E2E-TWO]"))) << config.toStdString();
    // The firewall's rules reached its user filter.
    EXPECT_TRUE(waitForLog(QStringLiteral("192.0.2.5: E2E-ONE: initial rules: 1: pass: any on (0.0.0.0/0,::/0)")))
        << log().toStdString();

    ASSERT_EQ(::kill(pid_t(m_agent->processId()), SIGTERM), 0);
    EXPECT_TRUE(waitGoodbye(first, QStringLiteral("service is closing")));
    EXPECT_TRUE(waitGoodbye(second, QStringLiteral("service is closing")));
    EXPECT_EQ(finishAgent(), 0);
}

TEST_F(AgentListening, ServiceStopsListeningWhilePaused)
{
    ASSERT_EQ(runAgent({QStringLiteral("-i")}), 0);
    testsupport::DatagramListener notify(m_sockets.filePath(QStringLiteral("notify")));
    ASSERT_TRUE(notify.isValid());
    QProcessEnvironment environment = m_env;
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), notify.path());
    startAgent({}, environment);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty());
    ASSERT_TRUE(waitForLog(QStringLiteral("Ferrowinden SSO Agent 3.0 started")));

    diag::FirewallPeer *before = connectPeer(QStringLiteral("E2E-P"), QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(waitReady(before));

    ASSERT_EQ(runAgent({QStringLiteral("-p")}), 0);
    ASSERT_FALSE(notify.waitFor("STATUS=paused", 10000).isEmpty());
    EXPECT_FALSE(portAccepts());
    // The established firewall stays connected and answered.
    before->sendText(diag::PeerProtocol::keepAlive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return before->count(QStringLiteral("Alive")) == 1; }, 10000));

    ASSERT_EQ(runAgent({QStringLiteral("-r")}), 0);
    ASSERT_FALSE(notify.waitFor("STATUS=running", 10000).isEmpty());
    diag::FirewallPeer *after = connectPeer(QStringLiteral("E2E-R"), QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(waitReady(after));

    ASSERT_EQ(runAgent({QStringLiteral("-t")}), 0);
    EXPECT_TRUE(waitGoodbye(before, QStringLiteral("service is closing")));
    EXPECT_TRUE(waitGoodbye(after, QStringLiteral("service is closing")));
    EXPECT_EQ(finishAgent(), 0);
    EXPECT_EQ(runAgent({QStringLiteral("-u")}), 0);
}

TEST_F(AgentListening, PortInUseStopsTheAgent)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, m_port));
    startAgent({QStringLiteral("-e")}, m_env);
    EXPECT_EQ(finishAgent(), 0);
    EXPECT_TRUE(log().contains(QStringLiteral("Unable to listen on port %1").arg(m_port))) << log().toStdString();
    EXPECT_FALSE(log().contains(QStringLiteral("3.0 started")));
}

} // namespace
