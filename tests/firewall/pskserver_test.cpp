// PskServer with `openssl s_client` as the independent peer: which clients
// complete the TLS-PSK handshake, how the key is taken, what a failure reports.
#include "firewall/pskserver.h"
#include "firewall/psksocket.h"
#include "firewall/sslregistry.h"
#include "settings/settings.h"
#include "support/opensslclient.h"
#include "support/pskharness.h"

#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using testsupport::OpenSslClient;
using testsupport::PskHarness;
using testsupport::signalled;

namespace {

const QByteArray serverKey = QByteArrayLiteral("firewall shared secret");

// Proves that both directions work on an encrypted connection.
void expectRoundTrip(PskSocket *socket, OpenSslClient &client)
{
    ASSERT_EQ(socket->write("hello from agent\n"), 17);
    EXPECT_TRUE(client.waitForOutput("hello from agent\n")) << client.errors().constData();
    client.write("hello from firewall\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return socket->canReadLine(); }, 10000));
    EXPECT_EQ(socket->readLine(), QByteArray("hello from firewall\n"));
}

} // namespace

TEST(PskServer, ContextIsMadeOnceWithTheFourPskSuitesInOrder)
{
    PskServer server;
    EXPECT_EQ(server.sslContext(), nullptr);
    ASSERT_TRUE(server.initSslContext());
    SSL_CTX *first = server.sslContext();
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(server.initSslContext());
    EXPECT_EQ(server.sslContext(), first);
    EXPECT_EQ(PskServer::cipherList(), QStringList({"DHE-PSK-AES128-GCM-SHA256", "ECDHE-PSK-CHACHA20-POLY1305",
                                                    "DHE-PSK-CHACHA20-POLY1305", "DHE-PSK-AES256-GCM-SHA384"}));
}

TEST(PskServer, HandshakeWithOpenSslClient)
{
    QByteArray longKey;
    for (int i = 0; i < 600; ++i)
        longKey.append(char('a' + i % 26));
    const QByteArray zeroKey("abc\0def", 7);
    const QStringList tls12{"-tls1_2"};
    auto suite = [](const char *cipher) { return QStringList{"-tls1_2", "-cipher", cipher}; };
    const struct
    {
        const char *name;
        QByteArray serverKey, clientKey, identity;
        QStringList args;
        bool succeeds;
        const char *reasonFragment; // part of the OpenSSL text on failure
    } cases[] = {{"any identity with the right key", serverKey, serverKey, "x", tls12, true, ""},
                 {"another identity", serverKey, serverKey, "utm-serial-0042", tls12, true, ""},
                 {"AES256 suite alone", serverKey, serverKey, "x", suite("DHE-PSK-AES256-GCM-SHA384"), true, ""},
                 {"ECDHE suite alone", serverKey, serverKey, "x", suite("ECDHE-PSK-CHACHA20-POLY1305"), true, ""},
                 {"DHE ChaCha suite alone", serverKey, serverKey, "x", suite("DHE-PSK-CHACHA20-POLY1305"), true, ""},
                 {"wrong key", serverKey, "firewall shared secreT", "x", tls12, false, ""},
                 {"TLS 1.3 only", serverKey, serverKey, "x", {"-tls1_3"}, false, "unsupported protocol"},
                 {"PSK suite without key exchange", serverKey, serverKey, "x", suite("PSK-AES128-GCM-SHA256"), false,
                  "shared cipher"},
                 {"certificate suite only", serverKey, serverKey, "x", suite("ECDHE-RSA-AES128-GCM-SHA256"), false, ""},
                 // The key is cut at a zero byte and at OpenSSL's capacity.
                 {"zero byte ends the key", zeroKey, "abc", "x", tls12, true, ""},
                 {"bytes after the zero are not part of the key", zeroKey, zeroKey, "x", tls12, false, ""},
                 {"long key is cut to 512 bytes", longKey, longKey.left(512), "x", tls12, true, ""},
                 {"no key never completes", QByteArray(), "abc", "x", tls12, false, ""},
                 {"key starting with zero is empty", QByteArray("\0abc", 4), "abc", "x", tls12, false, ""}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PskHarness harness(c.serverKey);
        ASSERT_TRUE(harness.isReady());
        OpenSslClient client(c.clientKey, c.identity, c.args);
        ASSERT_TRUE(client.start(harness.port()));
        PskHarness::Accepted *accepted = harness.waitForAccepted();
        ASSERT_NE(accepted, nullptr);
        PskSocket *socket = accepted->socket;
        ASSERT_NE(socket, nullptr);
        EXPECT_EQ(socket->mode(), 2);
        if (c.succeeds) {
            ASSERT_TRUE(signalled(accepted->encrypted)) << client.errors().constData();
            EXPECT_TRUE(socket->isEncrypted());
            EXPECT_EQ(socket->pskIdentity(), c.identity);
            EXPECT_EQ(accepted->errors.count(), 0);
            expectRoundTrip(socket, client);
            continue;
        }
        ASSERT_TRUE(signalled(accepted->errors));
        EXPECT_EQ(accepted->errors.count(), 1);
        EXPECT_EQ(accepted->errors.first().at(0).value<QAbstractSocket::SocketError>(),
                  QAbstractSocket::SslHandshakeFailedError);
        EXPECT_EQ(int(socket->error()), 13);
        EXPECT_TRUE(socket->errorString().startsWith("SSL handshake error: ")) << qPrintable(socket->errorString());
        EXPECT_TRUE(socket->errorString().contains(c.reasonFragment)) << qPrintable(socket->errorString());
        EXPECT_EQ(accepted->encrypted.count(), 0);
        EXPECT_FALSE(socket->isEncrypted());
        EXPECT_FALSE(socket->isOpen());
        EXPECT_EQ(socket->state(), QAbstractSocket::UnconnectedState);
        EXPECT_FALSE(socket->hasSslForTest());
        EXPECT_EQ(accepted->disconnected.count(), 1);
        EXPECT_TRUE(client.waitForFinished());
        EXPECT_NE(client.exitCode(), 0);
    }
}

TEST(PskServer, PeerSpeakingSomethingElseFailsTheHandshake)
{
    PskHarness harness(serverKey);
    ASSERT_TRUE(harness.isReady());
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, harness.port());
    ASSERT_TRUE(peer.waitForConnected(10000));
    peer.write("GET / HTTP/1.0\r\n\r\n");
    PskHarness::Accepted *accepted = harness.waitForAccepted();
    ASSERT_NE(accepted, nullptr);
    ASSERT_TRUE(signalled(accepted->errors));
    EXPECT_EQ(accepted->socket->error(), QAbstractSocket::SslHandshakeFailedError);
    EXPECT_TRUE(accepted->socket->errorString().startsWith("SSL handshake error: "));
    EXPECT_EQ(accepted->disconnected.count(), 1);
    EXPECT_EQ(accepted->readyRead.count(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return peer.state() == QAbstractSocket::UnconnectedState; }, 10000));
}

TEST(PskServer, ConfiguredKeyTextIsUsedAsUtf8Bytes)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    settings::Settings::setDirectoryForTest(dir.path());
    ASSERT_EQ(settings::Settings::instance()->serverConfiguration().SSLKey, QStringLiteral("nil key"));
    // Read when the connection arrives, as the connection server does.
    PskHarness harness{QByteArray()};
    harness.keyForNewSocket = [] { return settings::Settings::instance()->serverConfiguration().SSLKey.toUtf8(); };
    OpenSslClient client(QByteArray::fromHex("6e696c206b6579"));
    ASSERT_TRUE(harness.isReady() && client.start(harness.port()));
    EXPECT_NE(harness.encryptedSocket(), nullptr) << client.errors().constData();
    settings::Settings::destroy();
}

TEST(PskServer, WithoutContextConnectionsAreAcceptedButNeverEncrypted)
{
    PskHarness harness(serverKey, /*withContext=*/false);
    OpenSslClient client(serverKey);
    ASSERT_TRUE(harness.isReady() && client.start(harness.port()));
    PskHarness::Accepted *accepted = harness.waitForAccepted();
    ASSERT_NE(accepted, nullptr);
    PskSocket *socket = accepted->socket;
    EXPECT_EQ(socket->mode(), 2);
    EXPECT_FALSE(socket->hasSslForTest());
    // The client's hello arrives and is left alone; nothing is decrypted or written.
    EXPECT_FALSE(QTest::qWaitFor([&] { return accepted->encrypted.count() > 0 || socket->bytesAvailable() > 0; }, 300));
    EXPECT_EQ(socket->write("x"), -1);
    socket->close();
    EXPECT_TRUE(client.waitForFinished());
}

TEST(PskServer, RegistryForgetsSocketsThatAreGone)
{
    const int before = SslRegistry::sizeForTest();
    {
        PskHarness harness(serverKey);
        OpenSslClient first(serverKey);
        OpenSslClient second(QByteArrayLiteral("other"));
        ASSERT_TRUE(harness.isReady() && first.start(harness.port()) && second.start(harness.port()));
        ASSERT_NE(harness.waitForAccepted(1), nullptr);
        PskHarness::Accepted *a = harness.waitForAccepted(0), *b = harness.waitForAccepted(1);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return a->encrypted.count() + a->errors.count() > 0 && b->encrypted.count() + b->errors.count() > 0;
            },
            10000));
        // One handshake failed and freed its SSL object, the other is alive.
        EXPECT_EQ(SslRegistry::sizeForTest(), before + 1);
    }
    EXPECT_EQ(SslRegistry::sizeForTest(), before);
}

TEST(PskServer, ServesIpv6Loopback)
{
    PskHarness harness(serverKey, true, QHostAddress::LocalHostIPv6);
    if (!harness.isReady())
        GTEST_SKIP() << "no IPv6 loopback";
    OpenSslClient client(serverKey);
    ASSERT_TRUE(client.start(harness.port(), QStringLiteral("[::1]")));
    PskSocket *socket = harness.encryptedSocket();
    ASSERT_NE(socket, nullptr) << client.errors().constData();
    EXPECT_EQ(socket->peerAddress(), QHostAddress(QHostAddress::LocalHostIPv6));
    expectRoundTrip(socket, client);
}
