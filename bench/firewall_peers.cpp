// Many firewalls at once: the agent executable, run from a temporary install
// folder, serves N firewall peers that connect together, each from its own
// loopback address, and run handshake, Configuration and initial rules. For
// every N (default 50, 200, 500 and 1,000) it starts a fresh agent RUNS
// times and reports the time until every peer was served, the time until
// config.ini held every peer's configuration, the agent's CPU time per
// connection and its peak memory, then stops the agent and counts the
// Goodbyes. Summary lines give min/median/max over the runs.
//
//   bench_firewall_peers [--peers 50,200,500,1000] [--runs 3] [--agent PATH] [--verbose low|high]
//   (SSO_BENCH_KEEP=1 in the environment keeps each run's instance folder)
//
// The peers' side is cheap on purpose: readiness is counted as messages
// arrive, never by walking every peer's messages, so the figures are the
// agent's.
#include "common/eventdispatcher.h"
#include "tools/firewallpeer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
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

double ownCpuSeconds()
{
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    return double(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
           double(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
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

// Which file config.ini is: the agent replaces the file on every write, and
// a freed inode number is soon given to the next save's file, so the change
// time is part of it.
quint64 fileIdentity(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return quint64(st.st_ino) * 1000003u ^ quint64(st.st_ctim.tv_sec) * 1000000000u ^ quint64(st.st_ctim.tv_nsec);
}

// How many firewall sections config.ini holds.
int storedConfigurations(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return int(file.readAll().count("\n[AD-BENCH"));
}

struct Figures
{
    bool ok = false;
    qint64 servedMs = 0; // until every peer had its rules acknowledged
    qint64 storedMs = 0; // until config.ini held every configuration
    double cpuMsPerConnection = 0;
    double peersCpuSeconds = 0;
    QByteArray hwm;
    int goodbyes = 0;
    int exitCode = -1;
    int writes = 0; // replacements of config.ini seen (polled every 50 ms at most)
};

Figures runOnce(const QString &agentPath, int peers, const QByteArray &verbose)
{
    Figures figures;
    QTemporaryDir instance;
    // SSO_BENCH_KEEP=1 keeps the instance folder (config.ini, log/) for a look afterwards.
    if (qEnvironmentVariableIsSet("SSO_BENCH_KEEP")) {
        instance.setAutoRemove(false);
        std::printf("instance folder %s\n", qPrintable(instance.path()));
    }
    const QString exe = instance.filePath(QStringLiteral("ferrowinden-sso-agent"));
    if (!QFile::copy(agentPath, exe)) {
        std::fprintf(stderr, "cannot copy %s\n", qPrintable(agentPath));
        return figures;
    }
    QFile::setPermissions(exe, QFileInfo(agentPath).permissions());
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    const QByteArray key = "benchmark key of some length";
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
        return figures;
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
        return figures;
    }
    QThread::msleep(200); // let the probe connection go
    QCoreApplication::processEvents();

    const double cpuBefore = cpuSeconds(pid);
    const double ownBefore = ownCpuSeconds();
    std::vector<std::unique_ptr<diag::FirewallPeer>> list;
    list.reserve(size_t(peers));
    int ready = 0;
    int failed = 0;
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
        diag::FirewallPeer *peer = list.back().get();
        auto counted = std::make_shared<bool>(false);
        QObject::connect(peer, &diag::FirewallPeer::messageReceived, [peer, counted, &ready] {
            if (!*counted && peer->rulesSent() && peer->count(QStringLiteral("Ack")) >= 2) {
                *counted = true;
                ++ready;
            }
        });
        QObject::connect(peer, &diag::FirewallPeer::disconnected, [counted, &failed] {
            if (!*counted) {
                *counted = true;
                ++failed;
            }
        });
        peer->start();
    }
    const QString configPath = instance.filePath(QStringLiteral("config.ini"));
    quint64 identity = fileIdentity(configPath);
    const auto watchWrites = [&] {
        const quint64 now = fileIdentity(configPath);
        if (now != identity) {
            identity = now;
            ++figures.writes;
        }
    };
    const bool allReady = waitFor(
        [&] {
            watchWrites();
            return ready + failed == peers;
        },
        300000);
    figures.servedMs = clock.elapsed();
    const double cpuServed = cpuSeconds(pid);
    const bool stored = waitFor(
        [&] {
            watchWrites();
            return storedConfigurations(configPath) >= ready;
        },
        30000);
    figures.storedMs = clock.elapsed();
    figures.peersCpuSeconds = ownCpuSeconds() - ownBefore;
    figures.cpuMsPerConnection = (cpuServed - cpuBefore) * 1000.0 / peers;
    figures.hwm = statusValue(pid, "VmHWM");

    ::kill(pid_t(pid), SIGTERM);
    const auto goodbyes = [&] {
        int n = 0;
        for (const auto &peer : list)
            n += peer->count(QStringLiteral("Goodbye"));
        return n;
    };
    waitFor([&] { return goodbyes() >= peers - failed || agent.state() == QProcess::NotRunning; }, 60000);
    waitFor([&] { return agent.state() == QProcess::NotRunning; }, 60000);
    waitFor([&] { return goodbyes() >= peers - failed; }, 5000);
    figures.goodbyes = goodbyes();
    figures.exitCode = agent.exitCode();
    figures.ok = allReady && stored && failed == 0;
    if (!figures.ok)
        std::fprintf(stderr, "%d peers: %d failed%s%s\n", peers, failed, allReady ? "" : ", timed out",
                     stored ? "" : ", not all stored");
    return figures;
}

template <typename T> void summary(const char *what, std::vector<T> values, const char *unit, const char *format)
{
    std::sort(values.begin(), values.end());
    const T median = values.at(values.size() / 2);
    std::printf("    %-26s min ", what);
    std::printf(format, double(values.front()));
    std::printf("  median ");
    std::printf(format, double(median));
    std::printf("  max ");
    std::printf(format, double(values.back()));
    std::printf(" %s\n", unit);
}

} // namespace

int main(int argc, char **argv)
{
    // The peers' loop is the agent's kind: GLib's wakes once more for every
    // notifier change and left some peers unserved for tens of seconds at 1,000.
    common::usePlainEventDispatcher();
    QCoreApplication app(argc, argv);
    QList<int> peerCounts{50, 200, 500, 1000};
    int runs = 3;
    QString agentPath = QStringLiteral(SSO_AGENT_PATH);
    QByteArray verbose = "low";
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--peers")) {
            peerCounts.clear();
            for (const QString &n : args.at(i + 1).split(QLatin1Char(',')))
                peerCounts.append(n.toInt());
        } else if (args.at(i) == QLatin1String("--runs")) {
            runs = args.at(i + 1).toInt();
        } else if (args.at(i) == QLatin1String("--agent")) {
            agentPath = args.at(i + 1);
        } else if (args.at(i) == QLatin1String("--verbose")) {
            verbose = args.at(i + 1).toLatin1();
        }
    }
    for (int peers : peerCounts) {
        if (peers < 1 || peers > 60000) {
            std::fprintf(stderr, "--peers takes numbers between 1 and 60000\n");
            return 2;
        }
    }
    if (runs < 1) {
        std::fprintf(stderr, "--runs must be at least 1\n");
        return 2;
    }

    // Both ends hold one descriptor per connection.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    bool allOk = true;
    std::map<int, std::vector<Figures>> results;
    for (int run = 1; run <= runs; ++run) {
        for (int peers : peerCounts) {
            const Figures f = runOnce(agentPath, peers, verbose);
            allOk = allOk && f.ok;
            results[peers].push_back(f);
            std::printf("run %d, %4d peers: served in %5lld ms, stored in %5lld ms (config.ini written %d times), "
                        "agent CPU %.2f ms per connection, peers' CPU %.2f s, VmHWM %s, %d goodbyes, exit %d\n",
                        run, peers, static_cast<long long>(f.servedMs), static_cast<long long>(f.storedMs), f.writes,
                        f.cpuMsPerConnection, f.peersCpuSeconds, f.hwm.constData(), f.goodbyes, f.exitCode);
            std::fflush(stdout);
        }
    }
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("\nover %d runs (load average now %.1f: other work on the machine stretches the times, not the CPU "
                "figures):\n",
                runs, load[0]);
    double smallest = 0;
    double largest = 0;
    for (int peers : peerCounts) {
        const std::vector<Figures> &list = results[peers];
        std::vector<qint64> served, storedAt, writes;
        std::vector<double> cpu;
        for (const Figures &f : list) {
            served.push_back(f.servedMs);
            storedAt.push_back(f.storedMs);
            cpu.push_back(f.cpuMsPerConnection);
            writes.push_back(f.writes);
        }
        std::printf("  %d peers\n", peers);
        summary("all served", served, "ms", "%.0f");
        summary("all in config.ini", storedAt, "ms", "%.0f");
        summary("agent CPU per connection", cpu, "ms", "%.2f");
        summary("config.ini writes", writes, "", "%.0f");
        std::sort(cpu.begin(), cpu.end());
        const double median = cpu.at(cpu.size() / 2);
        if (peers == peerCounts.first())
            smallest = median;
        if (peers == peerCounts.last())
            largest = median;
    }
    if (peerCounts.size() > 1 && smallest > 0)
        std::printf("\nagent CPU per connection, median at %d peers / median at %d peers: %.2f\n", peerCounts.last(),
                    peerCounts.first(), largest / smallest);
    return allOk ? 0 : 1;
}
