// One probing cycle of the logoff collector with ping probes over the
// addresses of a file (one a line), as the agent runs it: all logons due,
// MaxConcurrent workers. Prints one line:
//   wall_s cpu_s icmp_sockets socket_fds threads present absent
// CPU is user + system time of the whole process during the cycle. Meant to
// run inside a network namespace of its own (probes_run.sh makes one).
#include "common/clock.h"
#include "common/logon.h"
#include "logoff/collectuserlogoff.h"
#include "logoff/icmpsocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

namespace {

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int socketDescriptors()
{
    int sockets = 0;
    const QStringList entries = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        char target[64] = {};
        const QByteArray path = QStringLiteral("/proc/self/fd/%1").arg(entry).toLocal8Bit();
        if (::readlink(path.constData(), target, sizeof target - 1) > 0 && std::strncmp(target, "socket:", 7) == 0)
            ++sockets;
    }
    return sockets;
}

int threads()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    common::registerMetaTypes();
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s ADDRESS_FILE MAX_CONCURRENT PING_TIMEOUT_MS\n", argv[0]);
        return 2;
    }
    QFile list(QString::fromLocal8Bit(argv[1]));
    if (!list.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const QDateTime due = common::Clock::now().addSecs(-100);
    common::LogonList logons;
    for (const QByteArray &line : list.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            logons.append(common::Logon(QStringLiteral("user%1").arg(logons.size()),
                                        QHostAddress(QString::fromLatin1(line.trimmed())), due, QString(),
                                        QStringLiteral("BENCH"), QString(), QStringLiteral("bench.example")));
    }
    logoffCollector::CollectUserLogoff collector(
        QStringLiteral("ping"), true, QStringLiteral("bench"), QStringLiteral("bench"), 28800, 86400,
        QString::fromLocal8Bit(argv[2]).toUInt(), 3600, QString::fromLocal8Bit(argv[3]).toUInt(), 600);
    collector.addLogons(logons);

    int peakIcmp = 0;
    int peakSocketFds = 0;
    int peakThreads = 0;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        peakIcmp = std::max(peakIcmp, logoffCollector::IcmpSocket::openCount());
        peakSocketFds = std::max(peakSocketFds, socketDescriptors());
        peakThreads = std::max(peakThreads, threads());
    });
    sampler.start(500);

    // Done once the cycle has passed the end of the cache and its last probes have completed;
    // looked at only when something happens, so the harness adds no wake-ups of its own.
    bool finished = false;
    auto checkDone = [&] {
        if (!finished)
            return;
        for (logoffCollector::IProbeApi *probe : collector.workersForTest())
            if (probe && probe->isBusy())
                return;
        app.quit();
    };
    QObject::connect(&collector, &logoffCollector::CollectUserLogoff::collectFinished, [&] {
        finished = true;
        QTimer::singleShot(0, checkDone);
    });

    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    collector.start(); // creates the workers, the cycle begins in the event loop
    for (logoffCollector::IProbeApi *probe : collector.workersForTest())
        QObject::connect(probe, &logoffCollector::IProbeApi::probeCompleted, checkDone);
    app.exec();
    const double elapsed = wall.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;

    int absent = 0;
    for (const common::Logon &logon : logons)
        absent += collector.entryForTest(logon.ip())->failed != 0;
    std::printf("%.3f %.3f %d %d %d %d %d\n", elapsed, cpu, peakIcmp, peakSocketFds, peakThreads,
                static_cast<int>(logons.size()) - absent, absent);
    return 0;
}
