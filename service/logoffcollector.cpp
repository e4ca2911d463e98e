#include "service/logoffcollector.h"

#include "log/applicationdebug.h"
#include "logoff/collectuserlogoff.h"

namespace service {

LogoffCollector::LogoffCollector(const settings::ADConfiguration &config, const common::LogonList &logons)
    : QObject(nullptr), config(config), initialLogons(logons), stats(ProbeStats::of(config.name()))
{
    collector = new logoffCollector::CollectUserLogoff(
        settings::ADConfiguration::probeMethodToText(config.method()), config.probeEnabled(), config.adName(),
        config.firewallName(), config.maxLogonTime(), config.cacheTimeout(), config.maxConcurrent(),
        config.userCheckFrequency(), config.pingTimeout(), config.probeTimeout(), this);
    connect(collector, &logoffCollector::CollectUserLogoff::logoff, this, &LogoffCollector::onLogoff);
    connect(collector, &logoffCollector::CollectUserLogoff::collectFinished, this, &LogoffCollector::onCollectFinished);
}

// The probe cache went with stopTimers when the thread ran; one that never
// started goes here with its parent.
LogoffCollector::~LogoffCollector() = default;

void LogoffCollector::addLogons(const common::LogonList &logons)
{
    if (collector)
        collector->addLogons(logons);
}

void LogoffCollector::startCollect()
{
    if (!collector)
        return;
    collector->addLogons(initialLogons);
    initialLogons.clear();
    collector->start();
}

void LogoffCollector::stopTimers()
{
    if (!collector)
        return;
    collector->stopTimers();
    // Its probes and their timers belong to this thread: release them here.
    QMutexLocker lock(&collectorMutex);
    delete collector;
    collector = nullptr;
}

int LogoffCollector::probeCacheSize() const
{
    QMutexLocker lock(&collectorMutex);
    return collector ? collector->cacheSize() : 0;
}

void LogoffCollector::onLogoff(const common::Logoff &logoff)
{
    stats->logoffFound(logoff.type());
    emit newLogoffCollected(logoff, config.adName(), config.firewallName());
}

void LogoffCollector::onCollectFinished()
{
    stats->cycleFinished(collector ? collector->lastCycleMs() : 0);
}

void LogoffCollector::onNewLogoffCollected(common::Logoff logoff, QString adName, QString firewall)
{
    Q_UNUSED(firewall)
    if (!collector)
        return;
    if (logoff.type() != common::Logoff::LogoffDns && logoff.type() != common::Logoff::LogoffSessionReplace)
        return;
    if (!collector->removeLogon(logoff))
        ApplicationDebug::logHigh(
            QStringLiteral("%1: %2: Unable to delete %3 (%4) from probe cache, probably IP is not in auth rules")
                .arg(adName, config.firewallName(), logoff.user(), logoff.ip().toString()));
}

} // namespace service
