#pragma once

#include "common/logon.h"
#include "service/collectionstats.h"
#include "service/collectorcache.h"
#include "settings/configuration.h"

#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTimer>

class QThread;

namespace service {

class CollectorTask;
class PingTask;
class SyslogTask;

// Collects the logons of one set of domain controllers (adName): one
// collector task per domain controller, or one syslog task in syslog mode,
// each in a thread of its own, feed the collector cache; every DnsInterval
// seconds the DNS check looks where the cached workstations are now, and the
// addresses it adds are announced once they answer a ping (when probing is
// on). Emits the logoffs of a batch before its new logons.
//
// Created by the service core (main thread) and moved into a thread of its
// own: started() -> startCollect, finished() -> stopTimer, which ends and
// waits for the task threads and releases everything that lives in this
// thread. logons() may be called from any thread. The service core owns the
// collector; the collector owns its tasks, its cache and its ping tasks.
class LogonCollector : public QObject
{
    Q_OBJECT
public:
    explicit LogonCollector(const settings::ADConfiguration &config);
    ~LogonCollector() override;

    // A copy of the cached logons (the cache's own lock; never waits for DNS).
    common::LogonList logons() const;
    // The number of cached logons (the cache's own lock, held briefly).
    int cacheSize() const { return cache.size(); }
    const settings::ADConfiguration &configuration() const { return config; }

    // Tests: the task threads running now, and whether the DNS timer runs.
    int taskThreadCountForTest() const { return taskThreads.size(); }
    bool isDnsTimerActiveForTest() const { return dnsTimer && dnsTimer->isActive(); }

signals:
    void newLogonCollected(common::LogonList logons, QString adName);
    void newLogoffCollected(common::Logoff logoff, QString adName, QString firewall);

public slots:
    void startCollect();
    void onNewLogoffCollected(common::Logoff logoff, QString adName, QString firewall);
    void stopTimer();

private slots:
    void onCollect(common::LogonList newLogons);
    void onCheckDns();
    void probeFinished(common::LogonList logonList, service::PingTask *task);

private:
    void startDnsTimer();
    // Moves a task into a new thread; started() and finished() call the
    // task's start and stop slots in that thread.
    template <typename Task> void startTaskThread(Task *task, void (Task::*start)(), void (Task::*stop)());
    QString prefix() const { return config.shortName() + QStringLiteral(": "); }

    CollectorCache cache;
    QTimer *dnsTimer = nullptr; // child, created by the first startCollect
    settings::ADConfiguration config;
    QList<QSharedPointer<CollectorTask>> collectorTasks;
    QList<QSharedPointer<SyslogTask>> syslogTasks;
    QList<QThread *> taskThreads; // one per task, they delete themselves when finished
    QSharedPointer<CollectionStats> stats;
};

} // namespace service
