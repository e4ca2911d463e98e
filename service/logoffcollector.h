#pragma once

#include "common/logon.h"
#include "service/collectionstats.h"
#include "settings/configuration.h"

#include <QMutex>
#include <QObject>
#include <QString>

namespace logoffCollector {
class CollectUserLogoff;
}

namespace service {

// Watches the users announced to one firewall (its configuration): hosts the
// probe cache and its probing cycles, and relays each logoff found as
// newLogoffCollected(logoff, adName, FirewallName). Logoffs found by the
// collector cache of the same domain controllers (DNS, a second user on an
// address) drop the logon from the probe cache.
//
// Created by the service core with the first logons sent to the firewall
// and moved into a thread of its own: started() -> startCollect,
// finished() -> stopTimers, which ends probing and releases the probe cache
// in that thread. addLogons is called from the service core's thread while
// the collector's thread runs; the probe cache takes the logons in its own
// thread.
class LogoffCollector : public QObject
{
    Q_OBJECT
public:
    LogoffCollector(const settings::ADConfiguration &config, const common::LogonList &logons);
    ~LogoffCollector() override;

    void addLogons(const common::LogonList &logons);
    // The number of logons in the probe cache; any thread.
    int probeCacheSize() const;
    const settings::ADConfiguration &configuration() const { return config; }

signals:
    void newLogoffCollected(common::Logoff logoff, QString adName, QString firewall);

public slots:
    void startCollect();
    void onNewLogoffCollected(common::Logoff logoff, QString adName, QString firewall);
    void stopTimers();

private slots:
    void onLogoff(const common::Logoff &logoff);
    void onCollectFinished();

private:
    // Child; gone after stopTimers. collectorMutex covers the pointer for
    // probeCacheSize, which other threads call.
    logoffCollector::CollectUserLogoff *collector;
    mutable QMutex collectorMutex;
    settings::ADConfiguration config;
    common::LogonList initialLogons;
    QSharedPointer<ProbeStats> stats;
};

} // namespace service
