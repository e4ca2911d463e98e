#include "service/collectionstats.h"

#include "common/clock.h"

#include <QMutexLocker>

namespace service {

namespace {

// One registry per kind of counters: found or created under its own lock.
template <typename Stats> QSharedPointer<Stats> findOrCreate(const QString &key)
{
    static QMutex mutex;
    static QHash<QString, QSharedPointer<Stats>> registry; // guarded by mutex
    QMutexLocker lock(&mutex);
    QSharedPointer<Stats> &stats = registry[key];
    if (!stats)
        stats = QSharedPointer<Stats>::create();
    return stats;
}

} // namespace

QString logoffTypeName(common::Logoff::LogoffType type)
{
    switch (type) {
    case common::Logoff::LogoffPing:
        return QStringLiteral("ping");
    case common::Logoff::LogoffTimeout:
        return QStringLiteral("timeout");
    case common::Logoff::LogoffRegister:
        return QStringLiteral("register");
    case common::Logoff::LogoffDns:
        return QStringLiteral("dns");
    case common::Logoff::LogoffSessionReplace:
        return QStringLiteral("sessionReplace");
    case common::Logoff::LogoffUnknown:
        break;
    }
    return QStringLiteral("unknown");
}

QSharedPointer<CollectionStats> CollectionStats::of(const QString &adName)
{
    return findOrCreate<CollectionStats>(adName);
}

void CollectionStats::collected(const QString &server, const QString &source, quint64 events, quint64 logons)
{
    const QDateTime now = common::Clock::now();
    change([&](CollectionStatus &status) {
        ControllerStatus &controller = status.controllers[server];
        if (!source.isEmpty())
            controller.source = source;
        controller.lastCollection = now;
        controller.failing = false;
        controller.eventsRead += events;
        controller.logonsFound += logons;
    });
}

void CollectionStats::failed(const QString &server, const QString &source, const QString &reason)
{
    const QDateTime now = common::Clock::now();
    change([&](CollectionStatus &status) {
        ControllerStatus &controller = status.controllers[server];
        if (!source.isEmpty())
            controller.source = source;
        controller.lastFailure = now;
        controller.failureReason = reason;
        controller.failing = true;
        ++controller.failures;
    });
}

void CollectionStats::received(const QString &server, quint64 datagrams, quint64 logons, const QDateTime &at)
{
    change([&](CollectionStatus &status) {
        ControllerStatus &controller = status.controllers[server];
        controller.source = QStringLiteral("syslog");
        controller.lastCollection = at;
        controller.failing = false;
        controller.eventsRead += datagrams;
        controller.logonsFound += logons;
    });
}

void CollectionStats::syslogFailed(const QStringList &servers, const QString &reason)
{
    for (const QString &server : servers)
        failed(server, QStringLiteral("syslog"), reason);
}

void CollectionStats::dnsChecked()
{
    const QDateTime now = common::Clock::now();
    change([&](CollectionStatus &status) { status.lastDnsCheck = now; });
}

void CollectionStats::logoffFound(common::Logoff::LogoffType type)
{
    change([&](CollectionStatus &status) { ++status.logoffs[type]; });
}

QSharedPointer<ProbeStats> ProbeStats::of(const QString &firewall)
{
    return findOrCreate<ProbeStats>(firewall);
}

void ProbeStats::cycleFinished(qint64 durationMs)
{
    const QDateTime now = common::Clock::now();
    change([&](ProbeStatus &status) {
        status.lastCycle = now;
        status.lastCycleMs = durationMs;
    });
}

void ProbeStats::logoffFound(common::Logoff::LogoffType type)
{
    change([&](ProbeStatus &status) { ++status.logoffs[type]; });
}

} // namespace service
