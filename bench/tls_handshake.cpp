// Full TLS 1.2 PSK handshakes: the agent's PskServer beside `openssl s_server`,
// both configured alike (same key, the agent's four suites), measured in the
// same run by the same blocking client, which offers one suite at a time (new
// SSL object per connection, no session reuse). Each server runs as a process
// of its own pinned to one core (taskset, when available).
//
// SideBySide/<suite> alternates the two servers handshake by handshake, so that
// the load of a shared machine weighs on both alike, and reports per
// repetition the wall-clock rate seen by the client and the rate per second of
// server CPU time (all threads, from /proc/<pid>/task/*/schedstat, in ns), plus
//   wall_ratio = s_server's wall time / PskServer's
//   cpu_ratio  = s_server's CPU time  / PskServer's
// (1.0: as fast as s_server). The _min, _median and _max rows give the spread
// over the repetitions (5 unless --benchmark_repetitions says otherwise).
//
//   bench_tls_handshake [--ciphers A:B:...] [--handshakes N] [--benchmark_* options]
//       suites to measure (default: the agent's four), handshakes per repetition
//       (default: about 3 s of one server's work, 100 to 2000)
//   bench_tls_handshake --serve <hex key>     (the PskServer process)
//   bench_tls_handshake --client <port> <count> <cipher>
//                                             (handshakes against a running server, for profiling)
#include "common/eventdispatcher.h"
#include "firewall/pskserver.h"
#include "firewall/psksocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
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
#include <vector>

namespace {

const QByteArray benchKey = QByteArrayLiteral("benchmark pre-shared key");
QString selfPath;

int serve(const QByteArray &hexKey, int argc, char **argv)
{
    // The event loop the agent runs on (see the agent's main).
    common::usePlainEventDispatcher();
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

// CPU time the process's threads have used so far, in seconds (nanosecond
// resolution: /proc/<pid>/stat counts in 10 ms ticks, too coarse for a 1% gap).
double cpuSeconds(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    qint64 nanoseconds = 0;
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly))
            nanoseconds += schedstat.readAll().split(' ').value(0).toLongLong();
    }
    return double(nanoseconds) / 1e9;
}

struct ServerProcess
{
    QProcess process;
    quint16 port = 0;

    // Both servers get the same suites: the agent's list. The client's offer picks one.
    bool start(bool own)
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
                    << QString::fromLatin1(benchKey.toHex()) << QStringLiteral("-cipher")
                    << PskServer::cipherList().join(QLatin1Char(':'));
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

// One full handshake with the suite offered, then a close notification; false on any failure.
bool handshakeOnce(SSL_CTX *ctx, quint16 port, const char *cipher = nullptr)
{
    const int fd = connectTo(port);
    if (fd < 0)
        return false;
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    bool ok = SSL_connect(ssl) == 1;
    if (ok && cipher && std::strcmp(SSL_get_cipher_name(ssl), cipher) != 0) {
        std::fprintf(stderr, "negotiated %s instead of %s\n", SSL_get_cipher_name(ssl), cipher);
        ok = false;
    }
    if (ok)
        SSL_shutdown(ssl);
    else
        ERR_print_errors_fp(stderr);
    SSL_free(ssl);
    ::close(fd);
    return ok;
}

void handshakes(benchmark::State &state, bool own, std::string cipher)
{
    ServerProcess server;
    if (!server.start(own)) {
        state.SkipWithError("server did not start");
        return;
    }
    SSL_CTX *ctx = clientContext(cipher.c_str());
    if (!handshakeOnce(ctx, server.port, cipher.c_str())) {
        SSL_CTX_free(ctx);
        state.SkipWithError("handshake failed");
        return;
    }
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
void sideBySide(benchmark::State &state, std::string cipher)
{
    ServerProcess own;
    ServerProcess reference;
    if (!own.start(true) || !reference.start(false)) {
        state.SkipWithError("server did not start");
        return;
    }
    SSL_CTX *ctx = clientContext(cipher.c_str());
    // The suite asked for is the one both servers agree on, or nothing is measured.
    if (!handshakeOnce(ctx, own.port, cipher.c_str()) || !handshakeOnce(ctx, reference.port, cipher.c_str())) {
        SSL_CTX_free(ctx);
        state.SkipWithError("handshake failed");
        return;
    }
    const double ownCpuBefore = cpuSeconds(own.process.processId());
    const double referenceCpuBefore = cpuSeconds(reference.process.processId());
    double ownWall = 0;
    double referenceWall = 0;
    qint64 done = 0;
    for (auto _ : state) {
        // Who goes first changes every time, so neither always meets a warm cache.
        const bool ownFirst = done % 2 == 0;
        const auto t0 = std::chrono::steady_clock::now();
        const bool firstOk = handshakeOnce(ctx, ownFirst ? own.port : reference.port);
        const auto t1 = std::chrono::steady_clock::now();
        const bool secondOk = handshakeOnce(ctx, ownFirst ? reference.port : own.port);
        const auto t2 = std::chrono::steady_clock::now();
        if (!firstOk || !secondOk) {
            state.SkipWithError("handshake failed");
            break;
        }
        const double first = std::chrono::duration<double>(t1 - t0).count();
        const double second = std::chrono::duration<double>(t2 - t1).count();
        ownWall += ownFirst ? first : second;
        referenceWall += ownFirst ? second : first;
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

// Handshakes per repetition for a suite: what one server does in about
// budgetSeconds of wall time, between 100 and 2000 (DHE with the large groups
// the suites call for is some fifty times slower than ECDHE).
int calibratedCount(const std::string &cipher, double budgetSeconds)
{
    ServerProcess own;
    if (!own.start(true))
        return 100;
    SSL_CTX *ctx = clientContext(cipher.c_str());
    const int probes = 10;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < probes; ++i)
        handshakeOnce(ctx, own.port);
    const double each = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / probes;
    SSL_CTX_free(ctx);
    return std::clamp(int(budgetSeconds / std::max(each, 1e-6)), 100, 2000);
}

double minimum(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double maximum(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// Takes "--name value" or "--name=value" out of the arguments.
std::string takeOption(std::vector<char *> &arguments, const char *name)
{
    const std::string prefix = std::string(name) + "=";
    for (auto it = arguments.begin() + 1; it != arguments.end(); ++it) {
        if (std::strcmp(*it, name) == 0 && it + 1 != arguments.end()) {
            const std::string value = *(it + 1);
            arguments.erase(it, it + 2);
            return value;
        }
        if (std::strncmp(*it, prefix.c_str(), prefix.size()) == 0) {
            const std::string value = *it + prefix.size();
            arguments.erase(it);
            return value;
        }
    }
    return std::string();
}

bool hasOption(const std::vector<char *> &arguments, const char *prefix)
{
    return std::any_of(arguments.begin() + 1, arguments.end(),
                       [&](const char *argument) { return std::strncmp(argument, prefix, std::strlen(prefix)) == 0; });
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
    std::vector<char *> arguments(argv, argv + argc);
    std::string cipherText = takeOption(arguments, "--ciphers");
    if (cipherText.empty())
        cipherText = PskServer::cipherList().join(QLatin1Char(':')).toStdString();
    const std::string handshakeText = takeOption(arguments, "--handshakes");
    const int fixedCount = handshakeText.empty() ? 0 : std::max(1, std::atoi(handshakeText.c_str()));
    // Spread over repetitions is what the comparison rests on: five unless told otherwise.
    std::string repetitions = "--benchmark_repetitions=5";
    std::string aggregates = "--benchmark_display_aggregates_only=true";
    if (!hasOption(arguments, "--benchmark_repetitions"))
        arguments.push_back(&repetitions[0]);
    if (!hasOption(arguments, "--benchmark_display_aggregates_only"))
        arguments.push_back(&aggregates[0]);

    std::vector<std::string> ciphers;
    for (const QString &cipher : QString::fromStdString(cipherText).split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        // Both servers offer the agent's suites only: anything else could never be negotiated.
        if (!PskServer::cipherList().contains(cipher)) {
            std::fprintf(stderr, "%s is not one of the agent's suites: %s\n", qPrintable(cipher),
                         qPrintable(PskServer::cipherList().join(QLatin1Char(':'))));
            return 2;
        }
        ciphers.push_back(cipher.toStdString());
    }
    std::vector<int> counts;
    for (const std::string &cipher : ciphers)
        counts.push_back(fixedCount > 0 ? fixedCount : calibratedCount(cipher, 3.0));
    for (std::size_t i = 0; i < ciphers.size(); ++i) {
        const std::string &cipher = ciphers[i];
        const int count = counts[i];
        for (const bool own : {true, false}) {
            const std::string name = "Handshake/" + cipher + (own ? "/PskServer" : "/s_server");
            benchmark::RegisterBenchmark(name.c_str(), handshakes, own, cipher)
                ->Iterations(count)
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond)
                ->ComputeStatistics("min", minimum)
                ->ComputeStatistics("max", maximum);
        }
    }
    for (std::size_t i = 0; i < ciphers.size(); ++i) {
        benchmark::RegisterBenchmark(("SideBySide/" + ciphers[i]).c_str(), sideBySide, ciphers[i])
            ->Iterations(counts[i])
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond)
            ->ComputeStatistics("min", minimum)
            ->ComputeStatistics("max", maximum);
    }
    int argumentCount = int(arguments.size());
    benchmark::Initialize(&argumentCount, arguments.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
