// Full TLS 1.2 PSK handshakes per second: the agent's PskServer beside
// `openssl s_server` with the same key and cipher, measured in the same run
// by the same blocking client (new SSL object per connection, no session
// reuse). Each server runs as a process of its own pinned to one core
// (taskset, when available); besides the wall-clock rate, the counter
// "server_hs_per_cpu_s" gives handshakes per second of server CPU time.
//
//   bench_tls_handshake [--benchmark_* options]
//   bench_tls_handshake --serve <hex key>     (the PskServer process)
//   bench_tls_handshake --client <port> <count> <cipher>
//                                             (handshakes against a running server, for profiling)
#include "firewall/pskserver.h"
#include "firewall/psksocket.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QByteArray benchKey = QByteArrayLiteral("benchmark pre-shared key");
QString selfPath;

int serve(const QByteArray &hexKey, int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray key = QByteArray::fromHex(hexKey);
    PskServer server;
    if (!server.initSslContext() || !server.listen(QHostAddress::LocalHost, 0))
        return 1;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (auto *socket = qobject_cast<PskSocket *>(server.nextPendingConnection())) {
            socket->setPskKey(key);
            QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    std::printf("%u\n", unsigned(server.serverPort()));
    std::fflush(stdout);
    return app.exec();
}

quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t len = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &len);
    ::close(fd);
    return ntohs(address.sin_port);
}

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

unsigned int clientPsk(SSL *, const char *, char *identity, unsigned int maxIdentity, unsigned char *psk,
                       unsigned int maxPsk)
{
    std::strncpy(identity, "bench", maxIdentity);
    const unsigned int n = std::min<unsigned int>(maxPsk, static_cast<unsigned int>(benchKey.size()));
    std::memcpy(psk, benchKey.constData(), n);
    return n;
}

// Clock ticks of user and system time the process has used so far.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

struct ServerProcess
{
    QProcess process;
    quint16 port = 0;

    bool start(bool own, const QString &cipher)
    {
        QStringList command;
        // e.g. TLS_BENCH_SERVER_WRAPPER="strace -c -o /tmp/server.strace" to look inside the server
        const QString wrapper = qEnvironmentVariable("TLS_BENCH_SERVER_WRAPPER");
        if (!wrapper.isEmpty())
            command << wrapper.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!QStandardPaths::findExecutable(QStringLiteral("taskset")).isEmpty() && QThread::idealThreadCount() > 1)
            command << QStringLiteral("taskset") << QStringLiteral("-c") << QStringLiteral("1");
        if (own) {
            command << selfPath << QStringLiteral("--serve") << QString::fromLatin1(benchKey.toHex());
        } else {
            port = freePort();
            command << QStringLiteral("openssl") << QStringLiteral("s_server") << QStringLiteral("-quiet")
                    << QStringLiteral("-nocert") << QStringLiteral("-tls1_2") << QStringLiteral("-accept")
                    << QStringLiteral("127.0.0.1:%1").arg(port) << QStringLiteral("-psk")
                    << QString::fromLatin1(benchKey.toHex()) << QStringLiteral("-cipher") << cipher;
        }
        // s_server reports the readiness probe below as an unexpected end of file.
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(command.takeFirst(), command);
        if (!process.waitForStarted(10000))
            return false;
        if (own) {
            if (!process.waitForReadyRead(10000))
                return false;
            port = static_cast<quint16>(process.readLine().trimmed().toUInt());
        }
        for (int i = 0; i < 500; ++i) {
            const int fd = connectTo(port);
            if (fd >= 0) {
                ::close(fd);
                return true;
            }
            QThread::msleep(10);
        }
        return false;
    }

    ~ServerProcess()
    {
        process.terminate();
        if (!process.waitForFinished(3000))
            process.kill();
        process.waitForFinished(5000);
    }
};

SSL_CTX *clientContext(const char *cipher)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(ctx, cipher);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_psk_client_callback(ctx, clientPsk);
    return ctx;
}

// One full handshake, then a close notification; false on any failure.
bool handshakeOnce(SSL_CTX *ctx, quint16 port)
{
    const int fd = connectTo(port);
    if (fd < 0)
        return false;
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    const bool ok = SSL_connect(ssl) == 1;
    if (ok)
        SSL_shutdown(ssl);
    else
        ERR_print_errors_fp(stderr);
    SSL_free(ssl);
    ::close(fd);
    return ok;
}

void handshakes(benchmark::State &state, bool own, const char *cipher)
{
    ServerProcess server;
    if (!server.start(own, QString::fromLatin1(cipher))) {
        state.SkipWithError("server did not start");
        return;
    }
    SSL_CTX *ctx = clientContext(cipher);
    const qint64 pid = server.process.processId();
    const double cpuBefore = cpuSeconds(pid);
    qint64 done = 0;
    for (auto _ : state) {
        if (!handshakeOnce(ctx, server.port)) {
            state.SkipWithError("handshake failed");
            break;
        }
        ++done;
    }
    // Let the server finish its last teardown before reading its CPU time.
    QThread::msleep(50);
    const double cpu = cpuSeconds(pid) - cpuBefore;
    SSL_CTX_free(ctx);
    state.SetItemsProcessed(done);
    if (cpu > 0)
        state.counters["server_hs_per_cpu_s"] = benchmark::Counter(double(done) / cpu);
}

// Both servers in the same time window, one handshake with each in turn, so
// that the load of a shared machine weighs on both alike.
void sideBySide(benchmark::State &state, const char *cipher)
{
    ServerProcess own;
    ServerProcess reference;
    if (!own.start(true, QString::fromLatin1(cipher)) || !reference.start(false, QString::fromLatin1(cipher))) {
        state.SkipWithError("server did not start");
        return;
    }
    SSL_CTX *ctx = clientContext(cipher);
    const double ownCpuBefore = cpuSeconds(own.process.processId());
    const double referenceCpuBefore = cpuSeconds(reference.process.processId());
    double ownWall = 0;
    double referenceWall = 0;
    qint64 done = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const bool ownOk = handshakeOnce(ctx, own.port);
        const auto t1 = std::chrono::steady_clock::now();
        const bool referenceOk = handshakeOnce(ctx, reference.port);
        const auto t2 = std::chrono::steady_clock::now();
        if (!ownOk || !referenceOk) {
            state.SkipWithError("handshake failed");
            break;
        }
        ownWall += std::chrono::duration<double>(t1 - t0).count();
        referenceWall += std::chrono::duration<double>(t2 - t1).count();
        ++done;
    }
    QThread::msleep(50);
    const double ownCpu = cpuSeconds(own.process.processId()) - ownCpuBefore;
    const double referenceCpu = cpuSeconds(reference.process.processId()) - referenceCpuBefore;
    SSL_CTX_free(ctx);
    if (done == 0 || ownWall <= 0 || referenceWall <= 0)
        return;
    state.counters["PskServer_hs_per_s"] = double(done) / ownWall;
    state.counters["s_server_hs_per_s"] = double(done) / referenceWall;
    state.counters["wall_ratio"] = referenceWall / ownWall;
    if (ownCpu > 0 && referenceCpu > 0) {
        state.counters["PskServer_hs_per_cpu_s"] = double(done) / ownCpu;
        state.counters["s_server_hs_per_cpu_s"] = double(done) / referenceCpu;
        state.counters["cpu_ratio"] = referenceCpu / ownCpu;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--serve") == 0)
        return serve(argv[2], argc, argv);

    if (argc >= 5 && std::strcmp(argv[1], "--client") == 0) {
        SSL_CTX *ctx = clientContext(argv[4]);
        const quint16 port = static_cast<quint16>(std::atoi(argv[2]));
        const int count = std::atoi(argv[3]);
        int failed = 0;
        for (int i = 0; i < count; ++i)
            failed += handshakeOnce(ctx, port) ? 0 : 1;
        SSL_CTX_free(ctx);
        return failed == 0 ? 0 : 1;
    }

    selfPath = QString::fromLocal8Bit(argv[0]);
    const char *ciphers[] = {"DHE-PSK-AES128-GCM-SHA256", "ECDHE-PSK-CHACHA20-POLY1305"};
    for (const char *cipher : ciphers) {
        for (const bool own : {true, false}) {
            const std::string name = std::string("Handshake/") + cipher + (own ? "/PskServer" : "/s_server");
            benchmark::RegisterBenchmark(name.c_str(), handshakes, own, cipher)
                ->Iterations(3000)
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond);
        }
    }
    for (const char *cipher : ciphers) {
        benchmark::RegisterBenchmark((std::string("SideBySide/") + cipher).c_str(), sideBySide, cipher)
            ->Iterations(3000)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
