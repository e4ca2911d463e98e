// What an administrator asks a running agent: sso-diag status and sso-diag
// mappings against the real executable run as the service (a test
// NOTIFY_SOCKET and control folder), fed by a Security.xml store and the
// project's firewall peer.
#include "agentprocess.h"
#include "eventsource/securityxml.h"
#include "tools/firewallpeer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUdpSocket>
#include <csignal>
#include <sys/stat.h>

namespace {

const QByteArray Key = "status test key 0123";
const QString Polled = QStringLiteral("10.9.0.1");
const QString Missing = QStringLiteral("10.9.0.2"); // listed, but nothing feeds its store
const QString AdName = QStringLiteral("10.9.0.1_10.9.0.2");
const QString AnyRule = QStringLiteral("[Network]\r\nuser=any\r\nid=1\r\naction=pass\r\nNETWORK=0.0.0.0/0");

class AgentStatusTest : public agenttest::AgentProcess
{
protected:
    void SetUp() override
    {
        AgentProcess::SetUp();
        QByteArray text =
            "[Global]\nVerboseLevel=high\nFirewallEnabled=true\n\n[WebServer]\nPort=" + QByteArray::number(m_port) +
            "\nSSLKey=" + Key + "\n";
        // FWB serves the same controllers but has no rules: it is told nothing.
        for (const char *name : {"FWA", "FWB"}) {
            text += QByteArray("\n[AD-") + name + "]\nFirewallName=" + name +
                    "\nServers\\size=2\nServers\\1\\ips=10.9.0.1\nServers\\2\\ips=10.9.0.2\nEnabled=true\n"
                    "CollectInterval=1\nDnsEnabled=false\nFqdn=corp.example.com\nNetbios=CORP\nProbe\\Enabled=false\n";
        }
        m_instance.writeFile(QStringLiteral("config.ini"), text);
        m_instance.writeFile(QStringLiteral("eventlog/%1/Security.xml").arg(Polled), QByteArray());
    }
    void TearDown() override
    {
        m_peer.reset();
        AgentProcess::TearDown();
    }

    agenttest::Result diag(const QStringList &arguments, const QString &program = QString())
    {
        QProcess process;
        process.setProcessEnvironment(m_env);
        process.start(program.isEmpty() ? testsupport::binaryPath(QStringLiteral("tools/sso-diag")) : program,
                      arguments);
        if (!process.waitForFinished(agenttest::ProcessTimeoutMs)) {
            process.kill();
            process.waitForFinished();
            ADD_FAILURE() << "sso-diag did not finish";
            return {};
        }
        return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
    }
    QJsonObject json(const QStringList &arguments)
    {
        const agenttest::Result result = diag(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        return QJsonDocument::fromJson(result.out).object();
    }
    static QJsonObject find(const QJsonArray &array, const QString &key, const QString &value)
    {
        for (const QJsonValue &item : array) {
            if (item.toObject().value(key).toString() == value)
                return item.toObject();
        }
        return QJsonObject();
    }
    QJsonObject firewall(const QString &name)
    {
        return find(
            json({QStringLiteral("status"), QStringLiteral("--json")}).value(QStringLiteral("firewalls")).toArray(),
            QStringLiteral("name"), name);
    }

    void logon(const char *user, const char *ip)
    {
        testsupport::SecurityEvent event;
        event.recordId = ++m_records;
        event.time = QDateTime::currentDateTimeUtc().addSecs(-5);
        event.user = QString::fromLatin1(user);
        event.ip = QString::fromLatin1(ip);
        m_xml += testsupport::securityEventXml(event);
        m_instance.writeFile(QStringLiteral("eventlog/%1/Security.xml").arg(Polled), m_xml);
    }

    void connectPeer(const QList<QPair<QString, QString>> &extra = {},
                     const QStringList &controllers = QStringList{Polled, Missing})
    {
        diag::FirewallPeer::Options options;
        options.port = m_port;
        options.key = Key;
        options.serial = QStringLiteral("FWA");
        options.controllers = controllers;
        options.rules = AnyRule;
        options.configuration = {{QStringLiteral("LogonTime"), QStringLiteral("28800")},
                                 {QStringLiteral("DnsEnabled"), QStringLiteral("0")},
                                 {QStringLiteral("Fqdn"), QStringLiteral("corp.example.com")},
                                 {QStringLiteral("Netbios"), QStringLiteral("CORP")}};
        options.configuration += extra;
        m_peer = std::make_unique<diag::FirewallPeer>(options);
        m_peer->start();
        ASSERT_TRUE(waitForLog(QStringLiteral("%1: FWA: initial rules:").arg(controllers.join(QLatin1Char('_')))))
            << log().toStdString();
    }

    QByteArray m_xml;
    quint64 m_records = 0;
    std::unique_ptr<diag::FirewallPeer> m_peer;
};

TEST_F(AgentStatusTest, StatusAndMappingsShowCollectorsFirewallsAndWhoWasTold)
{
    // Nothing runs yet: a clear message and exit code 1.
    agenttest::Result none = diag({QStringLiteral("status")});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_TRUE(none.err.contains("no agent runs")) << none.err.toStdString();

    testsupport::DatagramListener notify(socketPath("notify"));
    QProcess *agent = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty()) << log().toStdString();
    connectPeer();
    logon("alice", "10.0.0.5");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return firewall(QStringLiteral("FWA")).value(QStringLiteral("logonsAcknowledged")).toInt() == 1; },
        20000))
        << log().toStdString();

    const QJsonObject status = json({QStringLiteral("status"), QStringLiteral("--json")});
    EXPECT_EQ(status.value(QStringLiteral("state")).toString(), QStringLiteral("running"));
    EXPECT_EQ(status.value(QStringLiteral("version")).toString(), QStringLiteral("3.0.2"));
    EXPECT_TRUE(status.value(QStringLiteral("listening")).toBool());
    EXPECT_FALSE(status.value(QStringLiteral("startTime")).isNull());
    const QJsonArray collectors = status.value(QStringLiteral("collectors")).toArray();
    ASSERT_EQ(collectors.size(), 1);
    const QJsonObject collector = collectors.first().toObject();
    EXPECT_EQ(collector.value(QStringLiteral("adName")).toString(), AdName);
    EXPECT_EQ(collector.value(QStringLiteral("mode")).toString(), QStringLiteral("polling"));
    EXPECT_EQ(collector.value(QStringLiteral("cacheSize")).toInt(), 1);
    const QJsonArray controllers = collector.value(QStringLiteral("domainControllers")).toArray();
    const QJsonObject polled = find(controllers, QStringLiteral("address"), Polled);
    EXPECT_EQ(polled.value(QStringLiteral("source")).toString(), QStringLiteral("XML"));
    EXPECT_FALSE(polled.value(QStringLiteral("lastCollection")).isNull());
    EXPECT_TRUE(polled.value(QStringLiteral("lastFailure")).isNull());
    EXPECT_EQ(polled.value(QStringLiteral("logonsFound")).toInt(), 1);
    EXPECT_GE(polled.value(QStringLiteral("eventsRead")).toInt(), 1);
    const QJsonObject missing = find(controllers, QStringLiteral("address"), Missing);
    EXPECT_TRUE(missing.value(QStringLiteral("failing")).toBool());
    EXPECT_TRUE(missing.value(QStringLiteral("lastCollection")).isNull());
    EXPECT_TRUE(
        missing.value(QStringLiteral("failureReason"))
            .toString()
            .contains(
                QStringLiteral("no event store at %1").arg(m_instance.filePath(QStringLiteral("eventlog/10.9.0.2")))))
        << missing.value(QStringLiteral("failureReason")).toString().toStdString();

    const QJsonArray firewalls = status.value(QStringLiteral("firewalls")).toArray();
    const QJsonObject a = find(firewalls, QStringLiteral("name"), QStringLiteral("FWA"));
    EXPECT_TRUE(a.value(QStringLiteral("connected")).toBool());
    EXPECT_EQ(a.value(QStringLiteral("peer")).toString(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(a.value(QStringLiteral("protocolVersion")).toInt(), 3);
    EXPECT_EQ(a.value(QStringLiteral("logonsSent")).toInt(), 1);
    EXPECT_EQ(a.value(QStringLiteral("pendingAcknowledgements")).toInt(), 0);
    EXPECT_EQ(a.value(QStringLiteral("rules")).toInt(), 1);
    EXPECT_EQ(a.value(QStringLiteral("logoffCollector")).toObject().value(QStringLiteral("probeCacheSize")).toInt(), 1);
    const QJsonObject b = find(firewalls, QStringLiteral("name"), QStringLiteral("FWB"));
    EXPECT_FALSE(b.value(QStringLiteral("connected")).toBool());
    EXPECT_TRUE(b.value(QStringLiteral("logoffCollector")).isNull());

    // The readable form: one block per collector and per firewall, "never" where nothing happened.
    const agenttest::Result text = diag({QStringLiteral("status")});
    EXPECT_EQ(text.exitCode, 0);
    for (const char *expected :
         {"running since", "Collector 10.9.0.1_10.9.0.2 (polling): 1 logons cached, DNS check off",
          "10.9.0.1 (XML): last collection 20", "10.9.0.2 (no log found yet): last collection never",
          "Firewall FWA (10.9.0.1_10.9.0.2): connected from 127.0.0.1 since 20", "logons sent 1 (acknowledged 1)",
          "Firewall FWB (10.9.0.1_10.9.0.2): not connected (last connection never)"})
        EXPECT_TRUE(text.out.contains(expected)) << expected << "\n" << text.out.toStdString();

    // Mappings: who is where, and which firewall was told.
    const QJsonArray mappings =
        json({QStringLiteral("mappings"), QStringLiteral("--json")}).value(QStringLiteral("mappings")).toArray();
    ASSERT_EQ(mappings.size(), 1);
    const QJsonObject alice = mappings.first().toObject();
    EXPECT_EQ(alice.value(QStringLiteral("user")).toString(), QStringLiteral("alice"));
    EXPECT_EQ(alice.value(QStringLiteral("domain")).toString(), QStringLiteral("CORP"));
    EXPECT_EQ(alice.value(QStringLiteral("address")).toString(), QStringLiteral("10.0.0.5"));
    EXPECT_EQ(alice.value(QStringLiteral("adName")).toString(), AdName);
    const QJsonArray told = alice.value(QStringLiteral("firewalls")).toArray();
    EXPECT_TRUE(
        find(told, QStringLiteral("name"), QStringLiteral("FWA")).value(QStringLiteral("acknowledged")).toBool());
    EXPECT_FALSE(find(told, QStringLiteral("name"), QStringLiteral("FWB")).value(QStringLiteral("told")).toBool());

    const struct
    {
        QStringList filter;
        int count;
    } filters[] = {
        {{"--ip", "10.0.0.5"}, 1},      {{"--ip", "10.0.0.0/24"}, 1},
        {{"--ip", "10.0.1.5"}, 0},      {{"--user", "ALICE"}, 1},
        {{"--user", "CORP\\alice"}, 1}, {{"--user", "OTHER\\alice"}, 0},
        {{"--user", "bob"}, 0},         {{"--ip", "10.0.0.5", "--user", "alice"}, 1},
    };
    for (const auto &f : filters) {
        const QJsonObject answer = json(QStringList{QStringLiteral("mappings"), QStringLiteral("--json")} + f.filter);
        EXPECT_EQ(answer.value(QStringLiteral("count")).toInt(), f.count) << f.filter.join(' ').toStdString();
    }
    const agenttest::Result readable =
        diag({QStringLiteral("mappings"), QStringLiteral("--user"), QStringLiteral("alice")});
    EXPECT_TRUE(readable.out.contains("CORP\\alice at 10.0.0.5")) << readable.out.toStdString();
    EXPECT_TRUE(readable.out.contains("FWA told, FWB not told")) << readable.out.toStdString();
    EXPECT_EQ(diag({QStringLiteral("mappings"), QStringLiteral("--ip"), QStringLiteral("nonsense")}).exitCode, 2);

    // A second user on the address: the collector counts the replacement, the firewall its Logout.
    logon("bob", "10.0.0.5");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return firewall(QStringLiteral("FWA")).value(QStringLiteral("logoffsAcknowledged")).toInt() == 1; },
        20000))
        << log().toStdString();
    const QJsonObject after = json({QStringLiteral("status"), QStringLiteral("--json")});
    EXPECT_EQ(after.value(QStringLiteral("collectors"))
                  .toArray()
                  .first()
                  .toObject()
                  .value(QStringLiteral("logoffs"))
                  .toObject()
                  .value(QStringLiteral("sessionReplace"))
                  .toInt(),
              1);
    const QJsonArray bob =
        json({QStringLiteral("mappings"), QStringLiteral("--json"), QStringLiteral("--user"), QStringLiteral("bob")})
            .value(QStringLiteral("mappings"))
            .toArray();
    ASSERT_EQ(bob.size(), 1);
    EXPECT_TRUE(find(bob.first().toObject().value(QStringLiteral("firewalls")).toArray(), QStringLiteral("name"),
                     QStringLiteral("FWA"))
                    .value(QStringLiteral("told"))
                    .toBool());

    // Paused, the agent still answers: no collector runs, the firewalls stay known.
    EXPECT_EQ(run({QStringLiteral("-p")}).exitCode, 0);
    const QJsonObject paused = json({QStringLiteral("status"), QStringLiteral("--json")});
    EXPECT_EQ(paused.value(QStringLiteral("state")).toString(), QStringLiteral("paused"));
    EXPECT_TRUE(paused.value(QStringLiteral("collectors")).toArray().isEmpty());
    EXPECT_EQ(paused.value(QStringLiteral("firewalls")).toArray().size(), 2);

    // Another user than root and the agent's is refused, with a message and exit code 1.
    QTemporaryDir tools;
    ASSERT_TRUE(tools.isValid());
    ::chmod(QFile::encodeName(tools.path()).constData(), 0755);
    const QString copy = tools.filePath(QStringLiteral("sso-diag"));
    ASSERT_TRUE(QFile::copy(testsupport::binaryPath(QStringLiteral("tools/sso-diag")), copy));
    const agenttest::Result refused = diag({QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                            QStringLiteral("--clear-groups"), copy, QStringLiteral("status")},
                                           QStringLiteral("setpriv"));
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains("refused")) << refused.err.toStdString();

    EXPECT_EQ(run({QStringLiteral("-t")}).exitCode, 0);
    EXPECT_EQ(finish(agent), 0);
    // As a service the log goes to its file only.
    const QByteArray serviceError = agent->readAllStandardError();
    EXPECT_FALSE(serviceError.contains("started")) << serviceError.toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("started")));
}

// The README's syslog example: an event-to-syslog forwarder on the domain
// controller (logger here) sends key=value lines; the firewall's patterns
// pick the logons out of them.
TEST_F(AgentStatusTest, SyslogFeedOfTheGuideIsMapped)
{
    QUdpSocket probe;
    ASSERT_TRUE(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 syslogPort = probe.localPort();
    probe.close();
    testsupport::DatagramListener notify(socketPath("notify"));
    QProcess *agent = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty()) << log().toStdString();
    connectPeer({{QStringLiteral("SyslogState"), QStringLiteral("1")},
                 {QStringLiteral("SyslogPort"), QString::number(syslogPort)},
                 {QStringLiteral("SyslogAddr"), QStringLiteral("127.0.0.1")},
                 {QStringLiteral("SyslogMsgPattern"), QStringLiteral("EventID=4624\\b")},
                 {QStringLiteral("SyslogUserPattern"), QStringLiteral("TargetUserName=([^ ]+)")},
                 {QStringLiteral("SyslogAddrPattern"),
                  QStringLiteral("IpAddress=(?:::ffff:)?(\\d+\\.\\d+\\.\\d+\\.\\d+|[0-9a-fA-F:]+)")}},
                QStringList{QStringLiteral("127.0.0.1")});
    const auto send = [&](const QString &line) {
        QProcess logger;
        logger.start(QStringLiteral("logger"),
                     {QStringLiteral("-d"), QStringLiteral("-n"), QStringLiteral("127.0.0.1"), QStringLiteral("-P"),
                      QString::number(syslogPort), QStringLiteral("-t"), QStringLiteral("Security-Auditing"), line});
        logger.waitForFinished(5000);
    };
    const auto mapped = [&](const char *user) {
        return json({QStringLiteral("mappings"), QStringLiteral("--json"), QStringLiteral("--user"),
                     QString::fromLatin1(user)})
            .value(QStringLiteral("mappings"))
            .toArray();
    };
    // The syslog task binds once the firewall's Configuration arrived: send until it is heard.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            send(QStringLiteral("EventID=4624 TargetUserName=alice TargetDomainName=CORP "
                                "IpAddress=::ffff:10.0.0.5 LogonType=3"));
            return QTest::qWaitFor([&] { return !mapped("alice").isEmpty(); }, 500);
        },
        15000))
        << log().toStdString();
    send(QStringLiteral("EventID=4634 TargetUserName=bob TargetDomainName=CORP IpAddress=10.0.0.6"));
    send(QStringLiteral("EventID=4624 TargetUserName=carol TargetDomainName=CORP IpAddress=10.0.0.7 LogonType=3"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !mapped("carol").isEmpty(); }, 15000)) << log().toStdString();
    EXPECT_TRUE(mapped("bob").isEmpty()) << "a logoff event is no logon";
    EXPECT_EQ(mapped("alice").first().toObject().value(QStringLiteral("address")).toString(),
              QStringLiteral("10.0.0.5"));

    const QJsonObject collector =
        find(json({QStringLiteral("status"), QStringLiteral("--json")}).value(QStringLiteral("collectors")).toArray(),
             QStringLiteral("adName"), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(collector.value(QStringLiteral("mode")).toString(), QStringLiteral("syslog"));
    const QJsonObject dc = collector.value(QStringLiteral("domainControllers")).toArray().first().toObject();
    EXPECT_EQ(dc.value(QStringLiteral("source")).toString(), QStringLiteral("syslog"));
    EXPECT_GE(dc.value(QStringLiteral("eventsRead")).toInt(), 3);
    EXPECT_GE(dc.value(QStringLiteral("logonsFound")).toInt(), 2);

    EXPECT_EQ(run({QStringLiteral("-t")}).exitCode, 0);
    EXPECT_EQ(finish(agent), 0);
}

// Parses a scrape with the Prometheus client library's own parser and prints
// one line per sample: name, labels as JSON, value.
const char *const ParseScrape = R"(
import json, sys
from prometheus_client.parser import text_string_to_metric_families
for family in text_string_to_metric_families(sys.stdin.read()):
    for sample in family.samples:
        print(family.type, sample.name, json.dumps(sample.labels, sort_keys=True), repr(sample.value))
)";

TEST_F(AgentStatusTest, ConsoleRunEchoesItsLogAndServesMetricsThatPrometheusParses)
{
    const quint16 metricsPort = testsupport::freeTcpPort();
    QByteArray config = m_instance.readFile(QStringLiteral("config.ini"));
    config.replace("[Global]\n", "[Global]\nMetricsAddress=127.0.0.1:" + QByteArray::number(metricsPort) + "\n");
    m_instance.writeFile(QStringLiteral("config.ini"), config);

    QProcess *agent = start({QStringLiteral("-e")});
    ASSERT_TRUE(waitForLog(QStringLiteral("Metrics served on http://127.0.0.1:%1/metrics").arg(metricsPort)))
        << log().toStdString();
    connectPeer();
    logon("alice", "10.0.0.5");
    ASSERT_TRUE(waitForLog(QStringLiteral("New logon send to FWA"))) << log().toStdString();

    const QString url = QStringLiteral("http://127.0.0.1:%1/metrics").arg(metricsPort);
    const auto curl = [&](const QStringList &arguments) {
        QProcess process;
        process.start(QStringLiteral("curl"), QStringList{QStringLiteral("-sS")} + arguments);
        EXPECT_TRUE(process.waitForFinished(agenttest::ProcessTimeoutMs));
        return process.readAllStandardOutput();
    };
    QByteArray parsed;
    // Scrape until the firewall's acknowledgement shows, then parse with the real parser.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QByteArray page = curl({url});
            QProcess python;
            // Debian's interpreter, which python3-prometheus-client extends (not one earlier on PATH).
            python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromLatin1(ParseScrape)});
            python.write(page);
            python.closeWriteChannel();
            EXPECT_TRUE(python.waitForFinished(agenttest::ProcessTimeoutMs));
            EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString() << page.toStdString();
            parsed = python.readAllStandardOutput();
            return parsed.contains(
                "counter sso_agent_firewall_logons_acknowledged_total {\"ad_name\": \"10.9.0.1_10.9.0.2\", "
                "\"firewall\": \"FWA\"} 1.0");
        },
        20000))
        << parsed.toStdString();
    for (const char *expected : {
             "gauge sso_agent_info {\"version\": \"3.0.2\"} 1.0",
             "gauge sso_agent_paused {} 0.0",
             "gauge sso_agent_collector_cache_logons {\"ad_name\": \"10.9.0.1_10.9.0.2\"} 1.0",
             "counter sso_agent_controller_logons_found_total {\"ad_name\": \"10.9.0.1_10.9.0.2\", "
             "\"controller\": \"10.9.0.1\"} 1.0",
             "gauge sso_agent_controller_failing {\"ad_name\": \"10.9.0.1_10.9.0.2\", \"controller\": "
             "\"10.9.0.2\"} 1.0",
             "gauge sso_agent_firewall_connected {\"ad_name\": \"10.9.0.1_10.9.0.2\", \"firewall\": \"FWA\"} 1.0",
             "gauge sso_agent_firewall_connected {\"ad_name\": \"10.9.0.1_10.9.0.2\", \"firewall\": \"FWB\"} 0.0",
             "gauge sso_agent_probe_cache_logons {\"ad_name\": \"10.9.0.1_10.9.0.2\", \"firewall\": \"FWA\"} 1.0",
         })
        EXPECT_TRUE(parsed.contains(expected)) << expected << "\n" << parsed.toStdString();

    // Only GET and HEAD of /metrics.
    EXPECT_EQ(curl({QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-w"),
                    QStringLiteral("%{http_code}"), QStringLiteral("-X"), QStringLiteral("POST"), url}),
              "405");
    EXPECT_EQ(curl({QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-w"),
                    QStringLiteral("%{http_code}"), url + QStringLiteral("x")}),
              "404");

    // The console shows the log as it is written.
    ::kill(pid_t(agent->processId()), SIGINT);
    EXPECT_EQ(finish(agent), 0);
    const QByteArray console = agent->readAllStandardError();
    for (const char *expected : {"Ferrowinden SSO Agent 3.0 started", "New logon send to FWA", "stopped"})
        EXPECT_TRUE(console.contains(expected)) << expected << "\n" << console.toStdString();
    EXPECT_FALSE(console.contains("\r")) << "terminal lines end in a line feed only";
}

} // namespace
