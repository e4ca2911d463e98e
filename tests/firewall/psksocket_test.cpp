// PskSocket data phase: plaintext both ways through transmit and the read
// side, write batching, close notifications, and the memory bounds against
// peers that flood or stop reading. Peers are `openssl s_client` and a
// blocking OpenSSL client in a thread of its own.
#include "firewall/pskserver.h"
#include "firewall/psksocket.h"
#include "firewall/ringbuffer.h"
#include "support/opensslclient.h"
#include "support/pskharness.h"

#include <QTest>
#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using testsupport::OpenSslClient;
using testsupport::PskHarness;
using testsupport::signalled;

namespace {

const QByteArray key = QByteArrayLiteral("0123456789abcdef");

// Deterministic, position-dependent bytes so that loss, duplication or
// reordering anywhere shows.
QByteArray pattern(qint64 offset, qint64 size)
{
    QByteArray bytes(static_cast<int>(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[static_cast<int>(i)] = static_cast<char>(((offset + i) * 131 + (offset + i) / 251) & 0xff);
    return bytes;
}

QByteArray textLines(int count, const char *prefix)
{
    QByteArray text;
    for (int i = 0; i < count; ++i)
        text += QByteArray(prefix) + QByteArray::number(i) + '\n';
    return text;
}

// A TLS 1.2 PSK client on blocking sockets; job runs after the handshake.
bool runBlockingClient(quint16 port, const std::function<bool(SSL *)> &job)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(ctx, "DHE-PSK-AES128-GCM-SHA256");
    SSL_CTX_set_psk_client_callback(ctx, [](SSL *, const char *, char *identity, unsigned int maxIdentity,
                                            unsigned char *psk, unsigned int maxPsk) {
        std::strncpy(identity, "blocking-client", maxIdentity);
        const unsigned int n = std::min<unsigned int>(maxPsk, static_cast<unsigned int>(key.size()));
        std::memcpy(psk, key.constData(), n);
        return n;
    });
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    const bool ok =
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && SSL_connect(ssl) == 1 && job(ssl);
    if (ok)
        SSL_shutdown(ssl);
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ERR_clear_error();
    ::close(fd);
    return ok;
}

// That client in a thread of its own, so that the server keeps its event loop.
struct BlockingPskClient
{
    std::atomic<bool> ok{false}, done{false};
    std::thread thread;

    BlockingPskClient(quint16 port, std::function<bool(SSL *)> job)
        : thread([=] {
              ok = runBlockingClient(port, job);
              done = true;
          })
    {}
    ~BlockingPskClient() { join(); }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }
};

bool writeAll(SSL *ssl, const QByteArray &bytes)
{
    for (int done = 0, n = 0; done < bytes.size(); done += n)
        if ((n = SSL_write(ssl, bytes.constData() + done, bytes.size() - done)) <= 0)
            return false;
    return true;
}

// Restores the default buffer limits at the end of a test.
struct LimitGuard
{
    LimitGuard(qint64 readLimit, qint64 writeLimit) { PskSocket::setBufferLimitsForTest(readLimit, writeLimit); }
    ~LimitGuard() { PskSocket::setBufferLimitsForTest(0, 0); }
};

// One encrypted connection from `openssl s_client`.
struct Link
{
    PskHarness harness{key};
    OpenSslClient client{key};
    PskSocket *socket = nullptr;
    PskHarness::Accepted *accepted = nullptr;

    bool open()
    {
        if (!harness.isReady() || !client.start(harness.port()) || !(socket = harness.encryptedSocket()))
            return false;
        accepted = harness.waitForAccepted();
        return true;
    }
    bool disconnectedOnce()
    {
        return signalled(accepted->disconnected) &&
               !QTest::qWaitFor([&] { return accepted->disconnected.count() > 1; }, 200);
    }
};

} // namespace

TEST(RingBuffer, KeepsBytesAndLinesInOrderAcrossChunks)
{
    RingBuffer buffer(1024);
    const QByteArray data = pattern(0, 5000);
    // Uneven appends that straddle chunk boundaries.
    for (int offset = 0, step = 1; offset < data.size(); offset += step, step = step * 3 % 1500 + 7)
        buffer.append(data.mid(offset, step));
    EXPECT_EQ(buffer.size(), 5000);
    EXPECT_GT(buffer.nextDataBlockSize(), 0);
    EXPECT_LE(buffer.nextDataBlockSize(), 5000);
    char head[700];
    EXPECT_EQ(buffer.read(head, sizeof head), 700);
    EXPECT_EQ(QByteArray(head, 700), data.left(700));
    buffer.free(1000);
    EXPECT_EQ(buffer.size(), 3300);
    EXPECT_EQ(buffer.readAll(), data.mid(1700));
    EXPECT_TRUE(buffer.isEmpty());
    EXPECT_EQ(buffer.readPointer(), nullptr);
    buffer.free(10); // nothing to drop
    EXPECT_EQ(buffer.size(), 0);

    // One large append stays contiguous.
    buffer.append(pattern(0, 100000));
    EXPECT_EQ(buffer.nextDataBlockSize(), 100000);
    EXPECT_EQ(QByteArray(buffer.readPointer(), 100000), pattern(0, 100000));

    RingBuffer lines(4);
    lines.append("ab");
    EXPECT_FALSE(lines.canReadLine());
    lines.append("cdef\ngh\n");
    EXPECT_EQ(lines.indexOf('\n'), 6);
    char line[32];
    EXPECT_EQ(lines.readLine(line, sizeof line), 7);
    EXPECT_EQ(QByteArray(line, 7), QByteArray("abcdef\n"));
    EXPECT_EQ(lines.readLine(line, 2), 2); // cut by the caller's room
    EXPECT_EQ(QByteArray(line, 2), QByteArray("gh"));
    EXPECT_EQ(lines.readLine(line, sizeof line), 1);
    EXPECT_EQ(lines.readLine(line, sizeof line), 0);
}

// Writes made during the handshake wait for it; writes of one turn leave
// after the turn, in order, unless flushed; messages far larger than a TLS
// record pass both ways.
TEST(PskSocket, DataPassesBothWaysInOrder)
{
    Link link;
    link.harness.onAccepted = [](PskSocket *socket) {
        // Still in the handshake: must neither reach the wire in clear nor be lost.
        EXPECT_FALSE(socket->isEncrypted());
        EXPECT_EQ(socket->write("early words\n"), 12);
        EXPECT_EQ(socket->bytesAvailable(), 0);
        EXPECT_FALSE(socket->canReadLine());
    };
    ASSERT_TRUE(link.open()) << link.client.errors().constData();
    PskSocket *socket = link.socket;
    QByteArray expected = "early words\n";
    EXPECT_TRUE(link.client.waitForOutput(expected));
    EXPECT_EQ(link.client.output(), expected);

    (void)QTest::qWaitFor([&] { return socket->outboundCiphertextForTest() == 0; }, 2000); // handshake tail
    const qint64 ciphertextBefore = socket->outboundCiphertextForTest();
    for (int i = 0; i < 500; ++i) {
        const QByteArray line = "item " + QByteArray::number(i) + '\n';
        expected += line;
        ASSERT_EQ(socket->write(line), line.size());
    }
    // Nothing is encrypted before control returns to the event loop.
    EXPECT_EQ(socket->bytesToWrite(), expected.size() - 12);
    EXPECT_EQ(socket->outboundCiphertextForTest(), ciphertextBefore);
    EXPECT_TRUE(link.client.waitForOutputSize(expected.size()));
    EXPECT_EQ(socket->bytesToWrite(), 0);
    socket->write("now\n");
    EXPECT_TRUE(socket->flush());
    EXPECT_EQ(socket->bytesToWrite(), 0);
    expected += "now\n";

    const QByteArray outgoing = textLines(12000, "agent line ");
    ASSERT_GT(outgoing.size(), 100000);
    EXPECT_EQ(socket->write(outgoing), outgoing.size());
    expected += outgoing;
    EXPECT_TRUE(link.client.waitForOutputSize(expected.size())) << link.client.output().size();
    EXPECT_EQ(link.client.output(), expected);

    // Firewall to agent: s_client sends it in several records.
    const QByteArray incoming = textLines(12000, "firewall line ");
    link.client.write(incoming);
    QByteArray received;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            while (socket->canReadLine())
                received += socket->readLine();
            return received.size() >= incoming.size();
        },
        10000))
        << received.size();
    EXPECT_EQ(received, incoming);
    EXPECT_FALSE(socket->canReadLine());
    EXPECT_EQ(socket->bytesAvailable(), 0);
}

TEST(PskSocket, PeerCloseNotificationDisconnects)
{
    Link link;
    ASSERT_TRUE(link.open());
    link.client.write("last words\n");
    link.client.closeInput(); // s_client answers end of input with a close notification
    ASSERT_TRUE(signalled(link.accepted->disconnected));
    EXPECT_EQ(link.socket->state(), QAbstractSocket::UnconnectedState);
    EXPECT_FALSE(link.socket->hasSslForTest());
    // What arrived before the notification is still there to read.
    EXPECT_EQ(link.socket->readLine(), QByteArray("last words\n"));
    EXPECT_TRUE(link.client.waitForFinished());
    EXPECT_TRUE(link.disconnectedOnce());
}

TEST(PskSocket, EndingTheConnectionDisconnectsOnce)
{
    const struct
    {
        const char *name;
        std::function<void(PskSocket *)> end;
        bool pendingIsSent;
        bool stillOpen;
    } cases[] = {
        {"close", [](PskSocket *s) { s->close(); }, true, false},
        {"close through the base class", [](PskSocket *s) { static_cast<QIODevice *>(s)->close(); }, true, false},
        {"disconnectFromHost", [](PskSocket *s) { s->disconnectFromHost(); }, true, true},
        {"abort", [](PskSocket *s) { s->abort(); }, false, false},
        {"abort through the base class", [](PskSocket *s) { static_cast<QAbstractSocket *>(s)->abort(); }, true,
         false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Link link;
        ASSERT_TRUE(link.open());
        PskSocket *socket = link.socket;
        socket->write("goodbye\n"); // still waiting for the queued flush
        c.end(socket);
        EXPECT_EQ(socket->isOpen(), c.stillOpen);
        EXPECT_TRUE(link.client.waitForFinished()); // s_client leaves on close notification or end of stream
        EXPECT_EQ(link.client.output().contains("goodbye\n"), c.pendingIsSent);
        EXPECT_TRUE(link.disconnectedOnce());
        EXPECT_EQ(socket->state(), QAbstractSocket::UnconnectedState);
        EXPECT_FALSE(socket->hasSslForTest());
        EXPECT_EQ(socket->bytesToWrite(), 0);
        EXPECT_EQ(socket->write("more"), -1);
    }
}

TEST(PskSocket, DestroyingAConnectedSocketCutsTheConnection)
{
    Link link;
    ASSERT_TRUE(link.open());
    QSignalSpy destroyed(link.socket, &QObject::destroyed);
    delete link.socket;
    EXPECT_EQ(destroyed.count(), 1);
    EXPECT_EQ(link.accepted->disconnected.count(), 0);
    EXPECT_TRUE(link.client.waitForFinished());
}

TEST(PskSocket, FloodingPeerIsHeldBackUntilTheOwnerReads)
{
    const qint64 readLimit = 64 * 1024;
    LimitGuard limits(readLimit, 0);
    PskHarness harness(key);
    ASSERT_TRUE(harness.isReady());
    const qint64 total = 12 * 1024 * 1024; // more than loopback's socket buffers hold
    BlockingPskClient client(harness.port(), [&](SSL *ssl) {
        for (qint64 offset = 0; offset < total; offset += 65536)
            if (!writeAll(ssl, pattern(offset, std::min<qint64>(65536, total - offset))))
                return false;
        return true;
    });
    PskSocket *socket = harness.encryptedSocket();
    ASSERT_NE(socket, nullptr);

    // Nobody reads: the socket stops taking data at its limits.
    ASSERT_TRUE(QTest::qWaitFor([&] { return socket->readBufferSizeForTest() >= readLimit; }, 10000));
    EXPECT_FALSE(QTest::qWaitFor(
        [&] {
            return socket->readBufferSizeForTest() > readLimit + 4096 ||
                   socket->inboundCiphertextForTest() > 2 * 64 * 1024 + 17 * 1024;
        },
        500))
        << socket->readBufferSizeForTest() << " " << socket->inboundCiphertextForTest();
    EXPECT_FALSE(client.done);

    // Reading lets everything through, intact. The owner reads on readyRead(),
    // as the agent does: polling would take a 64 KiB step per poll.
    QByteArray received = socket->readAll();
    QObject reader;
    QObject::connect(socket, &QIODevice::readyRead, &reader, [&] { received += socket->readAll(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() >= total; }, 120000)) << received.size();
    EXPECT_TRUE(received == pattern(0, total));
    client.join();
    EXPECT_TRUE(client.ok);
}

TEST(PskSocket, PeerThatStopsReadingMakesWritesFailInsteadOfGrowing)
{
    const qint64 writeLimit = 1024 * 1024;
    LimitGuard limits(0, writeLimit);
    PskHarness harness(key);
    ASSERT_TRUE(harness.isReady());
    std::atomic<bool> startReading{false};
    std::atomic<qint64> expected{-1};
    QByteArray received; // written by the client thread until it returns
    BlockingPskClient client(harness.port(), [&](SSL *ssl) {
        while (!startReading)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        char buffer[16384];
        while (expected < 0 || received.size() < expected) {
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            received.append(buffer, n);
        }
        return true;
    });
    PskSocket *socket = harness.encryptedSocket();
    ASSERT_NE(socket, nullptr);

    qint64 accepted = 0;
    bool refused = false;
    for (int i = 0; i < 400 && !refused; ++i) {
        const QByteArray chunk = pattern(accepted, 64 * 1024);
        const qint64 n = socket->write(chunk);
        if ((refused = n < 0))
            break;
        ASSERT_EQ(n, chunk.size());
        accepted += n;
        QTest::qWait(1); // let the queued flush run
    }
    ASSERT_TRUE(refused);
    EXPECT_TRUE(socket->errorString().startsWith("Unable to write data: ")) << qPrintable(socket->errorString());
    EXPECT_LE(socket->bytesToWrite(), writeLimit);
    EXPECT_LE(socket->outboundCiphertextForTest(), 256 * 1024 + 17 * 1024);
    EXPECT_TRUE(socket->isOpen());

    expected = accepted;
    startReading = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.done.load(); }, 30000));
    client.join();
    EXPECT_TRUE(client.ok);
    EXPECT_TRUE(received == pattern(0, accepted));
    EXPECT_EQ(socket->bytesToWrite(), 0);
}

TEST(PskSocket, CorruptRecordStopsTheConnectionWithoutSignal)
{
    PskHarness harness(key);
    ASSERT_TRUE(harness.isReady());
    BlockingPskClient client(harness.port(), [&](SSL *ssl) {
        // A record header with a body that cannot authenticate.
        const char garbage[] = "\x17\x03\x03\x00\x20"
                               "0123456789abcdef0123456789abcdef";
        return writeAll(ssl, "before\n") &&
               ::write(SSL_get_fd(ssl), garbage, sizeof garbage - 1) == ssize_t(sizeof garbage - 1);
    });
    PskSocket *socket = harness.encryptedSocket();
    ASSERT_NE(socket, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return socket->canReadLine(); }, 10000));
    EXPECT_EQ(socket->readLine(), QByteArray("before\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.done.load(); }, 30000));
    client.join();
    EXPECT_TRUE(client.ok); // the garbage was written
    EXPECT_TRUE(QTest::qWaitFor([&] { return socket->readFailedForTest(); }, 10000));
    // The failure is left to the owner's keep-alive: no error, no data, no crash.
    EXPECT_FALSE(QTest::qWaitFor([&] { return socket->bytesAvailable() > 0; }, 300));
    for (const QList<QVariant> &error : harness.waitForAccepted()->errors) // only the peer's own leaving, if at all
        EXPECT_EQ(error.at(0).value<QAbstractSocket::SocketError>(), QAbstractSocket::RemoteHostClosedError);
}
