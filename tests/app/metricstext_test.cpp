// The metrics page of a status document, read back by the Prometheus client
// library's own parser: names that firewalls and config.ini bring (quotes,
// backslashes, line ends, non-ASCII) come back as they were.
#include "app/agentstatus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

// Prints one JSON object per sample: name, labels, value.
const char *const ParseScrape = R"(
import json, sys
from prometheus_client.parser import text_string_to_metric_families
for family in text_string_to_metric_families(sys.stdin.buffer.read().decode('utf-8')):
    for sample in family.samples:
        print(json.dumps({'type': family.type, 'name': sample.name, 'labels': sample.labels, 'value': sample.value}))
)";

// The samples of a page, or an empty list (and a failure) when the parser refuses it.
QList<QJsonObject> parse(const QByteArray &page)
{
    QProcess python;
    // Debian's interpreter, which python3-prometheus-client extends.
    python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromLatin1(ParseScrape)});
    python.write(page);
    python.closeWriteChannel();
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        ADD_FAILURE() << python.readAllStandardError().toStdString() << "\n" << page.toStdString();
        return {};
    }
    QList<QJsonObject> samples;
    for (const QByteArray &line : python.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            samples.append(QJsonDocument::fromJson(line).object());
    }
    return samples;
}

QJsonObject sample(const QList<QJsonObject> &samples, const QString &name, const QString &label, const QString &value)
{
    for (const QJsonObject &s : samples) {
        if (s.value(QStringLiteral("name")).toString() == name &&
            s.value(QStringLiteral("labels")).toObject().value(label).toString() == value)
            return s;
    }
    return QJsonObject();
}

TEST(MetricsText, LabelsComeBackAsTheyWereAndEveryNumberIsRead)
{
    const QString names[] = {
        QStringLiteral("FW\"quoted\""), QStringLiteral("back\\slash\\"),  QStringLiteral("line\nend"),
        QStringLiteral("Zürich-Süd"),   QStringLiteral("{brace}=,comma"),
    };
    QJsonArray firewalls;
    for (const QString &name : names) {
        firewalls.append(
            QJsonObject{{QStringLiteral("name"), name},
                        {QStringLiteral("adName"), QStringLiteral("10.0.0.1_") + name},
                        {QStringLiteral("connected"), true},
                        {QStringLiteral("rules"), 3},
                        {QStringLiteral("logonsSent"), 9007199254740000.0}, // large counters stay integral
                        {QStringLiteral("logonsAcknowledged"), 7},
                        {QStringLiteral("logoffsSent"), 0},
                        {QStringLiteral("logoffsAcknowledged"), 0},
                        {QStringLiteral("pendingAcknowledgements"), 1},
                        {QStringLiteral("logoffCollector"),
                         QJsonObject{{QStringLiteral("probeCacheSize"), 2},
                                     {QStringLiteral("lastCycleDurationMs"), 1500},
                                     {QStringLiteral("logoffs"), QJsonObject{{QStringLiteral("ping"), 4}}}}}});
    }
    const QJsonObject collector{
        {QStringLiteral("adName"), QStringLiteral("10.0.0.1")},
        {QStringLiteral("cacheSize"), 5},
        {QStringLiteral("lastDnsCheck"), QJsonValue()},
        {QStringLiteral("logoffs"), QJsonObject{{QStringLiteral("sessionReplace"), 2}}},
        {QStringLiteral("domainControllers"),
         QJsonArray{QJsonObject{{QStringLiteral("address"), QStringLiteral("10.0.0.1")},
                                {QStringLiteral("eventsRead"), 10},
                                {QStringLiteral("logonsFound"), 5},
                                {QStringLiteral("failures"), 0},
                                {QStringLiteral("failing"), false},
                                {QStringLiteral("lastCollection"), QStringLiteral("2026-12-07T06:00:00.500Z")},
                                {QStringLiteral("lastFailure"), QJsonValue()}}}}};
    const QJsonObject status{{QStringLiteral("version"), QStringLiteral("3.0.2")},
                             {QStringLiteral("state"), QStringLiteral("paused")},
                             {QStringLiteral("startTime"), QStringLiteral("2026-12-07T05:00:00.000Z")},
                             {QStringLiteral("listening"), false},
                             {QStringLiteral("collectors"), QJsonArray{collector}},
                             {QStringLiteral("firewalls"), firewalls}};

    const QList<QJsonObject> samples = parse(service::AgentStatus::metricsText(status));
    ASSERT_FALSE(samples.isEmpty());

    for (const QString &name : names) {
        SCOPED_TRACE(name.toStdString());
        const QJsonObject sent =
            sample(samples, QStringLiteral("sso_agent_firewall_logons_sent_total"), QStringLiteral("firewall"), name);
        ASSERT_FALSE(sent.isEmpty());
        EXPECT_EQ(sent.value(QStringLiteral("labels")).toObject().value(QStringLiteral("ad_name")).toString(),
                  QStringLiteral("10.0.0.1_") + name);
        EXPECT_EQ(sent.value(QStringLiteral("value")).toDouble(), 9007199254740000.0);
        EXPECT_EQ(sample(samples, QStringLiteral("sso_agent_probe_last_cycle_duration_seconds"),
                         QStringLiteral("firewall"), name)
                      .value(QStringLiteral("value"))
                      .toDouble(),
                  1.5);
        EXPECT_EQ(sample(samples, QStringLiteral("sso_agent_probe_logoffs_total"), QStringLiteral("firewall"), name)
                      .value(QStringLiteral("labels"))
                      .toObject()
                      .value(QStringLiteral("type"))
                      .toString(),
                  QStringLiteral("ping"));
    }

    const struct
    {
        const char *name;
        double value;
    } expected[] = {
        {"sso_agent_paused", 1},
        {"sso_agent_listening", 0},
        {"sso_agent_start_time_seconds", 1796619600},
        {"sso_agent_collector_cache_logons", 5},
        {"sso_agent_collector_logoffs_total", 2},
        {"sso_agent_controller_logons_found_total", 5},
        {"sso_agent_controller_last_collection_timestamp_seconds", 1796623200.5},
    };
    for (const auto &e : expected) {
        bool found = false;
        for (const QJsonObject &s : samples) {
            if (s.value(QStringLiteral("name")).toString() == QLatin1String(e.name)) {
                found = true;
                EXPECT_EQ(s.value(QStringLiteral("value")).toDouble(), e.value) << e.name;
            }
        }
        EXPECT_TRUE(found) << e.name;
    }
    // Times that never happened are left out rather than written as 0.
    for (const char *absent : {"sso_agent_controller_last_failure_timestamp_seconds",
                               "sso_agent_collector_last_dns_check_timestamp_seconds"}) {
        for (const QJsonObject &s : samples)
            EXPECT_NE(s.value(QStringLiteral("name")).toString(), QLatin1String(absent));
    }
}

} // namespace
