// The firewall connection's conversation, driven through the real server on
// loopback by the project's firewall peer.
#include "firewall/connectionfixture.h"
#include "firewall/protocol.h"

#include <QSignalSpy>

namespace {

using diag::PeerProtocol;
using testsupport::ConnectionFixture;

class ClientConversation : public ConnectionFixture
{
};

TEST_F(ClientConversation, RunsHandshakeConfigurationRulesAndLogons)
{
    UtmConnect::Server *server = startServer();
    QSignalSpy initial(server, &UtmConnect::Server::initialRules);
    diag::FirewallPeer::Options options = peerOptions();
    options.version = 2;
    options.controllers = QStringList{QStringLiteral("192.0.2.20"), QStringLiteral("192.0.2.10")};
    diag::FirewallPeer *peer = readyPeer(options);

    // "[Agent]" answers the handshake without an Ack; the Configuration gets
    // its Ack ahead of the Result, one Result line per controller.
    ASSERT_GE(peer->messages().size(), 4);
    EXPECT_EQ(headers(peer).mid(0, 4), (QStringList{"Agent", "Ack", "Result", "Ack"}));
    EXPECT_EQ(peer->first(QStringLiteral("Agent")).value(QStringLiteral("version")), QStringLiteral("2"));
    EXPECT_EQ(peer->messages().at(1).value(QStringLiteral("entries")), QStringLiteral("3"));
    const diag::PeerMessage result = peer->first(QStringLiteral("Result"));
    EXPECT_EQ(result.entryCount(), 2);
    EXPECT_FALSE(result.value(QStringLiteral("Controller")).isEmpty());
    EXPECT_FALSE(result.value(QStringLiteral("Controller_2")).isEmpty());
    EXPECT_EQ(peer->messages().at(3).value(QStringLiteral("entries")), QStringLiteral("5")); // the default rule

    // The configuration is stored under the firewall's serial.
    const settings::ADConfiguration stored = settings::Settings::instance()->adConfiguration(QStringLiteral("FW0001"));
    EXPECT_TRUE(stored.isValid());
    EXPECT_EQ(stored.adName(), QStringLiteral("192.0.2.10_192.0.2.20"));
    EXPECT_EQ(stored.maxLogonTime(), 28800u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return initial.size() == 1; }, 5000));
    EXPECT_EQ(initial.at(0).at(0).toString(), QStringLiteral("192.0.2.10_192.0.2.20"));
    EXPECT_EQ(initial.at(0).at(1).toString(), QStringLiteral("FW0001"));
    EXPECT_EQ(initial.at(0).at(2).value<QList<common::UserRule>>().size(), 1);

    UtmConnect::Client *client = server->findClient(QStringLiteral("192.0.2.10_192.0.2.20"), QStringLiteral("FW0001"));
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->state(), UtmConnect::Client::Startup);

    // Logoffs wait for the first logon list; that one goes as "[Startup]".
    const common::LogonList two = logons({QStringLiteral("alice"), QStringLiteral("bob")});
    server->newLogoff(common::Logoff(two.first(), common::Logoff::LogoffPing), client->adName(), client->serial());
    server->newLogons(two, client->adName(), client->serial());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Startup")));
    EXPECT_EQ(peer->count(QStringLiteral("Logout")), 0);
    const diag::PeerMessage startup = peer->first(QStringLiteral("Startup"));
    EXPECT_EQ(startup.entryCount(), 2);
    EXPECT_EQ(startup.value(QStringLiteral("CORP\\alice")), QStringLiteral("28800@10.0.0.5"));

    server->newLogons(logons({QStringLiteral("carol")}), client->adName(), client->serial());
    server->newLogoff(common::Logoff(two.first(), common::Logoff::LogoffPing), client->adName(), client->serial());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Logout")));
    EXPECT_EQ(peer->first(QStringLiteral("Login")).value(QStringLiteral("CORP\\carol")),
              QStringLiteral("28800@10.0.0.5"));
    EXPECT_EQ(peer->first(QStringLiteral("Logout")).value(QStringLiteral("CORP\\alice")), QStringLiteral("10.0.0.5"));
    // The peer acknowledged all three; nothing waits.
    ASSERT_TRUE(QTest::qWaitFor([&] { return client->pendingAckCount() == 0; }, 5000));
    EXPECT_FALSE(peer->isDisconnected());
    EXPECT_TRUE(logText().contains(QStringLiteral("[UtmConnect] 127.0.0.1: SSL handshake successful")));
    EXPECT_TRUE(logText().contains(QStringLiteral("[UtmConnect] 127.0.0.1: received\r\n")));
}

// The service core answers the initial rules at once with the current
// logons: they leave after the rules' Ack, as "[Startup]", in the same turn.
TEST_F(ClientConversation, LogonsRoutedFromTheRulesSignalFollowTheAck)
{
    UtmConnect::Server *server = startServer();
    QObject::connect(server, &UtmConnect::Server::initialRules, server,
                     [&](QString ad, QString fw) { server->newLogons(logons({QStringLiteral("alice")}), ad, fw); });
    diag::FirewallPeer *peer = readyPeer(peerOptions());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Startup")));
    EXPECT_EQ(headers(peer), (QStringList{"Agent", "Ack", "Result", "Ack", "Startup"}));
}

// Sequences that break the protocol: the agent answers with a Goodbye
// carrying the reason, logs the exception text and closes.
TEST_F(ClientConversation, ProtocolErrorsEndTheConnectionWithAGoodbye)
{
    const QString handshake =
        PeerProtocol::handshake(3, QStringLiteral("m"), QStringLiteral("f"), QStringLiteral("S1"));
    const QString configuration = PeerProtocol::configuration({QStringLiteral("192.0.2.1")}, {},
                                                              {{QStringLiteral("LogonTime"), QStringLiteral("600")}});
    struct Case
    {
        const char *name;
        QStringList messages;
        QString reason;
        QString logged;
    };
    const Case cases[] = {
        {"configuration before handshake",
         {configuration},
         "Protocol error",
         "Expected a handshake message but got something else"},
        {"keep-alive before handshake",
         {PeerProtocol::keepAlive()},
         "Protocol error",
         "Expected a handshake message but got something else"},
        {"keep-alive before configuration",
         {handshake, PeerProtocol::keepAlive()},
         "Protocol error",
         "Expected a configuration message but got something else"},
        {"version 4",
         {PeerProtocol::handshake(4, "m", "f", "S1")},
         "Protocol version unsupported (expected 2 or 3)",
         "UTM protocol version not managed"},
        {"wrong ack count", {handshake, configuration, PeerProtocol::ack(5)}, "Bad ack", "Not the good ack"},
        {"rules before the ack of the result",
         {handshake, configuration, PeerProtocol::defaultRules()},
         "Protocol error",
         "Expected an ack message but got something else: [Network]"},
        {"controller host name",
         {handshake, "[Configuration]\r\nController=dc1.corp\r\nLogonTime=600"},
         "Protocol error",
         "Controller should be an IP address"},
    };
    startServer();
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A new address each time: a second connection from one address replaces the first.
        diag::FirewallPeer *peer = manualPeer(QHostAddress(QStringLiteral("127.0.3.%1").arg(++n)));
        for (const QString &message : c.messages)
            peer->sendText(message);
        ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Goodbye")));
        EXPECT_EQ(peer->first(QStringLiteral("Goodbye")).value(QStringLiteral("error")),
                  QLatin1Char('"') + c.reason + QLatin1Char('"'));
        EXPECT_TRUE(waitForDisconnect(peer));
        EXPECT_TRUE(waitForLog(c.logged)) << c.logged.toStdString();
    }
}

TEST_F(ClientConversation, KeepAliveAfterTheResultIsAnsweredWithoutTakingTheAck)
{
    startServer();
    diag::FirewallPeer *peer = manualPeer();
    // Three messages in one write are handled one after the other.
    peer->sendRaw(PeerProtocol::frame(PeerProtocol::handshake(3, "m", "f", "S1")) +
                  PeerProtocol::frame(PeerProtocol::configuration({"192.0.2.1"}, {}, {{"LogonTime", "600"}})) +
                  PeerProtocol::frame(PeerProtocol::keepAlive()));
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Alive")));
    EXPECT_EQ(headers(peer), (QStringList{"Agent", "Ack", "Result", "Alive"}));
    // The Result's Ack is still expected: entries = one controller.
    peer->sendText(PeerProtocol::ack(1));
    peer->sendText(PeerProtocol::defaultRules());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Ack"), 2));
    // From state 4 on a keep-alive is answered too.
    peer->sendText(PeerProtocol::keepAlive());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Alive"), 2));
    EXPECT_EQ(peer->count(QStringLiteral("Goodbye")), 0);
    EXPECT_FALSE(peer->isDisconnected());
}

TEST_F(ClientConversation, FirewallGoodbyeIsLoggedAndNotAnswered)
{
    startServer();
    diag::FirewallPeer *peer = manualPeer();
    peer->sendText(PeerProtocol::handshake(3, "m", "f", "S1"));
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Agent")));
    peer->sendText(PeerProtocol::goodbye(QStringLiteral("maintenance")));
    ASSERT_TRUE(waitForDisconnect(peer));
    EXPECT_EQ(peer->count(QStringLiteral("Goodbye")), 0);
    EXPECT_TRUE(waitForLog(QStringLiteral("[UtmConnect] 127.0.0.1: Connexion closed by UTM (maintenance)")));
    EXPECT_TRUE(waitForLog(QStringLiteral("[UtmConnect] 127.0.0.1: disconnected")));
    ASSERT_TRUE(QTest::qWaitFor([] { return UtmConnect::Server::instance()->clientList().isEmpty(); }, 5000));
}

TEST_F(ClientConversation, HalfMessageStaysWhileLogonsGoOut)
{
    UtmConnect::Server *server = startServer();
    diag::FirewallPeer *peer = manualPeer();
    peer->sendText(PeerProtocol::handshake(3, "m", "f", "S1"));
    peer->sendText(PeerProtocol::configuration({"192.0.2.1"}, {}, {{"LogonTime", "600"}}));
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Result")));
    peer->sendText(PeerProtocol::ack(1));
    peer->sendText(PeerProtocol::defaultRules());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Ack"), 2));
    UtmConnect::Client *client = server->findClient(QStringLiteral("192.0.2.1"), QStringLiteral("S1"));
    ASSERT_NE(client, nullptr);

    peer->sendRaw("[Keep-");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return client->lastReceived().isValid() && client->pendingAckCount() == 0; }, 5000));
    server->newLogons(logons({QStringLiteral("alice")}), client->adName(), client->serial());
    server->newLogons(logons({QStringLiteral("bob")}), client->adName(), client->serial());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Login")));
    EXPECT_EQ(headers(peer).mid(4), (QStringList{"Startup", "Login"}));
    EXPECT_EQ(client->pendingAckCount(), 2);
    // The half message was kept: completed, it is a keep-alive.
    peer->sendRaw("Alive]\r\n.\r\n");
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Alive")));
    peer->sendText(PeerProtocol::ack(1));
    peer->sendText(PeerProtocol::ack(1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return client->pendingAckCount() == 0; }, 5000));
    QTest::qWait(100);
    EXPECT_FALSE(peer->isDisconnected());
    EXPECT_EQ(peer->count(QStringLiteral("Goodbye")), 0);
}

TEST_F(ClientConversation, FirstLogonListIsStartupEvenWhenEmpty)
{
    UtmConnect::Server *server = startServer();
    diag::FirewallPeer *peer = readyPeer(peerOptions());
    // Users that could break a line are never sent; the header alone goes.
    server->newLogons(logons({QStringLiteral("bad user")}), QStringLiteral("127.0.0.1"), QStringLiteral("FW0001"));
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Startup")));
    EXPECT_EQ(peer->first(QStringLiteral("Startup")).entryCount(), 0);
    EXPECT_TRUE(waitForLog(QStringLiteral("User bad user contain forbidden chars")));
    // The peer's "entries=0" matched.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return server->findClient("127.0.0.1", "FW0001") &&
                   server->findClient("127.0.0.1", "FW0001")->pendingAckCount() == 0;
        },
        5000));
    EXPECT_FALSE(peer->isDisconnected());
}

TEST_F(ClientConversation, UserDeltaIsAcknowledgedAndRelayed)
{
    UtmConnect::Server *server = startServer();
    QSignalSpy delta(server, &UtmConnect::Server::newRules);
    diag::FirewallPeer *peer = readyPeer(peerOptions());
    peer->sendText(QStringLiteral("[Adduser]\r\nuser=bob\r\nid=2\r\naction=pass\r\nHOST=10.0.0.9\r\n"
                                  "[Deluser_3]\r\nuser=eve\r\nid=3\r\naction=block\r\nHOST=10.0.0.8"));
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Ack"), 3));
    EXPECT_EQ(peer->messages().last().value(QStringLiteral("entries")), QStringLiteral("8"));
    ASSERT_EQ(delta.size(), 1);
    const auto rules = delta.at(0).at(2).value<QList<common::NewUserRule>>();
    ASSERT_EQ(rules.size(), 2);
    EXPECT_EQ(rules.at(1).kind, common::NewUserRule::Delete);
}

TEST_F(ClientConversation, OversizedMessageEndsTheConnection)
{
    startServer();
    diag::FirewallPeer *peer = manualPeer();
    peer->sendRaw(QByteArray(UtmConnect::MessageFramer::MaxMessageBytes + 4096, 'x'));
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Goodbye")));
    EXPECT_EQ(peer->first(QStringLiteral("Goodbye")).value(QStringLiteral("error")),
              QStringLiteral("\"Protocol error\""));
    EXPECT_TRUE(waitForDisconnect(peer));
    EXPECT_TRUE(waitForLog(QStringLiteral("Message from the UTM longer than")));
}

// The Result's lines: controllers are tested unless the configuration stored
// before this one was in syslog mode; either way one line per controller sent.
TEST_F(ClientConversation, ResultLinesFollowTheStoredSyslogState)
{
    startServer();
    diag::FirewallPeer::Options options = peerOptions(QStringLiteral("FWSYS"));
    options.controllers = QStringList{QStringLiteral("192.0.2.1"), QStringLiteral("192.0.2.2")};
    options.configuration.append({QStringLiteral("SyslogState"), QStringLiteral("1")});
    diag::FirewallPeer *first = readyPeer(options);
    // Nothing is stored yet, so the controllers were tested (no event store here).
    EXPECT_EQ(first->first(QStringLiteral("Result")).value(QStringLiteral("Controller")), QStringLiteral("KO"));
    EXPECT_TRUE(settings::Settings::instance()->adConfiguration(QStringLiteral("FWSYS")).syslogState());

    options.bindAddress = QHostAddress(QStringLiteral("127.0.0.2"));
    options.controllers.append(QStringLiteral("192.0.2.3"));
    diag::FirewallPeer *second = readyPeer(options);
    const diag::PeerMessage result = second->first(QStringLiteral("Result"));
    EXPECT_EQ(result.entryCount(), 3);
    for (const auto &line : result.lines)
        EXPECT_EQ(line.second, QStringLiteral("OK"));
}

TEST_F(ClientConversation, DisconnectStampsLastUtmConnection)
{
    const QDateTime start(QDate(2026, 5, 1), QTime(8, 0, 0));
    common::Clock::setNowForTest(start);
    startServer();
    diag::FirewallPeer *peer = readyPeer(peerOptions());
    EXPECT_EQ(settings::Settings::instance()->adConfiguration(QStringLiteral("FW0001")).lastUtmConnection(), start);
    common::Clock::advanceForTest(3600);
    peer->close();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return settings::Settings::instance()->adConfiguration(QStringLiteral("FW0001")).lastUtmConnection() ==
                   start.addSecs(3600);
        },
        5000));
}

} // namespace
