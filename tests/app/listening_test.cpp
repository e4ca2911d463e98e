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

    // Stored configurations reach the file within a second.
    const auto config = [&] { return QString::fromUtf8(m_instance.readFile(QStringLiteral("config.ini"))); };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return config().contains(QStringLiteral("[AD-E2E-ONE]")) &&
                   config().contains(QStringLiteral("[AD-E2E-TWO]"));
        },
        5000))
        << config().toStdString();
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
    EXPECT_EQ(finish(start({QStringLiteral("-e")})), 1);
    EXPECT_TRUE(log().contains(QStringLiteral("Unable to listen on port %1").arg(m_port))) << log().toStdString();
    EXPECT_FALSE(log().contains(QStringLiteral("3.0 started")));
}

// Editing Port moves the listener (the old port closes once the new one is
// bound; established firewalls stay); a Port that cannot be bound keeps the
// old one, and a Port that is no port stops the service with a failure.
TEST_F(AgentListening, EditedPortMovesTheListenerAndABadOneStopsTheService)
{
    testsupport::DatagramListener notify(socketPath("notify"));
    ASSERT_TRUE(notify.isValid());
    QProcess *agent = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty());
    diag::FirewallPeer *before = connectPeer(QStringLiteral("E2E-PORT"), QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(waitReady(before));

    const auto edit = [&](const QByteArray &port) {
        QByteArray text = m_instance.readFile(QStringLiteral("config.ini"));
        const int at = text.indexOf("Port=");
        text.replace(at, text.indexOf('\n', at) - at, "Port=" + port);
        m_instance.writeFile(QStringLiteral("config.ini.edit"), text);
        ASSERT_EQ(::rename(QFile::encodeName(m_instance.filePath(QStringLiteral("config.ini.edit"))).constData(),
                           QFile::encodeName(m_instance.filePath(QStringLiteral("config.ini"))).constData()),
                  0);
    };
    const quint16 oldPort = m_port;
    m_port = testsupport::freeTcpPort();
    edit(QByteArray::number(m_port));
    ASSERT_TRUE(waitForLog(QStringLiteral("listening on port %1 instead of %2").arg(m_port).arg(oldPort)))
        << log().toStdString();
    EXPECT_TRUE(portAccepts());
    before->sendText(diag::PeerProtocol::keepAlive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return before->count(QStringLiteral("Alive")) == 1; }, 10000));
    diag::FirewallPeer *after = connectPeer(QStringLiteral("E2E-NEWPORT"), QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(waitReady(after));
    const quint16 newPort = m_port;
    m_port = oldPort;
    EXPECT_FALSE(portAccepts());
    m_port = newPort;

    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, 0));
    edit(QByteArray::number(occupant.serverPort()));
    ASSERT_TRUE(waitForLog(QStringLiteral("still listening on port %1").arg(m_port))) << log().toStdString();
    EXPECT_TRUE(portAccepts());
    EXPECT_EQ(agent->state(), QProcess::Running);

    edit("99999");
    EXPECT_EQ(finish(agent), 1);
    const QByteArray reason = "Unable to listen on port 99999 (error: Port must be a number from 1 to 65535)";
    EXPECT_FALSE(notify.waitFor("STATUS=" + reason, 5000).isEmpty());
    EXPECT_TRUE(log().contains(QString::fromUtf8(reason)));
    EXPECT_TRUE(waitGoodbye(before));
}

} // namespace
