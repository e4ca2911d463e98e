#include "app/agentstatus.h"

#include "app/agentad.h"
#include "common/userfilter.h"
#include "firewall/client.h"
#include "firewall/server.h"
#include "service/collectionstats.h"
#include "service/logoffcollector.h"
#include "service/logoncollector.h"
#include "settings/settings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>

namespace service {

namespace {

QJsonValue timeValue(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(time.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue();
}

QJsonValue textValue(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject logoffCounts(const QMap<common::Logoff::LogoffType, quint64> &counts)
{
    QJsonObject object;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        object.insert(logoffTypeName(it.key()), double(it.value()));
    return object;
}

QJsonObject controllerObject(const QString &address, const ControllerStatus &controller)
{
    return QJsonObject{{QStringLiteral("address"), address},
                       {QStringLiteral("source"), textValue(controller.source)},
                       {QStringLiteral("lastCollection"), timeValue(controller.lastCollection)},
                       {QStringLiteral("lastFailure"), timeValue(controller.lastFailure)},
                       {QStringLiteral("failureReason"), textValue(controller.failureReason)},
                       {QStringLiteral("failing"), controller.failing},
                       {QStringLiteral("eventsRead"), double(controller.eventsRead)},
                       {QStringLiteral("logonsFound"), double(controller.logonsFound)},
                       {QStringLiteral("failures"), double(controller.failures)}};
}

// The address the filter names: an address or a subnet; false when it is neither.
bool parseAddressFilter(const QString &text, QPair<QHostAddress, int> *subnet)
{
    if (text.contains(QLatin1Char('/'))) {
        *subnet = QHostAddress::parseSubnet(text);
        return !subnet->first.isNull();
    }
    QHostAddress address;
    if (!address.setAddress(text))
        return false;
    *subnet = {address, address.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32};
    return true;
}

// Orders addresses numerically, IPv4 before IPv6.
QByteArray addressKey(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) {
        QByteArray key(5, '\0');
        for (int i = 0; i < 4; ++i)
            key[i + 1] = char((v4 >> (24 - 8 * i)) & 0xff);
        return key;
    }
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QByteArray(1, '\1') + QByteArray(reinterpret_cast<const char *>(v6.c), 16);
}

bool userMatches(const common::Logon &logon, const QString &wanted)
{
    const int slash = wanted.indexOf(QLatin1Char('\\'));
    if (slash < 0)
        return logon.user().compare(wanted, Qt::CaseInsensitive) == 0;
    const QString domain = wanted.left(slash);
    return logon.user().compare(wanted.mid(slash + 1), Qt::CaseInsensitive) == 0 &&
           (logon.domain().compare(domain, Qt::CaseInsensitive) == 0 ||
            logon.fqdn().compare(domain, Qt::CaseInsensitive) == 0);
}

} // namespace

QJsonObject AgentStatus::status() const
{
    settings::Settings *settings = settings::Settings::instance();
    UtmConnect::Server *server = UtmConnect::Server::instance();

    QJsonArray collectors;
    QStringList adNames = agent.collectors.keys();
    std::sort(adNames.begin(), adNames.end());
    for (const QString &adName : qAsConst(adNames)) {
        const QSharedPointer<LogonCollector> collector = agent.collectors.value(adName);
        const settings::ADConfiguration &config = collector->configuration();
        const CollectionStatus stats = CollectionStats::of(adName)->snapshot();
        QJsonArray controllers;
        for (const QString &address : config.servers())
            controllers.append(controllerObject(address, stats.controllers.value(address)));
        collectors.append(QJsonObject{
            {QStringLiteral("adName"), adName},
            {QStringLiteral("mode"), config.syslogState() ? QStringLiteral("syslog") : QStringLiteral("polling")},
            {QStringLiteral("cacheSize"), collector->cacheSize()},
            {QStringLiteral("dnsCheck"), config.dnsEnabled() && config.dnsInterval() != 0},
            {QStringLiteral("lastDnsCheck"), timeValue(stats.lastDnsCheck)},
            {QStringLiteral("logoffs"), logoffCounts(stats.logoffs)},
            {QStringLiteral("domainControllers"), controllers}});
    }

    QJsonArray firewalls;
    QStringList names = settings->adConfigurationNames();
    std::sort(names.begin(), names.end());
    for (const QString &name : names) {
        const settings::ADConfiguration config = settings->adConfiguration(name);
        const UtmConnect::Client *client = server->findClient(config.adName(), config.firewallName());
        const common::UserFilter *filter = agent.filters.value(name);
        QJsonObject firewall{{QStringLiteral("name"), config.firewallName()},
                             {QStringLiteral("adName"), config.adName()},
                             {QStringLiteral("enabled"), config.enabled()},
                             {QStringLiteral("connected"), client != nullptr},
                             {QStringLiteral("lastConnection"), timeValue(config.lastUtmConnection())},
                             {QStringLiteral("rules"), filter ? filter->rules().size() : 0}};
        if (client) {
            const UtmConnect::Client::Counters &counters = client->counters();
            firewall.insert(QStringLiteral("peer"), client->peerText());
            firewall.insert(QStringLiteral("connectedSince"), timeValue(client->encryptedAt()));
            firewall.insert(QStringLiteral("protocolVersion"), client->protocolVersion());
            firewall.insert(QStringLiteral("model"), textValue(client->model()));
            firewall.insert(QStringLiteral("firmware"), textValue(client->firmware()));
            firewall.insert(QStringLiteral("logonsSent"), double(counters.logonsSent));
            firewall.insert(QStringLiteral("logonsAcknowledged"), double(counters.logonsAcknowledged));
            firewall.insert(QStringLiteral("logoffsSent"), double(counters.logoffsSent));
            firewall.insert(QStringLiteral("logoffsAcknowledged"), double(counters.logoffsAcknowledged));
            firewall.insert(QStringLiteral("pendingAcknowledgements"), client->pendingAckCount());
        }
        QJsonValue logoff;
        const QSharedPointer<LogoffCollector> logoffCollector = agent.logoffCollectors.value(name);
        if (logoffCollector) {
            const ProbeStatus probes = ProbeStats::of(name)->snapshot();
            logoff = QJsonObject{{QStringLiteral("probe"),
                                  config.probeEnabled()
                                      ? QJsonValue(settings::ADConfiguration::probeMethodToText(config.method()))
                                      : QJsonValue()},
                                 {QStringLiteral("probeCacheSize"), logoffCollector->probeCacheSize()},
                                 {QStringLiteral("lastCycle"), timeValue(probes.lastCycle)},
                                 {QStringLiteral("lastCycleDurationMs"),
                                  probes.lastCycleMs < 0 ? QJsonValue() : QJsonValue(double(probes.lastCycleMs))},
                                 {QStringLiteral("logoffs"), logoffCounts(probes.logoffs)}};
        }
        firewall.insert(QStringLiteral("logoffCollector"), logoff);
        firewalls.append(firewall);
    }

    return QJsonObject{{QStringLiteral("agent"), agent.serviceName()},
                       {QStringLiteral("version"), QStringLiteral("3.0.2")},
                       {QStringLiteral("state"), agent.paused ? QStringLiteral("paused") : QStringLiteral("running")},
                       {QStringLiteral("startTime"), timeValue(agent.startTime)},
                       {QStringLiteral("listening"), server->isListening()},
                       {QStringLiteral("port"), settings->serverConfiguration().Port},
                       {QStringLiteral("collectors"), collectors},
                       {QStringLiteral("firewalls"), firewalls}};
}

bool AgentStatus::Filter::fromJson(const QByteArray &json, Filter *filter, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject()) {
        *error = QStringLiteral("the filter is not a JSON object");
        return false;
    }
    const QJsonObject object = document.object();
    filter->ip = object.value(QStringLiteral("ip")).toString();
    filter->user = object.value(QStringLiteral("user")).toString();
    QPair<QHostAddress, int> subnet;
    if (!filter->ip.isEmpty() && !parseAddressFilter(filter->ip, &subnet)) {
        *error = QStringLiteral("%1 is neither an address nor a subnet").arg(filter->ip);
        return false;
    }
    return true;
}

AgentStatus::Mappings AgentStatus::mappingsSnapshot() const
{
    settings::Settings *settings = settings::Settings::instance();
    UtmConnect::Server *server = UtmConnect::Server::instance();

    // The enabled firewalls of each set of domain controllers, with what their connection told.
    QHash<QString, QList<Mappings::Firewall>> serving;
    QStringList names = settings->adConfigurationNames();
    std::sort(names.begin(), names.end());
    for (const QString &name : qAsConst(names)) {
        const settings::ADConfiguration config = settings->adConfiguration(name);
        if (!config.enabled())
            continue;
        Mappings::Firewall firewall;
        firewall.name = config.firewallName();
        if (const UtmConnect::Client *client = server->findClient(config.adName(), config.firewallName()))
            firewall.announced = client->announcements();
        serving[config.adName()].append(firewall);
    }

    Mappings snapshot;
    QStringList adNames = agent.collectors.keys();
    std::sort(adNames.begin(), adNames.end());
    for (const QString &adName : qAsConst(adNames))
        snapshot.sets.append({adName, agent.collectors.value(adName)->logons(), serving.value(adName)});
    return snapshot;
}

QJsonObject AgentStatus::mappings(const Mappings &snapshot, const Filter &filter)
{
    QPair<QHostAddress, int> subnet;
    const bool byAddress = !filter.ip.isEmpty() && parseAddressFilter(filter.ip, &subnet);

    QJsonArray list;
    for (const Mappings::Set &set : snapshot.sets) {
        // Filtered first, then ordered by address: the keys are made once per logon, not per comparison.
        QVector<QPair<QByteArray, const common::Logon *>> selected;
        selected.reserve(set.logons.size());
        for (const common::Logon &logon : set.logons) {
            if (byAddress && !logon.ip().isInSubnet(subnet))
                continue;
            if (!filter.user.isEmpty() && !userMatches(logon, filter.user))
                continue;
            selected.append({addressKey(logon.ip()), &logon});
        }
        std::sort(selected.begin(), selected.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &entry : qAsConst(selected)) {
            const common::Logon &logon = *entry.second;
            QJsonArray told;
            for (const Mappings::Firewall &firewall : set.firewalls) {
                const UtmConnect::Client::Told state =
                    UtmConnect::Client::toldIn(firewall.announced, logon.ip(), logon.user());
                told.append(
                    QJsonObject{{QStringLiteral("name"), firewall.name},
                                {QStringLiteral("told"), state != UtmConnect::Client::Told::No},
                                {QStringLiteral("acknowledged"), state == UtmConnect::Client::Told::Acknowledged}});
            }
            list.append(QJsonObject{{QStringLiteral("adName"), set.adName},
                                    {QStringLiteral("user"), logon.user()},
                                    {QStringLiteral("domain"), textValue(logon.domain())},
                                    {QStringLiteral("fqdn"), textValue(logon.fqdn())},
                                    {QStringLiteral("address"), logon.ip().toString()},
                                    {QStringLiteral("logonTime"), timeValue(logon.time())},
                                    {QStringLiteral("workstation"), textValue(logon.workstation())},
                                    {QStringLiteral("firewalls"), told}});
        }
    }
    return QJsonObject{{QStringLiteral("mappings"), list}, {QStringLiteral("count"), list.size()}};
}

std::function<QByteArray()> AgentStatus::answer(const QByteArray &query) const
{
    const auto compact = [](const QJsonObject &object) {
        return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    };
    if (query == "status") {
        const QByteArray text = compact(status());
        return [text] { return text; };
    }
    if (query != "mappings" && !query.startsWith("mappings "))
        return {};
    Filter filter;
    QString error;
    if (query.size() > 9 && !Filter::fromJson(query.mid(9), &filter, &error)) {
        const QByteArray text = compact(QJsonObject{{QStringLiteral("error"), error}});
        return [text] { return text; };
    }
    return [snapshot = mappingsSnapshot(), filter, compact] { return compact(mappings(snapshot, filter)); };
}

} // namespace service
