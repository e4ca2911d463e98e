// The whole road of a logon through the real agent executable, run from a
// temporary install folder, inside the test's own network namespace (pings
// never leave this machine): 4624 events appended to a domain controller's
// Security.xml store reach the firewalls whose rules admit them, played by
// the project's firewall peer and by openssl s_client; a second user on an
// address logs the first out; new rules re-send; pause, resume and
// configuration changes restart collection without doubling a logon.
#include "agentprocess.h"
#include "eventsource/securityxml.h"
#include "support/networknamespace.h"
#include "support/opensslclient.h"
#include "tools/firewallpeer.h"

#include <QRegularExpression>
#include <QUdpSocket>
#include <csignal>

namespace {

const QByteArray Key = "collection test key";
const QString Controller = QStringLiteral("10.9.0.1");
const QString AnyRule = QStringLiteral("[Network]\r\nuser=any\r\nid=1\r\naction=pass\r\nNETWORK=0.0.0.0/0");

QString userRule(const QString &user)
{
    return QStringLiteral("[Network]\r\nuser=%1\r\nid=1\r\naction=pass\r\nNETWORK=0.0.0.0/0").arg(user);
}

class AgentCollection : public agenttest::AgentProcess
{
protected:
    void TearDown() override
    {
        m_peers.clear();
        AgentProcess::TearDown();
    }

    // config.ini with one section per firewall, polled every second; the
    // firewall's own Configuration later keeps these intervals.
    void writeConfig(const QStringList &firewalls, const QByteArray &extraPerFirewall = QByteArray())
    {
        QByteArray text =
            "[Global]\nVerboseLevel=high\nFirewallEnabled=true\n\n[WebServer]\nPort=" + QByteArray::number(m_port) +
            "\nSSLKey=" + Key + "\n";
        for (const QString &name : firewalls) {
            text += "\n[AD-" + name.toUtf8() + "]\nFirewallName=" + name.toUtf8() +
                    "\nServers\\size=1\nServers\\1\\ips=" + Controller.toUtf8() +
                    "\nEnabled=true\nCollectInterval=1\nMaxLogonTime=28800\nMaxSecondToRead=3600\n"
                    "DnsEnabled=false\nFqdn=corp.example.com\nNetbios=CORP\nProbe\\Enabled=false\n" +
                    extraPerFirewall;
        }
        m_instance.writeFile(QStringLiteral("config.ini"), text);
        // The store exists from the start, as a forwarder's output would.
        m_instance.writeFile(QStringLiteral("eventlog/%1/Security.xml").arg(Controller), m_xml);
    }

    QProcess *startAgent()
    {
        QProcess *agent = start({QStringLiteral("-e")});
        EXPECT_TRUE(waitForLog(QStringLiteral("Ferrowinden SSO Agent 3.0 started"))) << log().toStdString();
        return agent;
    }

    diag::FirewallPeer::Options peerOptions(const QString &serial, const QString &rules) const
    {
        diag::FirewallPeer::Options options;
        options.port = m_port;
        options.key = Key;
        options.serial = serial;
        options.controllers = QStringList{Controller};
        options.rules = rules;
        options.configuration = {{QStringLiteral("LogonTime"), QStringLiteral("28800")},
                                 {QStringLiteral("DnsEnabled"), QStringLiteral("0")},
                                 {QStringLiteral("Fqdn"), QStringLiteral("corp.example.com")},
                                 {QStringLiteral("Netbios"), QStringLiteral("CORP")}};
        return options;
    }

    diag::FirewallPeer *connectPeer(const QString &serial, const QString &rules, const QString &bind)
    {
        return connectPeer(peerOptions(serial, rules), bind);
    }
    diag::FirewallPeer *connectPeer(diag::FirewallPeer::Options options, const QString &bind)
    {
        const QString serial = options.serial;
        options.bindAddress = QHostAddress(bind);
        m_peers.push_back(std::make_unique<diag::FirewallPeer>(options));
        diag::FirewallPeer *peer = m_peers.back().get();
        peer->start();
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return peer->rulesSent() && peer->count(QStringLiteral("Ack")) >= 2; }, 15000))
            << log().toStdString();
        // The firewall's Configuration restarts collection for it; its rules are in place.
        EXPECT_TRUE(waitForLog(QStringLiteral("%1: %2: initial rules:").arg(options.controllers.first(), serial)));
        return peer;
    }

    // Appends a successful logon, a few seconds old, to the controller's store.
    void logon(const char *user, const char *ip, int secondsAgo = 5)
    {
        testsupport::SecurityEvent event;
        event.recordId = ++m_records;
        event.time = QDateTime::currentDateTimeUtc().addSecs(-secondsAgo);
        event.user = QString::fromLatin1(user);
        event.ip = QString::fromLatin1(ip);
        m_xml += testsupport::securityEventXml(event);
        m_instance.writeFile(QStringLiteral("eventlog/%1/Security.xml").arg(Controller), m_xml);
    }

    // Every "user=item" line of the Login and Startup messages, in order.
    static QStringList loginLines(const diag::FirewallPeer *peer)
    {
        QStringList lines;
        for (const diag::PeerMessage &message : peer->messages()) {
            if (message.header != QLatin1String("Login") && message.header != QLatin1String("Startup"))
                continue;
            for (const auto &line : message.lines)
                lines.append(line.first + QLatin1Char('=') + line.second);
        }
        return lines;
    }
    static bool hasLogin(const diag::FirewallPeer *peer, const QString &user)
    {
        return loginLines(peer).filter(QStringLiteral("corp.example.com\\%1=").arg(user)).size() > 0;
    }
    static bool waitLogin(const diag::FirewallPeer *peer, const QString &user, int count = 1)
    {
        return QTest::qWaitFor(
            [&] { return loginLines(peer).filter(QStringLiteral("corp.example.com\\%1=").arg(user)).size() >= count; },
            15000);
    }
    // No Login names one address twice: each logon goes out once per message.
    static void expectNoDoubles(const diag::FirewallPeer *peer)
    {
        for (const diag::PeerMessage &message : peer->messages()) {
            QStringList keys;
            for (const auto &line : message.lines) {
                EXPECT_FALSE(keys.contains(line.first.toLower())) << message.text.toStdString();
                keys.append(line.first.toLower());
                const QStringList items = line.second.split(QLatin1Char(','));
                QStringList addresses;
                for (const QString &item : items)
                    addresses.append(item.section(QLatin1Char('@'), 1));
                addresses.removeDuplicates();
                EXPECT_EQ(addresses.size(), items.size()) << message.text.toStdString();
            }
        }
    }

    QByteArray m_xml;
    quint64 m_records = 0;
    std::vector<std::unique_ptr<diag::FirewallPeer>> m_peers;
};

TEST_F(AgentCollection, LogonsReachOnlyTheFirewallsWhoseRulesAdmitThem)
{
    writeConfig({QStringLiteral("FWA"), QStringLiteral("FWB")});
    QProcess *agent = startAgent();
    diag::FirewallPeer *a = connectPeer(QStringLiteral("FWA"), userRule(QStringLiteral("alice")), "127.0.0.1");
    diag::FirewallPeer *b = connectPeer(QStringLiteral("FWB"), userRule(QStringLiteral("bob")), "127.0.0.2");

    logon("alice", "10.0.0.5");
    logon("bob", "10.0.0.6");
    logon("carol", "10.0.0.7");
    ASSERT_TRUE(waitLogin(a, QStringLiteral("alice"))) << log().toStdString();
    ASSERT_TRUE(waitLogin(b, QStringLiteral("bob"))) << log().toStdString();

    // The first logons of a connection go as Startup; the user key and the
    // seconds left of MaxLogonTime (the event is about 5 seconds old).
    const QStringList lines = loginLines(a);
    ASSERT_EQ(lines.size(), 1) << lines.join(QLatin1Char('|')).toStdString();
    const QRegularExpression item(QStringLiteral("^corp\\.example\\.com\\\\alice=(\\d+)@10\\.0\\.0\\.5$"));
    const QRegularExpressionMatch match = item.match(lines.first());
    ASSERT_TRUE(match.hasMatch()) << lines.first().toStdString();
    EXPECT_GT(match.captured(1).toInt(), 28800 - 60);
    EXPECT_LE(match.captured(1).toInt(), 28800 - 4);
    for (const diag::PeerMessage &message : a->messages()) {
        if (message.text.contains(QStringLiteral("\\alice="))) {
            EXPECT_EQ(message.header, QStringLiteral("Startup"));
        }
    }

    // Each firewall gets only what its own rules admit; carol reaches no one.
    EXPECT_FALSE(hasLogin(a, QStringLiteral("bob")));
    EXPECT_FALSE(hasLogin(b, QStringLiteral("alice")));
    EXPECT_TRUE(log().contains(QStringLiteral("New logon: ")));
    EXPECT_EQ(log().count(QStringLiteral("New logon send to FWA")), 1) << log().toStdString();
    EXPECT_EQ(log().count(QStringLiteral("New logon send to FWB")), 1);
    EXPECT_FALSE(hasLogin(a, QStringLiteral("carol")));
    EXPECT_FALSE(hasLogin(b, QStringLiteral("carol")));

    // A later logon goes out as Login, acknowledged like the first.
    logon("alice", "10.0.0.8", 2);
    ASSERT_TRUE(waitLogin(a, QStringLiteral("alice"), 2)) << log().toStdString();
    EXPECT_EQ(a->count(QStringLiteral("Login")), 1);
    expectNoDoubles(a);

    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
}

TEST_F(AgentCollection, SecondUserOnAnAddressLogsTheFirstOutBeforeTheLogin)
{
    writeConfig({QStringLiteral("FWA")});
    QProcess *agent = startAgent();
    diag::FirewallPeer *a = connectPeer(QStringLiteral("FWA"), AnyRule, "127.0.0.1");

    logon("alice", "10.0.0.5", 20);
    ASSERT_TRUE(waitLogin(a, QStringLiteral("alice"))) << log().toStdString();
    logon("bob", "10.0.0.5", 2);
    ASSERT_TRUE(waitLogin(a, QStringLiteral("bob"))) << log().toStdString();

    int logout = -1;
    int bobLogin = -1;
    for (int i = 0; i < a->messages().size(); ++i) {
        const diag::PeerMessage &message = a->messages().at(i);
        if (message.header == QLatin1String("Logout") &&
            message.text.contains(QStringLiteral("corp.example.com\\alice=10.0.0.5")))
            logout = i;
        if (message.header == QLatin1String("Login") && message.text.contains(QStringLiteral("\\bob=")))
            bobLogin = i;
    }
    ASSERT_GE(logout, 0) << log().toStdString();
    EXPECT_LT(logout, bobLogin);
    EXPECT_TRUE(log().contains(QStringLiteral("Logoff send to FWA: ")));
    EXPECT_TRUE(log().contains(QStringLiteral("(session replace)")));

    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
}

TEST_F(AgentCollection, NewRulesResendTheAdmittedLogonsToThatFirewallOnly)
{
    writeConfig({QStringLiteral("FWA"), QStringLiteral("FWB")});
    QProcess *agent = startAgent();
    diag::FirewallPeer *a = connectPeer(QStringLiteral("FWA"), userRule(QStringLiteral("alice")), "127.0.0.1");
    diag::FirewallPeer *b = connectPeer(QStringLiteral("FWB"), AnyRule, "127.0.0.2");
    logon("alice", "10.0.0.5");
    logon("bob", "10.0.0.6");
    ASSERT_TRUE(waitLogin(b, QStringLiteral("bob"))) << log().toStdString();
    ASSERT_TRUE(waitLogin(a, QStringLiteral("alice")));
    const int bLines = loginLines(b).size();

    a->sendText(QStringLiteral("[Adduser]\r\nuser=bob\r\nid=2\r\naction=pass\r\nNETWORK=0.0.0.0/0"));
    ASSERT_TRUE(waitLogin(a, QStringLiteral("bob"))) << log().toStdString();
    // Both current logons the new rules admit, in one Login, each once.
    EXPECT_EQ(loginLines(a).filter(QStringLiteral("\\alice=")).size(), 2);
    expectNoDoubles(a);
    QTest::qWait(1500); // two more collection rounds: FWB must stay quiet
    EXPECT_EQ(loginLines(b).size(), bLines);

    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
}

// Each restart reads the store again: the logon is sent anew, never lost,
// and never twice in one message.
TEST_F(AgentCollection, PauseResumeAndConfigurationChangesRestartCollection)
{
    writeConfig({QStringLiteral("FWA")});
    testsupport::DatagramListener notify(socketPath("notify"));
    ASSERT_TRUE(notify.isValid());
    QProcess *agent = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty());
    diag::FirewallPeer *a = connectPeer(QStringLiteral("FWA"), AnyRule, "127.0.0.1");
    logon("alice", "10.0.0.5");
    logon("bob", "10.0.0.6");
    ASSERT_TRUE(waitLogin(a, QStringLiteral("alice"))) << log().toStdString();

    ASSERT_EQ(run({QStringLiteral("-p")}).exitCode, 0);
    ASSERT_FALSE(notify.waitFor("STATUS=paused", 10000).isEmpty());
    ASSERT_EQ(run({QStringLiteral("-r")}).exitCode, 0);
    ASSERT_FALSE(notify.waitFor("STATUS=running", 10000).isEmpty());
    ASSERT_TRUE(waitLogin(a, QStringLiteral("alice"), 2)) << log().toStdString();

    // An edit from outside reloads config.ini and restarts all collection.
    QByteArray config = m_instance.readFile(QStringLiteral("config.ini"));
    config.replace("CollectInterval=1", "CollectInterval=2");
    m_instance.writeFile(QStringLiteral("config.ini"), config);
    ASSERT_TRUE(waitForLog(QStringLiteral("Config file changed"))) << log().toStdString();
    ASSERT_TRUE(waitLogin(a, QStringLiteral("alice"), 3)) << log().toStdString();
    expectNoDoubles(a);
    EXPECT_TRUE(waitLogin(a, QStringLiteral("bob"), 3));

    // The firewall comes back with another configuration: its collection restarts.
    a->close();
    diag::FirewallPeer::Options options = peerOptions(QStringLiteral("FWA"), AnyRule);
    options.ignores = QStringList{QStringLiteral("carol")};
    m_peers.push_back(std::make_unique<diag::FirewallPeer>(options));
    diag::FirewallPeer *again = m_peers.back().get();
    again->start();
    ASSERT_TRUE(waitForLog(QStringLiteral("AD config changed for %1").arg(Controller))) << log().toStdString();
    ASSERT_TRUE(waitLogin(again, QStringLiteral("alice"))) << log().toStdString();
    EXPECT_TRUE(waitLogin(again, QStringLiteral("bob")));
    expectNoDoubles(again);

    ASSERT_EQ(run({QStringLiteral("-t")}).exitCode, 0);
    EXPECT_EQ(finish(agent), 0);
    EXPECT_FALSE(log().contains(QStringLiteral("collection still busy")));
}

// Syslog mode: the firewall's Configuration turns it on; logger is the domain controller.
TEST_F(AgentCollection, SyslogLineReachesTheFirewall)
{
    writeConfig({QStringLiteral("FWS")});
    QUdpSocket probe;
    ASSERT_TRUE(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 syslogPort = probe.localPort();
    probe.close();
    QProcess *agent = startAgent();
    diag::FirewallPeer::Options options = peerOptions(QStringLiteral("FWS"), AnyRule);
    options.controllers = QStringList{QStringLiteral("127.0.0.1")};
    options.configuration += {{QStringLiteral("SyslogState"), QStringLiteral("1")},
                              {QStringLiteral("SyslogPort"), QString::number(syslogPort)},
                              {QStringLiteral("SyslogAddr"), QStringLiteral("127.0.0.1")},
                              {QStringLiteral("SyslogMsgPattern"), QStringLiteral("LOGON")},
                              {QStringLiteral("SyslogUserPattern"), QStringLiteral("user=(\\w+)")},
                              {QStringLiteral("SyslogAddrPattern"), QStringLiteral("ip=([0-9.]+)")}};
    diag::FirewallPeer *peer = connectPeer(options, "127.0.0.1");
    // The configuration written to config.ini is the one for syslog: the task binds.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QProcess logger;
            logger.start(QStringLiteral("logger"),
                         {QStringLiteral("-d"), QStringLiteral("-n"), QStringLiteral("127.0.0.1"), QStringLiteral("-P"),
                          QString::number(syslogPort), QStringLiteral("LOGON user=dave ip=10.0.0.9")});
            logger.waitForFinished(5000);
            return QTest::qWaitFor([&] { return hasLogin(peer, QStringLiteral("dave")); }, 500);
        },
        15000))
        << log().toStdString();
    const QStringList lines = loginLines(peer);
    const QRegularExpression item(QStringLiteral("^corp\\.example\\.com\\\\dave=(\\d+)@10\\.0\\.0\\.9$"));
    ASSERT_EQ(lines.size(), 1) << lines.join(QLatin1Char('|')).toStdString();
    const QRegularExpressionMatch match = item.match(lines.first());
    ASSERT_TRUE(match.hasMatch()) << lines.first().toStdString();
    EXPECT_GE(match.captured(1).toInt(), 28800 - 30);
    EXPECT_FALSE(log().contains(QStringLiteral("Start running collector task for 127.0.0.1")));

    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
}

// Presence: inside the test's own network namespace, an address routed into
// lo without a local address never answers; loopback addresses do.
TEST_F(AgentCollection, HostThatStopsAnsweringPingsIsLoggedOut)
{
    if (!testsupport::networkNamespaceMissing().isEmpty())
        GTEST_SKIP() << qPrintable(testsupport::networkNamespaceMissing());
    writeConfig({QStringLiteral("FWP")},
                "Probe\\UserCheckFrequency=1\nProbe\\PingTimeout=100\nProbe\\MaxConcurrent=4\n");
    QProcess *agent = startAgent();
    diag::FirewallPeer::Options options = peerOptions(QStringLiteral("FWP"), AnyRule);
    options.configuration += {{QStringLiteral("Probe"), QStringLiteral("1")},
                              {QStringLiteral("ProbeTime"), QStringLiteral("2")},
                              {QStringLiteral("ProbeMethod"), QStringLiteral("ping")}};
    diag::FirewallPeer *peer = connectPeer(options, "127.0.0.1");
    logon("alice", "10.202.0.5");
    logon("bob", "127.0.0.5");
    ASSERT_TRUE(waitLogin(peer, QStringLiteral("alice"))) << log().toStdString();
    ASSERT_TRUE(waitLogin(peer, QStringLiteral("bob")));

    ASSERT_TRUE(QTest::qWaitFor([&] { return peer->count(QStringLiteral("Logout")) >= 1; }, 20000))
        << log().toStdString();
    const diag::PeerMessage logout = peer->first(QStringLiteral("Logout"));
    EXPECT_EQ(logout.text, QStringLiteral("[Logout]\ncorp.example.com\\alice=10.202.0.5"));
    EXPECT_TRUE(log().contains(QStringLiteral("Logoff send to FWP: "))) << log().toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("(ping)")));
    // The collector cache forgot alice too; bob, who answers, stays logged on.
    EXPECT_TRUE(waitForLog(QStringLiteral("Delete alice (10.202.0.5) from collector cache")));
    QTest::qWait(1500); // a probe cycle more: bob stays
    EXPECT_EQ(peer->count(QStringLiteral("Logout")), 1);
    EXPECT_TRUE(log().contains(QStringLiteral("Probe success for bob on 127.0.0.5")));

    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
}

// An independent TLS client: openssl s_client speaks the firewall's side by hand.
TEST_F(AgentCollection, OpensslClientAsFirewallReceivesTheLogon)
{
    writeConfig({QStringLiteral("OSSL")});
    QProcess *agent = startAgent();
    logon("alice", "10.0.0.5");

    testsupport::OpenSslClient client(Key);
    ASSERT_TRUE(client.start(m_port));
    const auto frame = [](const QString &text) { return diag::PeerProtocol::frame(text); };
    client.write(
        frame(diag::PeerProtocol::handshake(3, QStringLiteral("ossl"), QStringLiteral("1"), QStringLiteral("OSSL"))));
    ASSERT_TRUE(client.waitForOutput("[Agent]")) << client.errors().toStdString();
    client.write(frame(diag::PeerProtocol::configuration({Controller}, {}, peerOptions("OSSL", {}).configuration)));
    ASSERT_TRUE(client.waitForOutput("[Result]")) << log().toStdString();
    client.write(frame(diag::PeerProtocol::ack(1)));
    client.write(frame(AnyRule));
    ASSERT_TRUE(client.waitForOutput("corp.example.com\\alice=")) << log().toStdString();
    EXPECT_TRUE(client.output().contains("[Startup]"));
    client.write(frame(diag::PeerProtocol::ack(1)));
    client.closeInput();
    EXPECT_TRUE(client.waitForFinished());

    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
}

} // namespace
