// The firewall connection's conversation, driven through the real server on
// loopback by the project's firewall peer.
#include "firewall/connectionfixture.h"
#include "firewall/protocol.h"

#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <functional>

namespace {

using diag::PeerProtocol;
using testsupport::ConnectionFixture;

class ClientConversation : public ConnectionFixture
{
protected:
    // users distinct users at distinct addresses, then one user at sharedAddresses addresses.
    static common::LogonList manyLogons(int users, int sharedAddresses)
    {
        common::LogonList list;
        const QDateTime now = common::Clock::now();
        auto add = [&](const QString &user, int n) {
            list.append(common::Logon(user, QHostAddress(quint32((10u << 24) | quint32(n))), now, QString(),
                                      QStringLiteral("CORP"), QString(), QStringLiteral("corp.example")));
        };
        for (int i = 0; i < users; ++i)
            add(QStringLiteral("user%1").arg(i), i);
        for (int i = 0; i < sharedAddresses; ++i)
            add(QStringLiteral("svc"), users + i);
        return list;
    }
    // Every "key=item" the peer received in "[Startup]" and "[Login]", in order.
    static QStringList loginItems(const diag::FirewallPeer *peer)
    {
        QStringList items;
        for (const diag::PeerMessage &message : peer->messages()) {
            if (message.header != QLatin1String("Startup") && message.header != QLatin1String("Login"))
                continue;
            for (const auto &line : message.lines)
                for (const QString &item : line.second.split(QLatin1Char(',')))
                    items.append(line.first + QLatin1Char('=') + item);
        }
        return items;
    }
    static QStringList expectedItems(const common::LogonList &logons)
    {
        QStringList items;
        for (const common::Logon &logon : logons)
            items.append(QStringLiteral("CORP\\%1=28800@%2").arg(logon.user(), logon.ip().toString()));
        return items;
    }
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

// A batch larger than a firewall reads in one message leaves as several,
// each within the reader's limits and acknowledged on its own: the first
// as "[Startup]", the rest as "[Login]"; a user at more addresses than one
// message holds goes on in the next one. Nothing is lost or doubled.
TEST_F(ClientConversation, LargeBatchesLeaveAsSeveralMessagesEachAcknowledged)
{
    UtmConnect::Server *server = startServer();
    diag::FirewallPeer::Options options = peerOptions();
    options.version = 2;
    diag::FirewallPeer *peer = readyPeer(options);
    UtmConnect::Client *c = client();
    ASSERT_NE(c, nullptr);
    ApplicationDebug::setLevel(ApplicationDebug::LevelHigh, false); // no dumps of 100,000 lines
    const common::LogonList batch = manyLogons(25000, 80000);
    server->newLogons(batch, c->adName(), c->serial());
    const QStringList expected = expectedItems(batch);
    // Until then every message is queued or awaits its Ack.
    ASSERT_TRUE(QTest::qWaitFor([&] { return c->queuedCount() == 0 && c->pendingAckCount() == 0; }, 60000))
        << loginItems(peer).size() << " of " << expected.size();
    EXPECT_EQ(loginItems(peer), expected);
    EXPECT_EQ(peer->overflowed(), 0);
    // Each message counts the logons it carried, when sent and when acknowledged.
    EXPECT_EQ(c->counters().logonsSent, quint64(batch.size()));
    EXPECT_EQ(c->counters().logonsAcknowledged, quint64(batch.size()));
    for (const int i : {0, 24999, 25000, 60000, 104999})
        EXPECT_EQ(c->told(batch.at(i).ip(), batch.at(i).user()), UtmConnect::Client::Told::Acknowledged) << i;
    EXPECT_EQ(peer->count(QStringLiteral("Startup")), 1);
    EXPECT_GE(peer->count(QStringLiteral("Login")), 3);
    EXPECT_EQ(headers(peer).mid(4, 2), (QStringList{"Startup", "Login"}));
    EXPECT_FALSE(peer->isDisconnected());

    // A small batch afterwards is one message, as always.
    const int logins = peer->count(QStringLiteral("Login"));
    sendLogons({QStringLiteral("alice"), QStringLiteral("bob")});
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Login"), logins + 1));
    EXPECT_EQ(peer->messages().last().text,
              QStringLiteral("[Login]\nCORP\\alice=28800@10.0.0.5\nCORP\\bob=28800@10.0.0.5"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return c->pendingAckCount() == 0; }, 5000));
}

// Acknowledgements are not waited for: a firewall that never sends one
// still gets every message, and its keep-alives keep it connected. Only
// silence ends the connection, after the usual 240 seconds.
TEST_F(ClientConversation, FirewallThatNeverAcknowledgesIsHeldOnlyByItsKeepAlives)
{
    const QDateTime start(QDate(2026, 5, 1), QTime(8, 0, 0));
    common::Clock::setNowForTest(start);
    UtmConnect::Server *server = startServer();
    diag::FirewallPeer *peer = manualPeer();
    peer->sendText(PeerProtocol::handshake(3, "m", "f", "S1"));
    peer->sendText(PeerProtocol::configuration({"192.0.2.1"}, {}, {{"LogonTime", "28800"}}));
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Result")));
    peer->sendText(PeerProtocol::ack(1));
    peer->sendText(PeerProtocol::defaultRules());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Ack"), 2));
    UtmConnect::Client *c = client("192.0.2.1", "S1");
    ASSERT_NE(c, nullptr);

    server->newLogons(manyLogons(25000, 0), c->adName(), c->serial());
    ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Login"), 2));
    const int sent = 1 + peer->count(QStringLiteral("Login"));
    EXPECT_EQ(c->pendingAckCount(), sent);
    EXPECT_EQ(c->counters().logonsSent, 25000u);
    EXPECT_EQ(c->counters().logonsAcknowledged, 0u);
    for (int minute = 2; minute <= 8; minute += 2) {
        common::Clock::setNowForTest(start.addSecs(minute * 60));
        peer->sendText(PeerProtocol::keepAlive());
        ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Alive"), minute / 2));
        server->checkConnectionsForTest();
        sendLogons({QStringLiteral("u%1").arg(minute)}, "192.0.2.1", "S1");
        ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Login"), sent - 1 + minute / 2));
    }
    EXPECT_EQ(c->pendingAckCount(), sent + 4);
    EXPECT_FALSE(peer->isDisconnected());

    common::Clock::setNowForTest(start.addSecs(8 * 60 + 241));
    server->checkConnectionsForTest();
    EXPECT_TRUE(waitForGoodbye(peer, QStringLiteral("no keep alive received for a too long period")));
}

// A firewall that stops reading holds the agent back at the network: the
// messages wait in the connection's queue, not in the socket (whose limit
// would otherwise end the connection), and leave intact once it reads again.
// One that leaves too much queued is disconnected as on a failed write.
TEST_F(ClientConversation, FirewallThatStopsReadingIsHeldBackWithinBounds)
{
    struct LimitGuard
    {
        ~LimitGuard() { UtmConnect::Client::setSendLimitsForTest(0, 0); }
    } guard;
    UtmConnect::Server *server = startServer();
    diag::FirewallPeer::Options options = peerOptions();
    options.version = 2;
    diag::FirewallPeer *peer = readyPeer(options);
    UtmConnect::Client *c = client();
    ASSERT_NE(c, nullptr);
    // Dumps of every message would make the log the slowest part here.
    ApplicationDebug::setLevel(ApplicationDebug::LevelHigh, false);

    // Long names fill the network's buffers with fewer logons.
    common::LogonList all;
    auto flood = [&](const std::function<bool()> &until) {
        for (int round = 0; round < 40 && !until(); ++round) {
            common::LogonList batch;
            for (const common::Logon &logon : manyLogons(5000, 0))
                batch.append(common::Logon(
                    QStringLiteral("r%1%2").arg(all.size()).arg(logon.user()).leftJustified(200, 'x'), logon.ip(),
                    logon.time(), QString(), QStringLiteral("CORP"), QString(), QStringLiteral("corp.example")));
            all += batch;
            server->newLogons(batch, c->adName(), c->serial());
            QTest::qWait(50);
        }
    };
    peer->tls().setReadingPaused(true);
    flood([&] { return c->queuedCount() > 0; });
    ASSERT_GT(c->queuedCount(), 0) << "the socket took everything";
    EXPECT_LE(c->socket()->bytesToWrite(),
              UtmConnect::Client::sendAheadBytes() + UtmConnect::MessageFramer::MaxMessageBytes);

    peer->tls().setReadingPaused(false);
    // Until then every message is queued or awaits its Ack.
    ASSERT_TRUE(QTest::qWaitFor([&] { return c->queuedCount() == 0 && c->pendingAckCount() == 0; }, 60000))
        << loginItems(peer).size() << " of " << all.size();
    EXPECT_EQ(loginItems(peer), expectedItems(all));
    EXPECT_FALSE(peer->isDisconnected());

    UtmConnect::Client::setSendLimitsForTest(64 * 1024, 2 * 1024 * 1024);
    peer->tls().setReadingPaused(true);
    // The connection closes its side at once; the socket goes when the peer has read.
    const QPointer<UtmConnect::Client> open(c);
    flood([&] { return !open || c->socket()->state() == QAbstractSocket::UnconnectedState; });
    EXPECT_TRUE(waitForLog(QStringLiteral("Unable to write on the socket: ")));
    EXPECT_TRUE(logText().contains(QStringLiteral(" bytes wait for the UTM")));
    // The closing socket lets go once the firewall reads again.
    peer->tls().setReadingPaused(false);
    EXPECT_TRUE(waitForDisconnect(peer));
    EXPECT_TRUE(QTest::qWaitFor([] { return UtmConnect::Server::instance()->clientList().isEmpty(); }, 10000));
    EXPECT_EQ(peer->overflowed(), 0);
}

} // namespace
