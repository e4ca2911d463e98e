// The agent's collection lifecycle: one logon collector per set of domain
// controllers and one logoff collector per firewall configuration, each in a
// thread of its own, started, wired, restarted and stopped from the main
// thread.
#include "app/agentad.h"
#include "common/clock.h"
#include "firewall/server.h"
#include "log/applicationdebug.h"
#include "lookup/lookupthread.h"
#include "service/logoffcollector.h"
#include "service/logoncollector.h"
#include "settings/settings.h"

#include <QElapsedTimer>
#include <QThread>

namespace service {

namespace {
// Past this a stop says which collection is still busy; it then goes on waiting.
const unsigned long SlowStopMs = 5000;

// Moves a collector into a new thread: started() and finished() call its
// start and stop slots there; the thread deletes itself once finished.
template <typename Collector>
QThread *moveToNewThread(Collector *collector, void (Collector::*start)(), void (Collector::*stop)())
{
    auto *thread = new QThread;
    collector->moveToThread(thread);
    QObject::connect(thread, &QThread::started, collector, start);
    QObject::connect(thread, &QThread::finished, collector, stop);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    return thread;
}
} // namespace

void AgentAd::startAll()
{
    paused = false;
    checkAdObsolescence();
    settings::Settings *config = settings::Settings::instance();
    const QStringList names = config->adConfigurationNames();
    for (const QString &name : names)
        startLogonCollector(config->adConfiguration(name));
}

void AgentAd::stopAll()
{
    paused = true;
    // A stop never waits for a large batch to reach every firewall.
    dropPendingRouting();
    QList<QObject *> running;
    for (const auto &collector : qAsConst(collectors))
        running.append(collector.data());
    for (const auto &collector : qAsConst(logoffCollectors))
        running.append(collector.data());
    stopCollectorThreads(running);
    collectors.clear();
    logoffCollectors.clear();
}

bool AgentAd::startLogonCollector(const settings::ADConfiguration &config)
{
    if (!config.isValid() || collectors.contains(config.adName()) || !config.enabled())
        return false;
    QSharedPointer<LogonCollector> collector(new LogonCollector(config));
    ensureUserFilter(config);
    QThread *thread = moveToNewThread(collector.data(), &LogonCollector::startCollect, &LogonCollector::stopTimer);
    connect(collector.data(), &LogonCollector::newLogonCollected, this, &AgentAd::onNewLogonCollected);
    connect(collector.data(), &LogonCollector::newLogoffCollected, this, &AgentAd::onNewLogoffCollected);
    // Firewalls of these domain controllers already watched keep their
    // logoffs flowing into the new cache (a restarted collector included).
    for (const auto &logoff : qAsConst(logoffCollectors)) {
        if (logoff->configuration().adName() == config.adName())
            crossConnect(collector.data(), logoff.data());
    }
    collectors.insert(config.adName(), collector);
    thread->start(QThread::InheritPriority);
    return true;
}

bool AgentAd::startLogoffCollector(const settings::ADConfiguration &config, const common::LogonList &logons)
{
    if (!config.isValid())
        return false;
    const auto existing = logoffCollectors.constFind(config.name());
    if (existing != logoffCollectors.cend()) {
        existing.value()->addLogons(logons);
        return false;
    }
    QSharedPointer<LogoffCollector> collector(new LogoffCollector(config, logons));
    QThread *thread = moveToNewThread(collector.data(), &LogoffCollector::startCollect, &LogoffCollector::stopTimers);
    connect(collector.data(), &LogoffCollector::newLogoffCollected, this, &AgentAd::onNewLogoffCollected);
    const QSharedPointer<LogonCollector> logonCollector = collectors.value(config.adName());
    if (logonCollector)
        crossConnect(logonCollector.data(), collector.data());
    logoffCollectors.insert(config.name(), collector);
    thread->start(QThread::InheritPriority);
    ApplicationDebug::logHigh(QStringLiteral("%1: New thread started for logoff collect").arg(config.shortName()));
    return true;
}

void AgentAd::crossConnect(LogonCollector *logonCollector, LogoffCollector *logoffCollector)
{
    connect(logoffCollector, &LogoffCollector::newLogoffCollected, logonCollector,
            &LogonCollector::onNewLogoffCollected);
    connect(logonCollector, &LogonCollector::newLogoffCollected, logoffCollector,
            &LogoffCollector::onNewLogoffCollected);
}

void AgentAd::stopCollectorThreads(const QList<QObject *> &stopping)
{
    // Every thread is asked first, and look-ups under way give up, so that a
    // stop takes as long as the slowest collector, not the sum of them all.
    QList<QThread *> threads;
    for (QObject *collector : stopping) {
        QThread *thread = collector ? collector->thread() : nullptr;
        if (!thread || thread == QThread::currentThread() || threads.contains(thread))
            continue;
        // Nothing it still emits may reach the agent or a partner after this.
        disconnect(collector, nullptr, this, nullptr);
        lookup::LookupThread::interruptBatchesIn(thread);
        thread->exit(0);
        threads.append(thread);
    }
    for (QThread *thread : qAsConst(threads)) {
        QElapsedTimer waited;
        waited.start();
        if (!thread->wait(SlowStopMs)) {
            ApplicationDebug::logLow(
                QStringLiteral("collection still busy after %1 ms, waiting for it").arg(SlowStopMs));
            thread->wait();
        }
        ApplicationDebug::logHigh(QStringLiteral("collection thread stopped in %1 ms").arg(waited.elapsed()));
        lookup::LookupThread::allowBatchesIn(thread);
        thread->deleteLater();
    }
}

void AgentAd::checkAdObsolescence()
{
    if (paused) {
        obsolescenceTimer.stop();
        return;
    }
    const QDateTime now = common::Clock::now();
    settings::Settings *config = settings::Settings::instance();
    const qint64 timeout = config->globalConfiguration().ADObsolescenceTimeout;
    const QStringList names = config->adConfigurationNames();
    for (const QString &name : names) {
        const settings::ADConfiguration ad = config->adConfiguration(name);
        if (isFirewallConnected(ad) || !ad.lastUtmConnection().isValid() ||
            ad.lastUtmConnection().secsTo(now) <= timeout)
            continue;
        config->removeADConfiguration(name);
        filters.remove(name);
        const auto logoff = logoffCollectors.find(name);
        if (logoff != logoffCollectors.end()) {
            stopCollectorThread(logoff.value().data());
            logoffCollectors.erase(logoff);
        }
    }

    const QStringList enabled = config->enabledAdNames();
    QList<QObject *> unused;
    for (auto it = collectors.cbegin(); it != collectors.cend(); ++it) {
        if (!enabled.contains(it.key(), Qt::CaseInsensitive))
            unused.append(it.value().data());
    }
    stopCollectorThreads(unused);
    for (auto it = collectors.begin(); it != collectors.end();) {
        if (enabled.contains(it.key(), Qt::CaseInsensitive))
            ++it;
        else
            it = collectors.erase(it);
    }
}

void AgentAd::onAdConfigAdded(settings::ADConfiguration config)
{
    ApplicationDebug::logHigh(QStringLiteral("AD config added: %1").arg(config.shortName()));
    ensureUserFilter(config);
    startLogonCollector(config);
}

void AgentAd::onAdConfigChanged(settings::ADConfiguration config)
{
    ApplicationDebug::logHigh(QStringLiteral("AD config changed for %1").arg(config.shortName()));
    ensureUserFilter(config);
    QList<QObject *> stopping;
    const auto collector = collectors.constFind(config.adName());
    if (collector != collectors.cend())
        stopping.append(collector.value().data());
    const auto logoff = logoffCollectors.constFind(config.name());
    if (logoff != logoffCollectors.cend())
        stopping.append(logoff.value().data());
    stopCollectorThreads(stopping);
    collectors.remove(config.adName());
    logoffCollectors.remove(config.name());
    startLogonCollector(config);
}

} // namespace service
