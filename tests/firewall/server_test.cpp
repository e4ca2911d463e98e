// The connection server: listening, one connection per address, the key
// read per connection, the keep-alive and TLS time limits with injected
// time, and the Goodbye on shutdown. Peers: the project's firewall peer and
// `openssl s_client`.
#include "firewall/connectionfixture.h"
#include "support/opensslclient.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

using diag::PeerProtocol;
using testsupport::ConnectionFixture;

class ConnectionServer : public ConnectionFixture
{
protected:
    const QDateTime start{QDate(2026, 5, 1), QTime(8, 0, 0)};
    void at(int seconds) { common::Clock::setNowForTest(start.addSecs(seconds)); }
};

TEST_F(ConnectionServer, DisabledLinkDoesNotListenAndPortInUseFailsToStart)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, 0));
    for (bool enabled : {false, true}) {
        settings::Settings::destroy();
        UtmConnect::Server::destroy();
        writeConfig(enabled, occupant.serverPort());
        UtmConnect::Server *server = UtmConnect::Server::instance();
        EXPECT_EQ(server->start(), !enabled) << enabled;
        EXPECT_FALSE(server->isListening());
    }
    EXPECT_TRUE(waitForLog(QStringLiteral("Unable to listen on port %1").arg(occupant.serverPort())));
}

// Closing stops listening but keeps the established connections; resume
// listens again; destroying the server says Goodbye to every firewall.
TEST_F(ConnectionServer, CloseResumeAndDestroy)
{
    UtmConnect::Server *server = startServer();
    diag::FirewallPeer *one = readyPeer(peerOptions());
    diag::FirewallPeer *two = readyPeer(peerOptions(QStringLiteral("FW0002"), "127.0.0.2"));
    server->close();
    EXPECT_FALSE(server->isListening());
    one->sendText(PeerProtocol::keepAlive());
    ASSERT_TRUE(waitForMessages(one, QStringLiteral("Alive")));
    server->resume();
    EXPECT_TRUE(server->isListening());
    server->close();
    UtmConnect::Server::destroy();
    for (diag::FirewallPeer *peer : {one, two})
        EXPECT_TRUE(waitForGoodbye(peer, QStringLiteral("service is closing")));
}

TEST_F(ConnectionServer, SecondConnectionFromTheSameAddressReplacesTheFirst)
{
    UtmConnect::Server *server = startServer();
    diag::FirewallPeer *first = readyPeer(peerOptions());
    diag::FirewallPeer *elsewhere = readyPeer(peerOptions(QStringLiteral("FW0002"), "127.0.0.2"));
    diag::FirewallPeer *second = readyPeer(peerOptions());
    EXPECT_TRUE(waitForDisconnect(first));
    EXPECT_TRUE(waitForLog(QStringLiteral("[UtmConnect] New connection for 127.0.0.1, remove previous connection")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->clientList().size() == 2; }, 5000));
    EXPECT_FALSE(second->isDisconnected());
    EXPECT_FALSE(elsewhere->isDisconnected());
    // Pairs that match no connection get nothing; routing reaches the new connection.
    sendLogons({QStringLiteral("bob")}, "127.0.0.1", "FW9999");
    sendLogons({QStringLiteral("bob")}, "10.9.9.9", "FW0002");
    sendLogons({QStringLiteral("alice")});
    EXPECT_TRUE(waitForMessages(second, QStringLiteral("Startup")));
    EXPECT_EQ(elsewhere->count(QStringLiteral("Startup")), 0);
    EXPECT_EQ(second->first(QStringLiteral("Startup")).value(QStringLiteral("CORP\\bob")), QString());
}

// Only a newcomer that completed the TLS handshake replaces the firewall of
// its address: a plain HTTP request or a client that never finishes TLS
// from that address leaves the established firewall alone.
TEST_F(ConnectionServer, UnauthenticatedConnectionDoesNotEvictAFirewall)
{
    UtmConnect::Server *server = startServer();
    diag::FirewallPeer *firewall = readyPeer(peerOptions());
    QTcpSocket http;
    http.bind(QHostAddress(QStringLiteral("127.0.0.1")));
    http.connectToHost(QHostAddress::LocalHost, server->serverPort());
    ASSERT_TRUE(http.waitForConnected(5000));
    http.write("GET / HTTP/1.0\r\nHost: agent\r\n\r\n");
    QTcpSocket silent;
    silent.bind(QHostAddress(QStringLiteral("127.0.0.1")));
    silent.connectToHost(QHostAddress::LocalHost, server->serverPort());
    ASSERT_TRUE(silent.waitForConnected(5000));
    testsupport::OpenSslClient wrongKey("not the key", "fw");
    ASSERT_TRUE(wrongKey.start(server->serverPort()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return http.state() == QAbstractSocket::UnconnectedState; }, 10000));
    EXPECT_TRUE(wrongKey.waitForFinished());

    firewall->sendText(PeerProtocol::keepAlive());
    EXPECT_TRUE(waitForMessages(firewall, QStringLiteral("Alive")));
    EXPECT_FALSE(firewall->isDisconnected());
    EXPECT_NE(client(), nullptr);
    EXPECT_FALSE(logText().contains(QStringLiteral("remove previous connection")));
}

// The peer's own end of its session is no failure: nothing it still had to
// send (a keep-alive due) is written after it closed.
TEST_F(ConnectionServer, PeerClosingItsSessionIsNoFailure)
{
    startServer();
    diag::FirewallPeer::Options options = peerOptions();
    options.keepAliveMs = 20;
    diag::FirewallPeer *peer = readyPeer(options);
    QSignalSpy failed(peer, &diag::FirewallPeer::failed);
    peer->sendText(PeerProtocol::goodbye(QStringLiteral("peer done")));
    peer->close();
    peer->sendText(PeerProtocol::keepAlive());
    EXPECT_TRUE(waitForDisconnect(peer));
    QTest::qWait(100);
    EXPECT_EQ(failed.count(), 0) << peer->errorText().toStdString();
}

// Keep-alives every two minutes keep a firewall connected; one silent for
// more than 240 seconds gets a Goodbye from the server's own one-second timer.
TEST_F(ConnectionServer, SilentFirewallIsDroppedAfter240Seconds)
{
    at(0);
    UtmConnect::Server *server = startServer();
    diag::FirewallPeer *peer = readyPeer(peerOptions());
    ASSERT_NE(client(), nullptr);
    ASSERT_EQ(client()->lastReceived(), start);
    for (int minute = 2; minute <= 10; minute += 2) {
        at(minute * 60);
        peer->sendText(PeerProtocol::keepAlive());
        ASSERT_TRUE(waitForMessages(peer, QStringLiteral("Alive"), minute / 2));
        server->checkConnectionsForTest();
    }
    at(600 + 240);
    server->checkConnectionsForTest();
    QTest::qWait(100);
    EXPECT_EQ(peer->count(QStringLiteral("Goodbye")), 0);
    EXPECT_FALSE(peer->isDisconnected());

    at(600 + 241);
    EXPECT_TRUE(waitForGoodbye(peer, QStringLiteral("no keep alive received for a too long period")));
    EXPECT_TRUE(waitForLog(QStringLiteral("[UtmConnect] 127.0.0.1: no keep alive received for a too long period")));
}

// A connection that never finishes TLS is closed after 30 seconds; one that
// finishes TLS and then stays mute gets the keep-alive limit.
TEST_F(ConnectionServer, UnfinishedTlsHandshakeIsClosed)
{
    at(0);
    UtmConnect::Server *server = startServer();
    QTcpSocket idle;
    idle.connectToHost(QHostAddress::LocalHost, server->serverPort());
    ASSERT_TRUE(idle.waitForConnected(5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->clientList().size() == 1; }, 5000));
    diag::FirewallPeer *mute = manualPeer("127.0.0.2");
    ASSERT_EQ(server->clientList().size(), 2);

    at(30);
    server->checkConnectionsForTest();
    QTest::qWait(100);
    EXPECT_EQ(idle.state(), QAbstractSocket::ConnectedState);

    at(31);
    server->checkConnectionsForTest();
    EXPECT_TRUE(QTest::qWaitFor([&] { return idle.state() == QAbstractSocket::UnconnectedState; }, 5000));
    EXPECT_TRUE(waitForLog(QStringLiteral("[UtmConnect] 127.0.0.1: TLS handshake not completed within 30 seconds")));
    EXPECT_FALSE(mute->isDisconnected());

    at(241);
    server->checkConnectionsForTest();
    EXPECT_TRUE(waitForGoodbye(mute, QStringLiteral("no keep alive received for a too long period")));
}

TEST_F(ConnectionServer, ChangedKeyAppliesToLaterConnectionsOnly)
{
    startServer();
    diag::FirewallPeer *before = readyPeer(peerOptions());
    settings::ServerConfiguration config = settings::Settings::instance()->serverConfiguration();
    config.SSLKey = QStringLiteral("the new key");
    settings::Settings::instance()->setServerConfiguration(config);

    diag::FirewallPeer *refused = addPeer(peerOptions(QStringLiteral("FW0002"), "127.0.0.2"));
    ASSERT_TRUE(waitForDisconnect(refused));
    EXPECT_FALSE(refused->isEncrypted());
    diag::FirewallPeer::Options newKey = peerOptions(QStringLiteral("FW0003"), "127.0.0.3");
    newKey.key = "the new key";
    readyPeer(newKey);

    // The established connection is untouched.
    sendLogons({QStringLiteral("alice")});
    EXPECT_TRUE(waitForMessages(before, QStringLiteral("Startup")));
    EXPECT_FALSE(before->isDisconnected());
}

// An independent TLS-PSK client speaking the protocol by hand.
TEST_F(ConnectionServer, OpenSslClientRunsTheConversation)
{
    UtmConnect::Server *server = startServer();
    testsupport::OpenSslClient client(testsupport::TestKey, "fw", {QStringLiteral("-tls1_2"), QStringLiteral("-crlf")});
    ASSERT_TRUE(client.start(server->serverPort()));
    client.write("[UTM]\nversion=2\nmodel=m\nfirmware=f\nserial=OSSL1\n.\n");
    ASSERT_TRUE(client.waitForOutput("[Agent]\r\nversion=2\r\n.\r\n")) << client.errors().toStdString();
    client.write("[Configuration]\nController=192.0.2.7\nLogonTime=600\n.\n");
    ASSERT_TRUE(client.waitForOutput("[Ack]\r\nentries=2\r\n.\r\n[Result]\r\nController="))
        << client.output().toStdString();
    client.write("[Ack]\nentries=1\n.\n[Network]\nuser=any\nid=1\naction=pass\nHOST=10.0.0.5\n.\n");
    ASSERT_TRUE(client.waitForOutput("[Ack]\r\nentries=4\r\n.\r\n"));
    client.write("[Keep-Alive]\n.\n");
    ASSERT_TRUE(client.waitForOutput("[Alive]\r\n.\r\n"));
    sendLogons({QStringLiteral("alice")}, "192.0.2.7", "OSSL1");
    ASSERT_TRUE(client.waitForOutput("[Startup]\r\nCORP\\alice=600@10.0.0.5\r\n.\r\n"));
    client.write("[Ack]\nentries=2\n.\n");
    ASSERT_TRUE(client.waitForOutput("[Goodbye]\r\nerror=\"Bad ack\"\r\n.\r\n"));
    EXPECT_TRUE(client.waitForFinished());
}

// The server listens on every local address: IPv6 firewalls are served too,
// and IPv4 ones are known by their plain IPv4 address.
TEST_F(ConnectionServer, ServesIPv4AndIPv6Firewalls)
{
    startServer();
    diag::FirewallPeer::Options v6 = peerOptions(QStringLiteral("FW6"));
    v6.host = QStringLiteral("::1");
    readyPeer(v6);
    readyPeer(peerOptions(QStringLiteral("FW4")));
    for (auto [serial, address] : {std::pair{"FW6", "::1"}, {"FW4", "127.0.0.1"}}) {
        ASSERT_NE(client("127.0.0.1", serial), nullptr) << serial;
        EXPECT_EQ(client("127.0.0.1", serial)->peerText(), QString::fromLatin1(address));
    }
    EXPECT_TRUE(logText().contains(QStringLiteral("[UtmConnect] ::1: connection initiated")));
}

} // namespace
