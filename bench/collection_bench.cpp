// The agent's whole road under load, end to end: the agent executable, run
// from a temporary install folder, polls the Security.xml stores of several
// domain controllers that this program appends to, and serves firewall
// peers whose rules admit everybody (one loopback address each).
//
//   latency: a steady rate of distinct logons for a while; for every logon
//            and firewall the time from the event's write to the "[Login]"
//            line's arrival (p50, p99, max), logons lost or sent twice,
//            the agent's CPU and peak memory, then the time a stop takes
//            while the stores are still being written to.
//   scale:   a number of distinct logons written at once; the time until
//            every firewall has received (and acknowledged) all of them,
//            and the agent's peak memory.
//
//   bench_collection [--mode latency|scale] [--runs N] [--peers 20] [--dcs 4]
//                    [--rate 2000] [--seconds 60] [--logons 250000]
//                    [--interval 1] [--agent PATH] [--verbose low|high] [--keep 1]
//                    [--stop-after MS]   (scale: stop MS after the write instead of
//                                         waiting for every firewall; lost logons not counted)
// Each run starts a fresh agent; the last lines give min/median/max over the runs.
#include "tools/firewallpeer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

const QByteArray Key = "benchmark key";
const QString Fqdn = QStringLiteral("corp.example.com");

struct Options
{
    QString mode = QStringLiteral("latency");
    int runs = 1;
    int peers = 20;
    int dcs = 4;
    int rate = 2000;
    int seconds = 60;
    int logons = 250000;
    int interval = 1;
    QString agentPath = QStringLiteral(SSO_AGENT_PATH);
    QByteArray verbose = "low";
    bool keep = false;   // leave the install folder (and the agent's log) behind
    int stopAfterMs = 0; // scale: SIGTERM this long after the write, while the logons are on their way
};

double cpuSeconds(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// VmHWM in MiB.
double peakMiB(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

QString controller(int dc)
{
    return QStringLiteral("10.9.0.%1").arg(dc + 1);
}

// A rendered 4624 event as a forwarder appends it; user u<n> at a distinct address.
QByteArray event(quint64 record, quint64 n, const QDateTime &utc)
{
    const QString ip = QStringLiteral("10.%1.%2.%3").arg((n >> 16) & 255).arg((n >> 8) & 255).arg(n & 255);
    return QStringLiteral("<Event xmlns=\"http://schemas.microsoft.com/win/2004/08/events/event\"><System>"
                          "<Provider Name=\"Microsoft-Windows-Security-Auditing\"/><EventID>4624</EventID>"
                          "<TimeCreated SystemTime=\"%1\"/><EventRecordID>%2</EventRecordID><Channel>Security"
                          "</Channel><Computer>dc.corp.example.com</Computer></System><EventData>"
                          "<Data Name=\"TargetUserSid\">S-1-5-21-1-2-3-%3</Data><Data Name=\"TargetUserName\">u%3"
                          "</Data><Data Name=\"TargetDomainName\">CORP</Data><Data Name=\"LogonType\">3</Data>"
                          "<Data Name=\"IpAddress\">%4</Data></EventData></Event>\n")
        .arg(utc.toString(Qt::ISODateWithMs))
        .arg(record)
        .arg(n)
        .arg(ip)
        .toUtf8();
}

struct Stats
{
    double min = 0, median = 0, max = 0;
};

Stats stats(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    return {values.front(), values.at(values.size() / 2), values.back()};
}

double percentile(std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t index = std::min(sorted.size() - 1, size_t(p * double(sorted.size())));
    return sorted.at(index);
}

// One agent with its stores and firewall peers.
class Run
{
public:
    explicit Run(const Options &options) : o(options) {}

    bool setUp()
    {
        const QString exe = instance.filePath(QStringLiteral("ferrowinden-sso-agent"));
        if (!QFile::copy(o.agentPath, exe)) {
            std::fprintf(stderr, "cannot copy %s\n", qPrintable(o.agentPath));
            return false;
        }
        QFile::setPermissions(exe, QFileInfo(o.agentPath).permissions());
        QTcpServer probe;
        probe.listen(QHostAddress::Any, 0);
        port = probe.serverPort();
        probe.close();
        instance.setAutoRemove(!o.keep);
        if (o.keep)
            std::printf("  install folder %s\n", qPrintable(instance.path()));
        QByteArray config = "[Global]\nVerboseLevel=" + o.verbose +
                            "\nFirewallEnabled=true\n\n[WebServer]\nPort=" + QByteArray::number(port) +
                            "\nSSLKey=" + Key + "\n";
        for (int i = 0; i < o.peers; ++i) {
            config += "\n[AD-" + serial(i).toUtf8() + "]\nFirewallName=" + serial(i).toUtf8() +
                      "\nServers\\size=" + QByteArray::number(o.dcs) + "\n";
            for (int dc = 0; dc < o.dcs; ++dc)
                config += "Servers\\" + QByteArray::number(dc + 1) + "\\ips=" + controller(dc).toUtf8() + "\n";
            config += "Enabled=true\nCollectInterval=" + QByteArray::number(o.interval) +
                      "\nMaxLogonTime=28800\nMaxSecondToRead=3600\nDnsEnabled=false\nProbe\\Enabled=false\n";
        }
        write(QStringLiteral("config.ini"), config);
        for (int dc = 0; dc < o.dcs; ++dc) {
            QDir().mkpath(instance.filePath(QStringLiteral("eventlog/") + controller(dc)));
            auto file = std::make_unique<QFile>(
                instance.filePath(QStringLiteral("eventlog/%1/Security.xml").arg(controller(dc))));
            if (!file->open(QIODevice::WriteOnly | QIODevice::Append))
                return false;
            stores.push_back(std::move(file));
        }
        QDir().mkpath(instance.filePath(QStringLiteral("tmp")));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), instance.filePath(QStringLiteral("tmp")));
        agent.setProcessEnvironment(environment);
        agent.setWorkingDirectory(instance.path());
        // A console run echoes every log line on standard error: millions here, which the log file holds anyway.
        agent.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        agent.setStandardErrorFile(QProcess::nullDevice());
        agent.start(exe, {QStringLiteral("-e")});
        if (!agent.waitForStarted(10000))
            return false;
        pid = agent.processId();
        if (!waitFor([&] { return agentLog().contains("3.0 started"); }, 20000)) {
            std::fprintf(stderr, "the agent did not start\n");
            return false;
        }
        for (int i = 0; i < o.peers; ++i) {
            diag::FirewallPeer::Options options;
            options.port = port;
            options.key = Key;
            options.serial = serial(i);
            options.bindAddress = QHostAddress(quint32((127u << 24) | (2u << 16) | quint32(i + 1)));
            options.controllers.clear();
            for (int dc = 0; dc < o.dcs; ++dc)
                options.controllers.append(controller(dc));
            options.configuration = {{QStringLiteral("LogonTime"), QStringLiteral("28800")},
                                     {QStringLiteral("DnsEnabled"), QStringLiteral("0")},
                                     {QStringLiteral("Fqdn"), Fqdn},
                                     {QStringLiteral("Netbios"), QStringLiteral("CORP")}};
            options.keepAliveMs = 60000;
            peers.push_back(std::make_unique<diag::FirewallPeer>(options));
            diag::FirewallPeer *peer = peers.back().get();
            const int index = i;
            QObject::connect(peer, &diag::FirewallPeer::messageReceived,
                             [this, index](const diag::PeerMessage &message) { received(index, message); });
            peer->start();
        }
        const bool ready = waitFor(
            [&] {
                for (const auto &peer : peers) {
                    if (!peer->rulesSent() || peer->count(QStringLiteral("Ack")) < 2)
                        return false;
                }
                return true;
            },
            60000);
        if (!ready)
            std::fprintf(stderr, "not every firewall got through its start\n");
        return ready;
    }

    // Appends logons first..last-1, round robin over the stores; their write time is taken after the flush.
    void writeLogons(quint64 first, quint64 last)
    {
        const QDateTime utc = QDateTime::currentDateTimeUtc();
        for (quint64 n = first; n < last; ++n) {
            const int dc = int(n % quint64(o.dcs));
            stores[size_t(dc)]->write(event(++records, n, utc));
        }
        for (const auto &store : stores)
            store->flush();
        const qint64 now = clock.nsecsElapsed();
        if (writtenAt.size() < last)
            writtenAt.resize(last, -1);
        for (quint64 n = first; n < last; ++n)
            writtenAt[n] = now;
    }

    void received(int peer, const diag::PeerMessage &message)
    {
        if (message.header != QLatin1String("Login") && message.header != QLatin1String("Startup"))
            return;
        const qint64 now = clock.nsecsElapsed();
        std::vector<qint64> &arrivals = arrivedAt[peer];
        for (const auto &line : message.lines) {
            // "corp.example.com\u<n>" = "<seconds>@<address>[,...]"
            const int slash = line.first.lastIndexOf(QLatin1String("\\u"));
            bool ok = false;
            const quint64 n = line.first.mid(slash + 2).toULongLong(&ok);
            if (slash < 0 || !ok)
                continue;
            const int items = line.second.count(QLatin1Char(',')) + 1;
            if (arrivals.size() <= n)
                arrivals.resize(n + 1, -1);
            if (arrivals[n] >= 0 || items > 1)
                ++duplicates;
            else
                arrivals[n] = now;
        }
    }

    int countReceived(quint64 total) const
    {
        int complete = 0;
        for (int p = 0; p < o.peers; ++p) {
            const auto found = arrivedAt.find(p);
            quint64 got = 0;
            if (found != arrivedAt.end())
                for (quint64 n = 0; n < total && n < found->second.size(); ++n)
                    got += found->second[n] >= 0 ? 1 : 0;
            complete += got == total ? 1 : 0;
        }
        return complete;
    }

    quint64 missing(quint64 total) const
    {
        quint64 lost = 0;
        for (int p = 0; p < o.peers; ++p) {
            const auto found = arrivedAt.find(p);
            for (quint64 n = 0; n < total; ++n) {
                if (found == arrivedAt.end() || n >= found->second.size() || found->second[n] < 0)
                    ++lost;
            }
        }
        return lost;
    }

    // SIGTERM while the stores are still being written to; ms until the agent has exited.
    qint64 stopUnderLoad(quint64 &next)
    {
        QElapsedTimer stopClock;
        ::kill(pid_t(pid), SIGTERM);
        stopClock.start();
        while (agent.state() != QProcess::NotRunning && stopClock.elapsed() < 120000) {
            const quint64 due = next + quint64(o.rate) / 100;
            writeLogons(next, due);
            next = due;
            agent.waitForFinished(10);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        }
        return agent.state() == QProcess::NotRunning ? stopClock.elapsed() : -1;
    }

    QByteArray agentLog() const
    {
        QFile file(instance.filePath(QStringLiteral("log/ferrowinden-sso-agent.log")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static QString serial(int i) { return QStringLiteral("BENCH%1").arg(i, 2, 10, QLatin1Char('0')); }
    void write(const QString &name, const QByteArray &content)
    {
        QFile file(instance.filePath(name));
        file.open(QIODevice::WriteOnly);
        file.write(content);
    }

    const Options &o;
    QTemporaryDir instance;
    QProcess agent;
    qint64 pid = 0;
    quint16 port = 0;
    std::vector<std::unique_ptr<QFile>> stores;
    std::vector<std::unique_ptr<diag::FirewallPeer>> peers;
    QElapsedTimer clock;
    quint64 records = 0;
    std::vector<qint64> writtenAt;                // by logon number, ns on clock
    std::map<int, std::vector<qint64>> arrivedAt; // by peer, then logon number
    quint64 duplicates = 0;
};

} // namespace

namespace {

struct Figures
{
    double p50 = 0, p99 = 0, max = 0; // ms
    double cpuPercent = 0, peakMiB = 0;
    double stopMs = -1;
    double allAckedMs = 0;
    quint64 lost = 0, duplicates = 0;
    bool ok = false;
};

Figures latencyRun(const Options &o)
{
    Figures f;
    Run run(o);
    if (!run.setUp())
        return f;
    run.clock.start();
    const double cpuBefore = cpuSeconds(run.pid);
    quint64 next = 0;
    const qint64 endNs = qint64(o.seconds) * 1000000000LL;
    // Steady rate: every 10 ms what is due by now.
    while (run.clock.nsecsElapsed() < endNs) {
        const quint64 due = quint64(double(run.clock.nsecsElapsed()) * o.rate / 1e9);
        if (due > next) {
            run.writeLogons(next, due);
            next = due;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(2000);
    }
    const quint64 total = next;
    waitFor([&] { return run.countReceived(total) == o.peers; }, 30000);
    const double cpuSecs = cpuSeconds(run.pid) - cpuBefore;
    f.cpuPercent = cpuSecs * 100.0 / (double(run.clock.nsecsElapsed()) / 1e9);
    f.peakMiB = peakMiB(run.pid);
    std::vector<double> latencies;
    latencies.reserve(size_t(total) * size_t(o.peers));
    for (const auto &peer : run.arrivedAt) {
        for (quint64 n = 0; n < total && n < peer.second.size(); ++n) {
            if (peer.second[n] >= 0)
                latencies.push_back(double(peer.second[n] - run.writtenAt[n]) / 1e6);
        }
    }
    std::sort(latencies.begin(), latencies.end());
    f.p50 = percentile(latencies, 0.50);
    f.p99 = percentile(latencies, 0.99);
    f.max = latencies.empty() ? 0 : latencies.back();
    f.lost = run.missing(total);
    f.duplicates = run.duplicates;
    std::printf("  logons written %llu (%d/s for %d s to %d stores), lines received %zu by %d firewalls\n",
                static_cast<unsigned long long>(total), o.rate, o.seconds, o.dcs, latencies.size(), o.peers);
    f.stopMs = double(run.stopUnderLoad(next));
    f.ok = true;
    return f;
}

Figures scaleRun(const Options &o)
{
    Figures f;
    Run run(o);
    if (!run.setUp())
        return f;
    run.clock.start();
    const quint64 total = quint64(o.logons);
    for (quint64 n = 0; n < total; n += 10000)
        run.writeLogons(n, std::min(total, n + 10000));
    const qint64 written = run.clock.elapsed();
    if (o.stopAfterMs > 0) {
        // A stop in the middle of the burst: routing and sending are under way.
        waitFor([&] { return false; }, o.stopAfterMs);
        const int complete = run.countReceived(total);
        f.peakMiB = peakMiB(run.pid);
        quint64 next = total;
        f.stopMs = double(run.stopUnderLoad(next));
        f.allAckedMs = -1;
        f.duplicates = run.duplicates;
        std::printf("  %llu logons written in %lld ms; SIGTERM %d ms later, %d firewalls had all of them\n",
                    static_cast<unsigned long long>(total), static_cast<long long>(written), o.stopAfterMs, complete);
        f.ok = f.stopMs >= 0;
        return f;
    }
    const bool all = waitFor([&] { return run.countReceived(total) == o.peers; }, 600000);
    f.allAckedMs = double(run.clock.elapsed());
    // The peers acknowledge on receipt; what is left in flight is the agent's last Acks to read.
    waitFor([&] { return false; }, 200);
    f.peakMiB = peakMiB(run.pid);
    f.lost = run.missing(total);
    f.duplicates = run.duplicates;
    std::printf("  %llu logons written in %lld ms; every firewall had all of them %s\n",
                static_cast<unsigned long long>(total), static_cast<long long>(written), all ? "" : "(timed out)");
    quint64 next = total;
    f.stopMs = double(run.stopUnderLoad(next));
    f.ok = all;
    return f;
}

void summary(const char *name, const std::vector<Figures> &runs, double Figures::*field, const char *unit)
{
    std::vector<double> values;
    for (const Figures &f : runs)
        values.push_back(f.*field);
    const Stats s = stats(values);
    std::printf("%-28s min %10.1f  median %10.1f  max %10.1f %s\n", name, s.min, s.median, s.max, unit);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options o;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString &key = args.at(i);
        const QString &value = args.at(i + 1);
        if (key == QLatin1String("--mode"))
            o.mode = value;
        else if (key == QLatin1String("--runs"))
            o.runs = value.toInt();
        else if (key == QLatin1String("--peers"))
            o.peers = value.toInt();
        else if (key == QLatin1String("--dcs"))
            o.dcs = value.toInt();
        else if (key == QLatin1String("--rate"))
            o.rate = value.toInt();
        else if (key == QLatin1String("--seconds"))
            o.seconds = value.toInt();
        else if (key == QLatin1String("--logons"))
            o.logons = value.toInt();
        else if (key == QLatin1String("--interval"))
            o.interval = value.toInt();
        else if (key == QLatin1String("--agent"))
            o.agentPath = value;
        else if (key == QLatin1String("--verbose"))
            o.verbose = value.toLatin1();
        else if (key == QLatin1String("--keep"))
            o.keep = value == QLatin1String("1");
        else if (key == QLatin1String("--stop-after"))
            o.stopAfterMs = value.toInt();
    }
    if (o.runs < 1 || o.peers < 1 || o.peers > 250 || o.dcs < 1 || o.dcs > 250 || o.rate < 1 || o.logons < 1 ||
        (o.mode != QLatin1String("latency") && o.mode != QLatin1String("scale"))) {
        std::fprintf(stderr, "bad arguments\n");
        return 2;
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    std::vector<Figures> runs;
    bool ok = true;
    for (int r = 0; r < o.runs; ++r) {
        std::printf("run %d/%d (%s)\n", r + 1, o.runs, qPrintable(o.mode));
        std::fflush(stdout);
        const Figures f = o.mode == QLatin1String("latency") ? latencyRun(o) : scaleRun(o);
        ok = ok && f.ok && f.lost == 0 && f.duplicates == 0;
        if (o.mode == QLatin1String("latency"))
            std::printf("  latency p50 %.1f ms, p99 %.1f ms, max %.1f ms; lost %llu, sent twice %llu; agent CPU "
                        "%.1f %%, VmHWM %.1f MiB; stop under load %.0f ms\n",
                        f.p50, f.p99, f.max, static_cast<unsigned long long>(f.lost),
                        static_cast<unsigned long long>(f.duplicates), f.cpuPercent, f.peakMiB, f.stopMs);
        else
            std::printf("  all firewalls had every logon after %.0f ms (-1: stopped before); lost %llu, sent twice "
                        "%llu; VmHWM %.1f MiB; stop under load %.0f ms\n",
                        f.allAckedMs, static_cast<unsigned long long>(f.lost),
                        static_cast<unsigned long long>(f.duplicates), f.peakMiB, f.stopMs);
        std::fflush(stdout);
        runs.push_back(f);
    }
    std::printf("summary over %d run(s), %d firewalls, %d stores, CollectInterval %d s:\n", o.runs, o.peers, o.dcs,
                o.interval);
    if (o.mode == QLatin1String("latency")) {
        summary("latency p50", runs, &Figures::p50, "ms");
        summary("latency p99", runs, &Figures::p99, "ms");
        summary("latency max", runs, &Figures::max, "ms");
        summary("agent CPU", runs, &Figures::cpuPercent, "% of one core");
    } else if (o.stopAfterMs <= 0) {
        summary("all logons at every firewall", runs, &Figures::allAckedMs, "ms");
    }
    summary("agent peak memory (VmHWM)", runs, &Figures::peakMiB, "MiB");
    summary("stop under load", runs, &Figures::stopMs, "ms");
    return ok ? 0 : 1;
}
