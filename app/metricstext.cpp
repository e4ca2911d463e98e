// The metrics page: the numbers of the status document in Prometheus's text
// exposition format.
#include "app/agentstatus.h"

#include <QDateTime>
#include <QJsonArray>
#include <QVector>
#include <cmath>

namespace service {

namespace {

using Labels = QVector<QPair<QString, QString>>;

// One metric family: its samples are written together after HELP and TYPE.
struct Family
{
    QByteArray name;
    QByteArray type;
    QByteArray help;
    QByteArrayList samples;
};

class Page
{
public:
    void add(const char *name, const char *type, const char *help, const Labels &labels, double value)
    {
        Family *family = nullptr;
        for (Family &existing : m_families) {
            if (existing.name == name)
                family = &existing;
        }
        if (!family) {
            m_families.append({name, type, help, {}});
            family = &m_families.last();
        }
        QByteArray sample = name;
        if (!labels.isEmpty()) {
            QStringList parts;
            for (const auto &label : labels)
                parts.append(QStringLiteral("%1=\"%2\"").arg(label.first, escaped(label.second)));
            sample += '{' + parts.join(QLatin1Char(',')).toUtf8() + '}';
        }
        sample += ' ' + number(value);
        family->samples.append(sample);
    }
    // A time of the status document as Unix seconds; nothing when it is null.
    void addTime(const char *name, const char *help, const Labels &labels, const QJsonValue &time)
    {
        const QDateTime parsed = QDateTime::fromString(time.toString(), Qt::ISODateWithMs);
        if (parsed.isValid())
            add(name, "gauge", help, labels, double(parsed.toMSecsSinceEpoch()) / 1000.0);
    }
    QByteArray text() const
    {
        QByteArray out;
        for (const Family &family : m_families) {
            out += "# HELP " + family.name + ' ' + family.help + '\n';
            out += "# TYPE " + family.name + ' ' + family.type + '\n';
            for (const QByteArray &sample : family.samples)
                out += sample + '\n';
        }
        return out;
    }

private:
    static QString escaped(QString value)
    {
        return value.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
            .replace(QLatin1Char('"'), QLatin1String("\\\""))
            .replace(QLatin1Char('\n'), QLatin1String("\\n"));
    }
    static QByteArray number(double value)
    {
        if (std::floor(value) == value && std::fabs(value) < 9e15)
            return QByteArray::number(qint64(value));
        return QByteArray::number(value, 'f', 3);
    }

    QVector<Family> m_families;
};

double count(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toDouble();
}

} // namespace

QByteArray AgentStatus::metricsText(const QJsonObject &status)
{
    Page page;
    page.add("sso_agent_info", "gauge", "The agent's version.",
             {{QStringLiteral("version"), status.value(QStringLiteral("version")).toString()}}, 1);
    page.addTime("sso_agent_start_time_seconds", "When the agent started, in Unix seconds.", {},
                 status.value(QStringLiteral("startTime")));
    page.add("sso_agent_paused", "gauge", "1 while the agent is paused.", {},
             status.value(QStringLiteral("state")).toString() == QLatin1String("paused") ? 1 : 0);
    page.add("sso_agent_listening", "gauge", "1 while the agent listens for firewalls.", {},
             status.value(QStringLiteral("listening")).toBool() ? 1 : 0);

    for (const QJsonValue &value : status.value(QStringLiteral("collectors")).toArray()) {
        const QJsonObject collector = value.toObject();
        const QString adName = collector.value(QStringLiteral("adName")).toString();
        const Labels set{{QStringLiteral("ad_name"), adName}};
        page.add("sso_agent_collector_cache_logons", "gauge", "Logons in the collector cache of a set of controllers.",
                 set, count(collector, "cacheSize"));
        page.addTime("sso_agent_collector_last_dns_check_timestamp_seconds", "The last DNS check of the cache.", set,
                     collector.value(QStringLiteral("lastDnsCheck")));
        const QJsonObject logoffs = collector.value(QStringLiteral("logoffs")).toObject();
        for (auto it = logoffs.begin(); it != logoffs.end(); ++it)
            page.add("sso_agent_collector_logoffs_total", "counter", "Logoffs the collector cache found, by type.",
                     {{QStringLiteral("ad_name"), adName}, {QStringLiteral("type"), it.key()}}, it.value().toDouble());
        for (const QJsonValue &dcValue : collector.value(QStringLiteral("domainControllers")).toArray()) {
            const QJsonObject dc = dcValue.toObject();
            const Labels labels{{QStringLiteral("ad_name"), adName},
                                {QStringLiteral("controller"), dc.value(QStringLiteral("address")).toString()}};
            page.add("sso_agent_controller_events_read_total", "counter",
                     "Events read from a domain controller's log (syslog: datagrams).", labels,
                     count(dc, "eventsRead"));
            page.add("sso_agent_controller_logons_found_total", "counter", "Logons found in a domain controller's log.",
                     labels, count(dc, "logonsFound"));
            page.add("sso_agent_controller_failures_total", "counter", "Failed collections of a domain controller.",
                     labels, count(dc, "failures"));
            page.add("sso_agent_controller_failing", "gauge", "1 when the last collection of a controller failed.",
                     labels, dc.value(QStringLiteral("failing")).toBool() ? 1 : 0);
            page.addTime("sso_agent_controller_last_collection_timestamp_seconds",
                         "The last good collection of a controller.", labels,
                         dc.value(QStringLiteral("lastCollection")));
            page.addTime("sso_agent_controller_last_failure_timestamp_seconds",
                         "The last failed collection of a controller.", labels,
                         dc.value(QStringLiteral("lastFailure")));
        }
    }

    for (const QJsonValue &value : status.value(QStringLiteral("firewalls")).toArray()) {
        const QJsonObject firewall = value.toObject();
        const Labels labels{{QStringLiteral("firewall"), firewall.value(QStringLiteral("name")).toString()},
                            {QStringLiteral("ad_name"), firewall.value(QStringLiteral("adName")).toString()}};
        const bool connected = firewall.value(QStringLiteral("connected")).toBool();
        page.add("sso_agent_firewall_connected", "gauge", "1 while the firewall is connected.", labels,
                 connected ? 1 : 0);
        page.add("sso_agent_firewall_rules", "gauge", "The firewall's authentication rules.", labels,
                 count(firewall, "rules"));
        if (connected) {
            page.add("sso_agent_firewall_logons_sent_total", "counter", "Logons sent over the firewall's connection.",
                     labels, count(firewall, "logonsSent"));
            page.add("sso_agent_firewall_logons_acknowledged_total", "counter",
                     "Logons the firewall acknowledged on its connection.", labels,
                     count(firewall, "logonsAcknowledged"));
            page.add("sso_agent_firewall_logoffs_sent_total", "counter", "Logoffs sent over the firewall's connection.",
                     labels, count(firewall, "logoffsSent"));
            page.add("sso_agent_firewall_logoffs_acknowledged_total", "counter",
                     "Logoffs the firewall acknowledged on its connection.", labels,
                     count(firewall, "logoffsAcknowledged"));
            page.add("sso_agent_firewall_pending_acknowledgements", "gauge",
                     "Messages waiting for the firewall's acknowledgement.", labels,
                     count(firewall, "pendingAcknowledgements"));
        }
        const QJsonObject logoff = firewall.value(QStringLiteral("logoffCollector")).toObject();
        if (logoff.isEmpty())
            continue;
        page.add("sso_agent_probe_cache_logons", "gauge", "Logons the firewall's logoff collector watches.", labels,
                 count(logoff, "probeCacheSize"));
        if (logoff.value(QStringLiteral("lastCycleDurationMs")).isDouble())
            page.add("sso_agent_probe_last_cycle_duration_seconds", "gauge", "How long the last probing cycle took.",
                     labels, count(logoff, "lastCycleDurationMs") / 1000.0);
        const QJsonObject counts = logoff.value(QStringLiteral("logoffs")).toObject();
        for (auto it = counts.begin(); it != counts.end(); ++it)
            page.add("sso_agent_probe_logoffs_total", "counter", "Logoffs the logoff collector found, by type.",
                     labels + Labels{{QStringLiteral("type"), it.key()}}, it.value().toDouble());
    }
    return page.text();
}

} // namespace service
