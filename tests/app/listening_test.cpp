// The agent executable, copied into a temporary install folder, serving the
// project's firewall peer: it listens on Port once started, stores the
// firewall's configuration in config.ini, stops listening while paused and
// says Goodbye to every firewall when it stops.
#include "agentprocess.h"
#include "tools/firewallpeer.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <csignal>

namespace {

const QByteArray Key = "listening test key";

class AgentListening : public agenttest::AgentProcess
{
protected:
    void SetUp() override
    {
        AgentProcess::SetUp();
        m_port = freePort();
        ASSERT_NE(m_port, 0);
        m_instance.writeFile(QStringLiteral("config.ini"),
                             "[Global]\nVerboseLevel=high\nFirewallEnabled=true\n\n[WebServer]\nPort=" +
                                 QByteArray::number(m_port) + "\nSSLKey=" + Key + "\n");
    }
    void TearDown() override
    {
        m_peers.clear();
        AgentProcess::TearDown();
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
    static bool waitGoodbye(diag::FirewallPeer *peer)
    {
        const QString reason = QStringLiteral("\"service is closing\"");
        return QTest::qWaitFor(
            [&] {
                return peer->first(QStringLiteral("Goodbye")).value(QStringLiteral("error")) == reason &&
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

    quint16 m_port = 0;
    std::vector<std::unique_ptr<diag::FirewallPeer>> m_peers;
};

TEST_F(AgentListening, ConsoleAgentServesFirewallsAndSaysGoodbyeWhenItStops)
{
    QProcess *agent = start({QStringLiteral("-e")});
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

    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_TRUE(waitGoodbye(first));
    EXPECT_TRUE(waitGoodbye(second));
    EXPECT_EQ(finish(agent), 0);
}

TEST_F(AgentListening, ServiceStopsListeningWhilePaused)
{
    testsupport::DatagramListener notify(socketPath("notify"));
    ASSERT_TRUE(notify.isValid());
    QProcess *agent = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty());
    ASSERT_TRUE(waitForLog(QStringLiteral("Ferrowinden SSO Agent 3.0 started")));

    diag::FirewallPeer *before = connectPeer(QStringLiteral("E2E-P"), QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(waitReady(before));

    ASSERT_EQ(run({QStringLiteral("-p")}).exitCode, 0);
    ASSERT_FALSE(notify.waitFor("STATUS=paused", 10000).isEmpty());
    EXPECT_FALSE(portAccepts());
    // The established firewall stays connected and answered.
    before->sendText(diag::PeerProtocol::keepAlive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return before->count(QStringLiteral("Alive")) == 1; }, 10000));

    ASSERT_EQ(run({QStringLiteral("-r")}).exitCode, 0);
    ASSERT_FALSE(notify.waitFor("STATUS=running", 10000).isEmpty());
    diag::FirewallPeer *after = connectPeer(QStringLiteral("E2E-R"), QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(waitReady(after));

    ASSERT_EQ(run({QStringLiteral("-t")}).exitCode, 0);
    EXPECT_TRUE(waitGoodbye(before));
    EXPECT_TRUE(waitGoodbye(after));
    EXPECT_EQ(finish(agent), 0);
}

TEST_F(AgentListening, PortInUseStopsTheAgent)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, m_port));
    EXPECT_EQ(finish(start({QStringLiteral("-e")})), 0);
    EXPECT_TRUE(log().contains(QStringLiteral("Unable to listen on port %1").arg(m_port))) << log().toStdString();
    EXPECT_FALSE(log().contains(QStringLiteral("3.0 started")));
}

} // namespace
