// The firewall connection's conversation, driven through the real server on
// loopback by the project's firewall peer.
#include "firewall/connectionfixture.h"
#include "firewall/protocol.h"

#include <QRegularExpression>
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
    // its Ack (entries=3) ahead of the Result, one Result line per controller;
    // the default rule has 5 entries.
    QStringList texts;
    for (const diag::PeerMessage &message : peer->messages())
        texts.append(message.text);
    EXPECT_EQ(texts.mid(0, 4).join('|').replace(QRegularExpression("=(OK|KO)"), "=?"),
              "[Agent]\nversion=2|[Ack]\nentries=3|[Result]\nController=?\nController_2=?|[Ack]\nentries=5");

    // The configuration is stored under the firewall's serial.
    const settings::ADConfiguration stored = settings::Settings::instance()->adConfiguration(QStringLiteral("FW0001"));
    EXPECT_TRUE(stored.isValid());
    EXPECT_EQ(stored.adName(), QStringLiteral("192.0.2.10_192.0.2.20"));
    EXPECT_EQ(stored.maxLogonTime(), 28800u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return initial.size() == 1; }, 5000));
    EXPECT_EQ(initial.at(0).at(0).toString(), QStringLiteral("192.0.2.10_192.0.2.20"));
    EXPECT_EQ(initial.at(0).at(1).toString(), QStringLiteral("FW0001"));
    EXPECT_EQ(initial.at(0).at(2).value<QList<common::UserRule>>().size(), 1);
    UtmConnect::Client *c = client("192.0.2.10_192.0.2.20");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->state(), UtmConnect::Client::Startup);

    // Logoffs wait for the first logon list; that one goes as "[Startup]".
    const common::Logoff aliceOff(logons({QStringLiteral("alice")}).first(), common::Logoff::LogoffPing);
    server->newLogoff(aliceOff, c->adName(), c->serial());
    server->newLogons(logons({QStringLiteral("alice"), QStringLiteral("bob")}), c->adName(), c->serial());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Startup")));
    EXPECT_EQ(peer->count(QStringLiteral("Logout")), 0);
    EXPECT_EQ(peer->first(QStringLiteral("Startup")).text,
              QStringLiteral("[Startup]\nCORP\\alice=28800@10.0.0.5\nCORP\\bob=28800@10.0.0.5"));

    server->newLogons(logons({QStringLiteral("carol")}), c->adName(), c->serial());
    server->newLogoff(aliceOff, c->adName(), c->serial());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Logout")));
    EXPECT_EQ(peer->first(QStringLiteral("Login")).text, QStringLiteral("[Login]\nCORP\\carol=28800@10.0.0.5"));
    EXPECT_EQ(peer->first(QStringLiteral("Logout")).text, QStringLiteral("[Logout]\nCORP\\alice=10.0.0.5"));
    // The peer acknowledged all three; nothing waits.
    ASSERT_TRUE(QTest::qWaitFor([&] { return c->pendingAckCount() == 0; }, 5000));
    EXPECT_FALSE(peer->isDisconnected());
    EXPECT_TRUE(logText().contains(QStringLiteral("[UtmConnect] 127.0.0.1: SSL handshake successful")));
    EXPECT_TRUE(logText().contains(QStringLiteral("[UtmConnect] 127.0.0.1: received\r\n")));
}

// The service core answers the initial rules at once with the current
// logons: they leave after the rules' Ack, as "[Startup]", in the same turn,
// even when none can be sent: users that could break a line never are.
TEST_F(ClientConversation, LogonsRoutedFromTheRulesSignalFollowTheAckAsStartup)
{
    UtmConnect::Server *server = startServer();
    QObject::connect(server, &UtmConnect::Server::initialRules, server,
                     [&](QString ad, QString fw) { server->newLogons(logons({QStringLiteral("bad user")}), ad, fw); });
    diag::FirewallPeer *peer = readyPeer(peerOptions());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Startup")));
    EXPECT_EQ(headers(peer), (QStringList{"Agent", "Ack", "Result", "Ack", "Startup"}));
    EXPECT_EQ(peer->first(QStringLiteral("Startup")).entryCount(), 0);
    EXPECT_TRUE(waitForLog(QStringLiteral("User bad user contain forbidden chars")));
    // The peer's "entries=0" matched.
    ASSERT_TRUE(QTest::qWaitFor([&] { return client() && client()->pendingAckCount() == 0; }, 5000));
    EXPECT_FALSE(peer->isDisconnected());
}

// Sequences that break the protocol: the agent answers with a Goodbye
// carrying the reason, logs the exception text and closes.
TEST_F(ClientConversation, ProtocolErrorsEndTheConnectionWithAGoodbye)
{
    const QByteArray hello = PeerProtocol::frame(PeerProtocol::handshake(3, "m", "f", "S1"));
    const QByteArray config =
        PeerProtocol::frame(PeerProtocol::configuration({"192.0.2.1"}, {}, {{"LogonTime", "600"}}));
    const QByteArray keepAlive = PeerProtocol::frame(PeerProtocol::keepAlive());
    const QString protocolError = QStringLiteral("Protocol error");
    const struct
    {
        QByteArray bytes;
        QString reason;
        QString logged;
    } cases[] = {{keepAlive, protocolError, "Expected a handshake message but got something else"},
                 {hello + keepAlive, protocolError, "Expected a configuration message but got something else"},
                 {PeerProtocol::frame(PeerProtocol::handshake(4, "m", "f", "S1")),
                  "Protocol version unsupported (expected 2 or 3)", "UTM protocol version not managed"},
                 {hello + config + PeerProtocol::frame(PeerProtocol::ack(5)), "Bad ack", "Not the good ack"},
                 {hello + config + PeerProtocol::frame(PeerProtocol::defaultRules()), protocolError,
                  "Expected an ack message but got something else: [Network]"},
                 {QByteArray(UtmConnect::MessageFramer::MaxMessageBytes + 4096, 'x'), protocolError,
                  "Message from the UTM longer than"}};
    startServer();
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.logged.toStdString());
        // A new address each time: a second connection from one address replaces the first.
        diag::FirewallPeer *peer = manualPeer(QStringLiteral("127.0.3.%1").arg(++n).toLatin1().constData());
        peer->sendRaw(c.bytes);
        EXPECT_TRUE(waitForGoodbye(peer, c.reason));
        EXPECT_TRUE(waitForLog(c.logged));
    }
}

// A firewall that holds the key still cannot write into the log: what it
// sends reaches the log lines and dumps as printable escapes, and the line
// about an oversized message names it like every other.
TEST_F(ClientConversation, FirewallTextReachesTheLogEscaped)
{
    startServer();
    diag::FirewallPeer *peer = manualPeer("127.0.3.9");
    peer->sendRaw(PeerProtocol::frame(PeerProtocol::handshake(3, "m", "f", "S1")) +
                  PeerProtocol::frame(PeerProtocol::configuration({"192.0.2.1"}, {}, {{"LogonTime", "600"}})) +
                  QByteArrayLiteral("[Forged]\r\nx=1\r2024-01-01T00:00:00: Ferrowinden SSO Agent stopped\x1b[2J\x00"
                                    "cut\r\n.\r\n"));
    ASSERT_TRUE(waitForGoodbye(peer, QStringLiteral("Protocol error")));
    const QString escaped = QStringLiteral("x=1\\r2024-01-01T00:00:00: Ferrowinden SSO Agent stopped\\x1b[2J\\x00cut");
    ASSERT_TRUE(waitForLog(QStringLiteral("Expected an ack message but got something else: [Forged]\\n") + escaped))
        << qPrintable(ApplicationDebug::printable(logText()));
    EXPECT_TRUE(logText().contains(QStringLiteral("\r\n    ") + escaped + QStringLiteral("\r\n"))) << "the dump";
    for (const QString &line : logText().split(QStringLiteral("\r\n"))) {
        EXPECT_FALSE(line.contains(QLatin1Char('\r')) || line.contains(QLatin1Char('\n')) ||
                     line.contains(QLatin1Char('\x1b')) || line.contains(QChar(0)))
            << line.toStdString();
        EXPECT_FALSE(line.startsWith(QStringLiteral("2024-01-01T00:00:00")));
    }

    peer = manualPeer("127.0.3.10");
    peer->sendRaw(QByteArray(UtmConnect::MessageFramer::MaxMessageBytes + 4096, 'x'));
    EXPECT_TRUE(waitForLog(QStringLiteral("[UtmConnect] 127.0.3.10: Message from the UTM longer than")));
}

TEST_F(ClientConversation, KeepAlivesAndHalfMessagesLeaveTheAcksAlone)
{
    startServer();
    diag::FirewallPeer *peer = manualPeer();
    // Three messages in one write are handled one after the other; a
    // keep-alive after the Result is answered without taking the Result's Ack.
    peer->sendRaw(PeerProtocol::frame(PeerProtocol::handshake(3, "m", "f", "S1")) +
                  PeerProtocol::frame(PeerProtocol::configuration({"192.0.2.1"}, {}, {{"LogonTime", "600"}})) +
                  PeerProtocol::frame(PeerProtocol::keepAlive()));
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Alive")));
    EXPECT_EQ(headers(peer), (QStringList{"Agent", "Ack", "Result", "Alive"}));
    peer->sendText(PeerProtocol::ack(1)); // entries = one controller
    peer->sendText(PeerProtocol::defaultRules());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Ack"), 2));
    UtmConnect::Client *c = client("192.0.2.1", "S1");
    ASSERT_NE(c, nullptr);

    // A half message stays while logons go out.
    peer->sendRaw("[Keep-");
    ASSERT_TRUE(QTest::qWaitFor([&] { return c->lastReceived().isValid() && c->pendingAckCount() == 0; }, 5000));
    sendLogons({QStringLiteral("alice")}, "192.0.2.1", "S1");
    sendLogons({QStringLiteral("bob")}, "192.0.2.1", "S1");
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Login")));
    EXPECT_EQ(headers(peer).mid(5), (QStringList{"Startup", "Login"}));
    EXPECT_EQ(c->pendingAckCount(), 2);
    // Completed, it is a keep-alive, answered in this state too.
    peer->sendRaw("Alive]\r\n.\r\n");
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Alive"), 2));
    peer->sendText(PeerProtocol::ack(1));
    peer->sendText(PeerProtocol::ack(1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return c->pendingAckCount() == 0; }, 5000));
    EXPECT_FALSE(peer->isDisconnected());
    EXPECT_EQ(peer->count(QStringLiteral("Goodbye")), 0);
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
    EXPECT_EQ(readyPeer(options)->first(QStringLiteral("Result")).text,
              QStringLiteral("[Result]\nController=OK\nController_2=OK\nController_3=OK"));
}

TEST_F(ClientConversation, DisconnectStampsLastUtmConnection)
{
    const QDateTime start(QDate(2026, 5, 1), QTime(8, 0, 0));
    common::Clock::setNowForTest(start);
    startServer();
    diag::FirewallPeer *peer = readyPeer(peerOptions());
    auto stamp = [] {
        return settings::Settings::instance()->adConfiguration(QStringLiteral("FW0001")).lastUtmConnection();
    };
    EXPECT_EQ(stamp(), start);
    common::Clock::advanceForTest(3600);
    peer->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stamp() == start.addSecs(3600); }, 5000));
}

} // namespace
