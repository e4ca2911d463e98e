#pragma once

#include "common/logon.h"

#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QSharedPointer>
#include <QString>

namespace service {

// What one domain controller's collection did since the agent started.
struct ControllerStatus
{
    // "EVTX", "XML", "legacy", "mock" or "syslog"; empty until known.
    QString source;
    QDateTime lastCollection; // the last good collection (syslog: the last datagram taken)
    QDateTime lastFailure;
    QString failureReason;  // of lastFailure
    bool failing = false;   // the last attempt failed
    quint64 eventsRead = 0; // syslog: datagrams taken
    quint64 logonsFound = 0;
    quint64 failures = 0;
};

// What one set of domain controllers' collection did since the agent started.
struct CollectionStatus
{
    QHash<QString, ControllerStatus> controllers; // by Servers entry
    QDateTime lastDnsCheck;
    QMap<common::Logoff::LogoffType, quint64> logoffs; // found by the collector cache, by type
};

// A status record behind a short mutex: writers change it in place, readers
// take copies.
template <typename Status> class GuardedStatus
{
public:
    Status snapshot() const
    {
        QMutexLocker lock(&mutex);
        return status;
    }

protected:
    template <typename Change> void change(Change &&apply)
    {
        QMutexLocker lock(&mutex);
        apply(status);
    }

private:
    mutable QMutex mutex;
    Status status; // guarded by mutex
};

// The counters of one set of domain controllers (adName). One per adName for
// the whole process, so that they outlive the restarts of collection that
// configuration changes cause. Collector tasks, the syslog task and the logon
// collector write from their threads; the agent reads snapshots from the
// main thread. A short mutex covers every call; nobody holds it while
// collecting.
class CollectionStats : public GuardedStatus<CollectionStatus>
{
public:
    // The counters of adName, created on first use and kept for the process.
    static QSharedPointer<CollectionStats> of(const QString &adName);

    void collected(const QString &server, const QString &source, quint64 events, quint64 logons);
    void failed(const QString &server, const QString &source, const QString &reason);
    // Syslog datagrams from server, taken at the given time with their logons.
    void received(const QString &server, quint64 datagrams, quint64 logons, const QDateTime &at);
    // The syslog socket of these controllers failed.
    void syslogFailed(const QStringList &servers, const QString &reason);
    void dnsChecked();
    void logoffFound(common::Logoff::LogoffType type);
};

// What one firewall's logoff collector did since the agent started; one per
// firewall configuration name for the whole process. Written by the logoff
// collector's thread, read by the main thread, under a short mutex.
struct ProbeStatus
{
    QDateTime lastCycle;                               // the end of the last probing cycle
    qint64 lastCycleMs = -1;                           // its duration; -1 before the first one ended
    QMap<common::Logoff::LogoffType, quint64> logoffs; // by type
};

class ProbeStats : public GuardedStatus<ProbeStatus>
{
public:
    static QSharedPointer<ProbeStats> of(const QString &firewall);

    void cycleFinished(qint64 durationMs);
    void logoffFound(common::Logoff::LogoffType type);
};

// "ping", "register", "dns", "sessionReplace", "timeout", "unknown".
QString logoffTypeName(common::Logoff::LogoffType type);

} // namespace service
