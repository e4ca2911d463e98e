// The agent's switchboard: which firewall hears of which logon and logoff,
// through its user filter and its MaxLogonTime, and what its rules change.
// Main thread only.
#include "app/agentad.h"
#include "common/clock.h"
#include "common/userfilter.h"
#include "log/applicationdebug.h"
#include "service/logoncollector.h"
#include "settings/settings.h"

#include <limits>
#include <utility>

namespace service {

namespace {

// The enabled configurations of this set of domain controllers, in the order
// of their names.
QList<settings::ADConfiguration> configurationsServing(const QString &adName)
{
    settings::Settings *settings = settings::Settings::instance();
    QList<settings::ADConfiguration> serving;
    const QStringList names = settings->adConfigurationNames();
    for (const QString &name : names) {
        settings::ADConfiguration config = settings->adConfiguration(name);
        if (config.enabled() && config.adName() == adName)
            serving.append(config);
    }
    return serving;
}

} // namespace

void AgentAd::onNewLogonCollected(common::LogonList logons, QString adNames)
{
    Routing item;
    item.logons = logons;
    item.collected = true;
    item.adName = adNames;
    enqueueRouting(item);
}

void AgentAd::forwardLogons(const common::LogonList &logons, const QString &adName, const QString &firewall)
{
    Routing item;
    item.logons = logons;
    item.adName = adName;
    item.firewall = firewall;
    enqueueRouting(item);
}

void AgentAd::onNewLogoffCollected(common::Logoff logoff, QString adNames, QString fwSerial)
{
    Routing item;
    item.isLogoff = true;
    item.logoff = logoff;
    item.adName = adNames;
    item.firewall = fwSerial;
    enqueueRouting(item);
}

void AgentAd::enqueueRouting(Routing item)
{
    if (!item.isLogoff && item.logons.isEmpty())
        return;
    routing.push_back(std::move(item));
    // Behind work already waiting for its turn, or under way, this waits too: the order stays.
    if (!routingScheduled && !routingActive)
        routeSome();
}

void AgentAd::routeSome()
{
    routingActive = true;
    const quint64 generation = routingGeneration;
    int budget = RoutingSlice;
    while (budget > 0 && !routing.empty() && generation == routingGeneration) {
        Routing item = std::move(routing.front());
        routing.pop_front();
        if (item.isLogoff) {
            routeLogoff(item.logoff, item.adName, item.firewall);
            --budget;
            continue;
        }
        const int end = int(qMin<qint64>(item.logons.size(), qint64(item.next) + budget));
        routeLogons(item.logons, item.next, end, item.collected, item.adName, item.firewall);
        budget -= end - item.next;
        item.next = end;
        // Unless a stop dropped the queue meanwhile, the rest of the batch goes first next time.
        if (end < item.logons.size() && generation == routingGeneration)
            routing.push_front(std::move(item));
    }
    routingActive = false;
    if (routing.empty() || routingScheduled)
        return;
    routingScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            routingScheduled = false;
            routeSome();
        },
        Qt::QueuedConnection);
}

void AgentAd::dropPendingRouting()
{
    ++routingGeneration;
    int logoffs = 0;
    const int logons = pendingRouting(&logoffs);
    routing.clear();
    if (logons > 0 || logoffs > 0)
        ApplicationDebug::logLow(
            QStringLiteral("%1 logons and %2 logoffs not routed: collection stops").arg(logons).arg(logoffs));
}

int AgentAd::pendingRouting(int *logoffs) const
{
    int logons = 0;
    *logoffs = 0;
    for (const Routing &item : routing) {
        if (item.isLogoff)
            ++*logoffs;
        else
            logons += item.logons.size() - item.next;
    }
    return logons;
}

int AgentAd::pendingRoutingForTest() const
{
    int logoffs = 0;
    const int logons = pendingRouting(&logoffs);
    return logons + logoffs;
}

void AgentAd::routeLogons(const common::LogonList &logons, int begin, int end, bool collected, const QString &adName,
                          const QString &firewall)
{
    if (begin >= end)
        return;
    if (collected && ApplicationDebug::isOn(ApplicationDebug::LevelHigh)) {
        const QString prefix = adName.left(30);
        for (int i = begin; i < end; ++i)
            ApplicationDebug::logHigh(QStringLiteral("%1: New logon: %2").arg(prefix, logons.at(i).toString()));
    }
    const QList<settings::ADConfiguration> serving = configurationsServing(adName);
    const bool logLow = ApplicationDebug::isOn(ApplicationDebug::LevelLow);
    QVector<QString> texts(end - begin);
    // Local times cost a time-zone look-up each time they are compared: once per logon here.
    QVector<qint64> msecs(end - begin);
    for (int i = begin; i < end; ++i)
        msecs[i - begin] = logons.at(i).time().isValid() ? logons.at(i).time().toMSecsSinceEpoch()
                                                         : std::numeric_limits<qint64>::min();
    for (const settings::ADConfiguration &config : serving) {
        common::UserFilter *filter = filters.value(config.name());
        if (!filter)
            continue;
        if (!firewall.isEmpty() && firewall != config.firewallName())
            continue;
        const qint64 cutoff = common::Clock::nowMSecsSinceEpoch() - qint64(config.maxLogonTime()) * 1000;
        common::LogonList admitted;
        for (int i = begin; i < end; ++i) {
            const common::Logon &logon = logons.at(i);
            if (msecs.at(i - begin) < cutoff || !filter->match(logon))
                continue;
            admitted.append(logon);
            if (logLow) {
                // A logon's text is the same for every firewall: made once.
                QString &text = texts[i - begin];
                if (text.isNull())
                    text = logon.toString();
                ApplicationDebug::logLow(
                    QStringLiteral("%1: New logon send to %2: %3").arg(adName, config.firewallName(), text));
            }
        }
        if (admitted.isEmpty())
            continue;
        emit newFilteredLogonCollected(admitted, adName, config.firewallName());
        startLogoffCollector(config, admitted);
    }
}

void AgentAd::routeLogoff(const common::Logoff &logoff, const QString &adNames, const QString &fwSerial)
{
    ApplicationDebug::logHigh(QStringLiteral("%1: Logoff: %2").arg(adNames, logoff.toString()));
    // Expiry in the agent's own cache is no news for a firewall: the Login
    // told it how long each logon lasts.
    if (logoff.type() == common::Logoff::LogoffTimeout)
        return;
    const QList<settings::ADConfiguration> serving = configurationsServing(adNames);
    for (const settings::ADConfiguration &config : serving) {
        if (!fwSerial.isEmpty() && fwSerial != config.firewallName())
            continue;
        common::UserFilter *filter = filters.value(config.name());
        if (!filter || !filter->match(logoff))
            continue;
        ApplicationDebug::logLow(
            QStringLiteral("%1: Logoff send to %2: %3").arg(adNames, config.firewallName(), logoff.toString()));
        emit newFilteredLogoffCollected(logoff, adNames, config.firewallName());
    }
}

common::UserFilter *AgentAd::filterForRules(const QString &ads, const QString &fw, settings::ADConfiguration *config)
{
    *config = settings::Settings::instance()->adConfiguration(fw);
    if (!config->isValid()) {
        // Its Configuration was refused: there is nothing these rules could apply to.
        ApplicationDebug::logLow(
            QStringLiteral("%1: %2: rules ignored, the firewall has no valid configuration").arg(ads, fw));
        return nullptr;
    }
    ensureUserFilter(*config);
    return filters.value(fw);
}

void AgentAd::onInitialRules(QString ads, QString fw, QList<common::UserRule> rules)
{
    settings::ADConfiguration config;
    common::UserFilter *filter = filterForRules(ads, fw, &config);
    if (!filter)
        return;
    filter->clear();
    for (const common::UserRule &rule : qAsConst(rules))
        filter->addRule(rule);
    ApplicationDebug::logLow(QStringLiteral("%1: %2: initial rules: %3").arg(ads, fw, filter->toString()));

    const QSharedPointer<LogonCollector> collector = collectors.value(ads);
    if (!collector)
        return;
    const common::LogonList current = collector->logons();
    const QDateTime now = common::Clock::now();
    common::LogonList kept;
    for (const common::Logon &logon : current) {
        if (!filter->match(logon) || logon.remainingSeconds(config.maxLogonTime(), now) == 0)
            continue;
        ApplicationDebug::logLow(QStringLiteral("%1: New logon send to %2: %3").arg(ads, fw, logon.toString()));
        kept.append(logon);
    }
    if (kept.isEmpty())
        return;
    startLogoffCollector(config, kept);
    emit newFilteredLogonCollected(kept, ads, fw);
}

void AgentAd::onNewRules(QString ads, QString fw, QList<common::NewUserRule> rules)
{
    settings::ADConfiguration config;
    common::UserFilter *filter = filterForRules(ads, fw, &config);
    if (!filter)
        return;
    for (const common::NewUserRule &rule : qAsConst(rules)) {
        if (rule.kind == common::NewUserRule::Delete) {
            if (!filter->removeRule(rule))
                ApplicationDebug::logLow(QStringLiteral("%1: %2: can't remove rule for %3").arg(ads, fw, rule.user));
        } else {
            filter->addRule(rule);
        }
    }
    ApplicationDebug::logLow(QStringLiteral("%1: %2: new rules: %3").arg(ads, fw, filter->toString()));

    const QSharedPointer<LogonCollector> collector = collectors.value(ads);
    if (collector)
        forwardLogons(collector->logons(), ads, fw);
}

} // namespace service
