// Many firewalls at once: the agent executable, run from a temporary install
// folder, serves N firewall peers (default 500) that connect together, each
// from its own loopback address, and run handshake, Configuration and
// initial rules. Reports the total time, the agent's peak memory (VmHWM)
// and its CPU time per connection, then stops the agent and counts the
// Goodbyes.
//
//   bench_firewall_peers [--peers N] [--agent PATH] [--verbose low|high]
#include "tools/firewallpeer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

// utime + stime of a process, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    // Fields after the command name (which may hold blanks) start at ") ".
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

QByteArray statusValue(qint64 pid, const QByteArray &key)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed();
    }
    return QByteArray();
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int peers = 500;
    QString agentPath = QStringLiteral(SSO_AGENT_PATH);
    QByteArray verbose = "low";
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--peers"))
            peers = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--agent"))
            agentPath = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--verbose"))
            verbose = args.at(i + 1).toLatin1();
    }
    if (peers < 1 || peers > 60000) {
        std::fprintf(stderr, "--peers must be between 1 and 60000\n");
        return 2;
    }

    // Both ends hold one descriptor per connection.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    QTemporaryDir instance;
    const QString exe = instance.filePath(QStringLiteral("ferrowinden-sso-agent"));
    if (!QFile::copy(agentPath, exe)) {
        std::fprintf(stderr, "cannot copy %s\n", qPrintable(agentPath));
        return 1;
    }
    QFile::setPermissions(exe, QFileInfo(agentPath).permissions());
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    const QByteArray key = "benchmark key";
    QFile config(instance.filePath(QStringLiteral("config.ini")));
    config.open(QIODevice::WriteOnly);
    config.write("[Global]\nVerboseLevel=" + verbose +
                 "\nFirewallEnabled=true\n\n[WebServer]\nPort=" + QByteArray::number(port) + "\nSSLKey=" + key + "\n");
    config.close();
    QDir().mkpath(instance.filePath(QStringLiteral("tmp")));

    QProcess agent;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), instance.filePath(QStringLiteral("tmp")));
    agent.setProcessEnvironment(environment);
    agent.setWorkingDirectory(instance.path());
    agent.setProcessChannelMode(QProcess::ForwardedChannels);
    agent.start(exe, {QStringLiteral("-e")});
    if (!agent.waitForStarted(10000)) {
        std::fprintf(stderr, "the agent did not start\n");
        return 1;
    }
    const qint64 pid = agent.processId();
    const bool listening = waitFor(
        [&] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            const bool ok = socket.waitForConnected(200);
            socket.abort();
            return ok;
        },
        15000);
    if (!listening) {
        std::fprintf(stderr, "the agent does not listen on %u\n", port);
        return 1;
    }
    QThread::msleep(200); // let the probe connection go
    QCoreApplication::processEvents();

    const double cpuBefore = cpuSeconds(pid);
    const QByteArray rssBefore = statusValue(pid, "VmRSS");
    std::vector<std::unique_ptr<diag::FirewallPeer>> list;
    list.reserve(size_t(peers));
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < peers; ++i) {
        diag::FirewallPeer::Options options;
        options.port = port;
        options.key = key;
        options.serial = QStringLiteral("BENCH%1").arg(i, 4, 10, QLatin1Char('0'));
        // One loopback address per firewall: the agent keeps one connection per address.
        options.bindAddress = QHostAddress(quint32((127u << 24) | (1u << 16) | quint32(i + 1)));
        options.controllers = QStringList{QStringLiteral("192.0.2.%1").arg(1 + i % 4)};
        list.push_back(std::make_unique<diag::FirewallPeer>(options));
        list.back()->start();
    }
    int failed = 0;
    const bool allReady = waitFor(
        [&] {
            int ready = 0;
            failed = 0;
            for (const auto &peer : list) {
                if (peer->rulesSent() && peer->count(QStringLiteral("Ack")) >= 2)
                    ++ready;
                else if (peer->isDisconnected())
                    ++failed;
            }
            return ready + failed == peers;
        },
        300000);
    const qint64 elapsedMs = clock.elapsed();
    const double cpuAfter = cpuSeconds(pid);
    const QByteArray hwm = statusValue(pid, "VmHWM");
    const QByteArray rss = statusValue(pid, "VmRSS");

    std::printf("peers                      %d (%d failed%s)\n", peers, failed, allReady ? "" : ", timed out");
    std::printf("total time                 %lld ms (handshake, Configuration and rules of every peer)\n",
                static_cast<long long>(elapsedMs));
    std::printf("agent CPU                  %.2f s, %.2f ms per connection\n", cpuAfter - cpuBefore,
                (cpuAfter - cpuBefore) * 1000.0 / peers);
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    std::printf("peers' CPU (this process)  %.2f s\n", double(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
                                                           double(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6);
    std::printf("agent memory               VmRSS before %s, after %s, VmHWM %s\n", rssBefore.constData(),
                rss.constData(), hwm.constData());

    ::kill(pid_t(pid), SIGTERM);
    int goodbyes = 0;
    waitFor(
        [&] {
            goodbyes = 0;
            for (const auto &peer : list)
                goodbyes += peer->count(QStringLiteral("Goodbye"));
            return goodbyes >= peers - failed || agent.state() == QProcess::NotRunning;
        },
        60000);
    waitFor([&] { return agent.state() == QProcess::NotRunning; }, 60000);
    waitFor(
        [&] {
            goodbyes = 0;
            for (const auto &peer : list)
                goodbyes += peer->count(QStringLiteral("Goodbye"));
            return goodbyes >= peers - failed;
        },
        5000);
    std::printf("goodbyes at stop           %d, agent exit code %d\n", goodbyes, agent.exitCode());
    return allReady && failed == 0 ? 0 : 1;
}
