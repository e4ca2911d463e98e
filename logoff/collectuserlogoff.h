#pragma once

#include "common/logon.h"
#include "logoff/iprobeapi.h"
#include "logoff/logonprobe.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QTimer>
#include <functional>

class DumpFile;

namespace logoffCollector {

// Decides when a user announced to one firewall has gone. Keeps the probe
// cache (one entry per address, in insertion order) and runs probing cycles:
// every userCheckFrequency seconds the logons that are due go to a pool of
// maxConcurrent probe workers, each taking the next due logon as soon as it
// completes one. A logon whose probe fails, and fails again at least
// probeTimeout seconds after its last regular probe with no success between,
// becomes a logoff of the probe's type; one older than maxLogonTime becomes a
// LogoffTimeout logoff; one older than cacheTimeout is dropped silently.
// Ages are taken from common::Clock.
//
// Lives in its host's thread (a service::LogoffCollector); every call but
// addLogons must come from that thread. logoff is emitted with the cache
// locked: its receivers must not call back into this object synchronously.
class CollectUserLogoff : public QObject
{
    Q_OBJECT
public:
    using ProbeFactory = std::function<IProbeApi *(const QString &method, quint32 pingTimeout, const QString &adName,
                                                   unsigned int index, QObject *parent)>;

    CollectUserLogoff(const QString &method, bool enabled, const QString &adName, const QString &firewallName,
                      quint32 maxLogonTime, quint32 cacheTimeout, quint32 maxConcurrent, quint32 userCheckFrequency,
                      quint32 pingTimeout, quint32 probeTimeout, QObject *parent = nullptr);
    ~CollectUserLogoff() override;

    // Adds logons, or refreshes the entry of their address when they are newer
    // than it. May be called from any thread: the logons join the cache in
    // this object's thread.
    void addLogons(const common::LogonList &logons);
    // Drops the entry of that user at that address; false when there is none.
    bool removeLogon(const common::Logon &logon);
    // Creates the workers (once) and begins the cycles.
    void start();

    // Tests and diagnostics.
    int cacheSize() const;
    // How long the last probing cycle took, from its start to collectFinished; -1 before one ended.
    qint64 lastCycleMs() const { return lastCycleDuration; }
    ShdLogonProbe entryForTest(const QHostAddress &address) const;
    const QList<IProbeApi *> &workersForTest() const { return workers; }
    quint32 reprobeIntervalForTest() const { return reprobeInterval; }
    bool isTimerActiveForTest() const { return timer && timer->isActive(); }
    // Another way to make workers (all workers when unset: IProbeApi::create).
    static void setProbeFactoryForTest(ProbeFactory factory);

signals:
    void logoff(const common::Logoff &logoff);
    void collectFinished();

public slots:
    void onCollect();
    void onProbeSuccess(unsigned int index);
    void onProbeFailure(unsigned int index, common::Logoff::LogoffType logoffType);
    void onProbeCompleted(unsigned int index);
    void stopTimers();

private:
    void createWorkers();
    IProbeApi *worker(unsigned int index) const;
    ShdLogonProbe probedEntry(unsigned int index) const;
    ShdLogonProbe nextDueEntry();                 // mutex held
    void expire();                                // mutex held
    void rewriteDumpFile();                       // mutex held
    bool removeEntry(const ShdLogonProbe &entry); // mutex held; keeps the cursor on the next entry
    void startTimer(int milliseconds);

    QString method;
    QString adName;
    bool enabled;
    int cursor = 0;        // under mutex
    bool cycleDone = true; // under mutex
    quint32 maxLogonTime;
    quint32 cacheTimeout;
    QTimer *timer = nullptr; // child, created on first use
    quint32 userCheckFrequency;
    quint32 pingTimeout;
    quint32 probeTimeout;
    DumpFile *dumpFile;
    quint32 maxConcurrent;
    QList<IProbeApi *> workers;                   // children; null where creation failed
    QList<ShdLogonProbe> cache;                   // under mutex, insertion order
    QHash<QHostAddress, ShdLogonProbe> byAddress; // under mutex, the same entries
    mutable QMutex mutex;
    quint32 reprobeInterval;
    int timerInterval = 0;         // what the timer runs with when start() arms it
    QElapsedTimer cycleClock;      // since the running cycle began; under mutex
    qint64 lastCycleDuration = -1; // under mutex
};

} // namespace logoffCollector
