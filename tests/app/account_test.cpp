// The agent as an account-based install runs it, without root: installed
// with -i under an account the test creates, started the way its unit says
// (that user, the two capabilities, no new privileges), controlled by that
// account through the control socket, taking logons from syslog on port 514
// and probing them with ICMP inside the test's own network namespace; what a
// third user cannot do, and what the account cannot do without the two
// capabilities.
#include "agentprocess.h"
#include "eventsource/securityxml.h"
#include "serviceframe/controlchannel.h"
#include "support/networknamespace.h"
#include "tools/firewallpeer.h"

#include <QMap>
#include <QRegularExpression>
#include <csignal>
#include <sys/stat.h>

namespace {

using agenttest::Identity;
using agenttest::Result;

const QByteArray Key = "account test key";
const QString AnyRule = QStringLiteral("[Network]\r\nuser=any\r\nid=1\r\naction=pass\r\nNETWORK=0.0.0.0/0");
// No account by this number exists: a third user, neither root nor the service's.
const uid_t ThirdUid = 64999;

class AgentAsAccount : public agenttest::AgentProcess
{
protected:
    void SetUp() override
    {
        // Probes and port 514 are only ever used inside the test's own namespace.
        if (!testsupport::networkNamespaceMissing().isEmpty())
            GTEST_SKIP() << qPrintable(testsupport::networkNamespaceMissing());
        AgentProcess::SetUp();
        QString error;
        m_account = testsupport::TestAccount::create(&error);
        ASSERT_TRUE(m_account.isValid()) << error.toStdString();
        m_self.account = &m_account;
        writeConfig(QByteArray());
    }
    void TearDown() override
    {
        m_peers.clear();
        AgentProcess::TearDown(); // the account's processes end before the account goes
    }

    void writeConfig(const QByteArray &sections)
    {
        m_instance.writeFile(QStringLiteral("config.ini"), "[Global]\nVerboseLevel=high\nFirewallEnabled=true\n\n"
                                                           "[WebServer]\nPort=" +
                                                               QByteArray::number(m_port) + "\nSSLKey=" + Key + "\n" +
                                                               sections);
    }
    // A firewall section polled every second and probed every second, each echo waited for 100 ms.
    static QByteArray firewallSection(const char *name, const char *controller, const QByteArray &extra)
    {
        return QByteArray("\n[AD-") + name + "]\nFirewallName=" + name +
               "\nServers\\size=1\nServers\\1\\ips=" + controller +
               "\nEnabled=true\nCollectInterval=1\nDnsEnabled=false\nFqdn=corp.example.com\nNetbios=CORP\n"
               "Probe\\UserCheckFrequency=1\nProbe\\PingTimeout=100\nProbe\\MaxConcurrent=4\n" +
               extra;
    }

    diag::FirewallPeer *connectPeer(const QString &serial, const QString &controller,
                                    const QList<QPair<QString, QString>> &extra)
    {
        diag::FirewallPeer::Options options;
        options.port = m_port;
        options.key = Key;
        options.serial = serial;
        options.controllers = QStringList{controller};
        options.rules = AnyRule;
        options.bindAddress = QHostAddress(QStringLiteral("127.0.0.1"));
        options.configuration = {{QStringLiteral("LogonTime"), QStringLiteral("28800")},
                                 {QStringLiteral("DnsEnabled"), QStringLiteral("0")},
                                 {QStringLiteral("Fqdn"), QStringLiteral("corp.example.com")},
                                 {QStringLiteral("Netbios"), QStringLiteral("CORP")},
                                 {QStringLiteral("Probe"), QStringLiteral("1")},
                                 {QStringLiteral("ProbeTime"), QStringLiteral("2")},
                                 {QStringLiteral("ProbeMethod"), QStringLiteral("ping")}};
        options.configuration += extra;
        m_peers.push_back(std::make_unique<diag::FirewallPeer>(options));
        diag::FirewallPeer *peer = m_peers.back().get();
        peer->start();
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return peer->rulesSent() && peer->count(QStringLiteral("Ack")) >= 2; }, 15000))
            << log().toStdString();
        return peer;
    }
    static bool waitLogin(const diag::FirewallPeer *peer, const QString &user)
    {
        const QString key = QStringLiteral("corp.example.com\\%1").arg(user);
        return QTest::qWaitFor(
            [&] {
                for (const diag::PeerMessage &message : peer->messages()) {
                    if ((message.header == QLatin1String("Login") || message.header == QLatin1String("Startup")) &&
                        !message.value(key).isEmpty())
                        return true;
                }
                return false;
            },
            15000);
    }

    // The unit -i wrote, key by key (the last of a key wins, as in systemd).
    QMap<QString, QString> unitKeys() const
    {
        QMap<QString, QString> keys;
        const QByteArray text = [&] {
            QFile file(m_units.filePath(QStringLiteral("ferrowinden-sso-agent.service")));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();
        for (const QString &line : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
            const int equals = line.indexOf(QLatin1Char('='));
            if (equals > 0)
                keys.insert(line.left(equals), line.mid(equals + 1));
        }
        return keys;
    }
    // Who systemd would run the unit as: its User= (which must be the test's
    // account), its ambient capabilities, and whether the bounding set and
    // NoNewPrivileges= lock them down.
    Identity unitIdentity(const QMap<QString, QString> &unit) const
    {
        Identity who;
        EXPECT_EQ(unit.value(QStringLiteral("User")), m_account.name());
        who.account = &m_account;
        for (const QString &capability :
             unit.value(QStringLiteral("AmbientCapabilities")).split(QLatin1Char(' '), Qt::SkipEmptyParts))
            who.capabilities.append(capability.toLower().remove(QStringLiteral("cap_")));
        who.lockedDown =
            unit.value(QStringLiteral("CapabilityBoundingSet")) == unit.value(QStringLiteral("AmbientCapabilities")) &&
            unit.value(QStringLiteral("NoNewPrivileges")) == QLatin1String("yes");
        return who;
    }

    // Datagrams of the frame's states, in this order, from where the last wait stopped.
    static void expectStates(testsupport::DatagramListener &notify, const QList<QByteArray> &states)
    {
        for (const QByteArray &state : states)
            EXPECT_FALSE(notify.waitFor("STATUS=" + state, 10000).isEmpty()) << state.toStdString();
    }
    static QString processStatus(qint64 pid)
    {
        QFile file(QStringLiteral("/proc/%1/status").arg(pid));
        return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
    }
    QString controlPath() const { return m_runtime.filePath(QStringLiteral("control")); }

    testsupport::TestAccount m_account;
    Identity m_self; // the account, without capabilities: what an operator's "sudo -u" gives
    std::vector<std::unique_ptr<diag::FirewallPeer>> m_peers;
};

// Installed by root under the account, run as the unit says, controlled by
// the account itself, fed by syslog on port 514, probing with ICMP, stopped
// and uninstalled.
TEST_F(AgentAsAccount, InstalledUnderAnAccountItLivesWithoutRoot)
{
    const QString name = m_account.name();
    writeConfig(firewallSection("FWS", "127.0.0.1", QByteArray()));
    // Like /etc/systemd/system: everyone may see whether the unit is there.
    ASSERT_EQ(::chmod(QFile::encodeName(m_units.path()).constData(), 0755), 0);
    // config.ini is root's, as after a first run by root: -i says how to hand it over.
    const Result install = run({QStringLiteral("-i"), name});
    ASSERT_EQ(install.exitCode, 0) << install.err.toStdString();
    const QString err = QString::fromLocal8Bit(install.err);
    const QString fix = err.mid(err.lastIndexOf(QStringLiteral("\n  ")) + 3).trimmed();
    ASSERT_TRUE(err.contains(QStringLiteral("who cannot write"))) << err.toStdString();
    ASSERT_TRUE(fix.startsWith(QStringLiteral("chown %1: ").arg(name))) << err.toStdString();
    ASSERT_EQ(QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), fix}), 0) << fix.toStdString();
    ASSERT_EQ(run({QStringLiteral("-u")}).exitCode, 0);
    const Result again = run({QStringLiteral("-i"), name});
    ASSERT_EQ(again.exitCode, 0);
    EXPECT_TRUE(again.err.isEmpty()) << "still not writable after the proposed fix: " << again.err.toStdString();

    const QMap<QString, QString> unit = unitKeys();
    for (const char *key : {"AmbientCapabilities", "CapabilityBoundingSet"})
        EXPECT_EQ(unit.value(QLatin1String(key)), QStringLiteral("CAP_NET_BIND_SERVICE CAP_NET_RAW")) << key;
    EXPECT_EQ(unit.value(QStringLiteral("NoNewPrivileges")), QStringLiteral("yes"));
    EXPECT_EQ(unit.value(QStringLiteral("Restart")), QStringLiteral("on-failure"));
    EXPECT_EQ(unit.value(QStringLiteral("RuntimeDirectory")), QStringLiteral("ferrowinden-sso-agent"));
    EXPECT_EQ(unit.value(QStringLiteral("ExecStart")),
              QStringLiteral("\"%1\"").arg(QFileInfo(m_exe).canonicalFilePath()));
    // systemd gives the runtime folder to the unit's user.
    runAgentAs(unitIdentity(unit));

    testsupport::DatagramListener notify(socketPath("notify"));
    ASSERT_TRUE(notify.isValid());
    QProcess *service = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty()) << log().toStdString();
    // The account's identity, exactly the two capabilities, and no way to more.
    const QString status = processStatus(service->processId());
    const QString uid = QString::number(m_account.uid());
    EXPECT_TRUE(status.contains(QStringLiteral("\nUid:\t%1\t%1\t%1\t%1\n").arg(uid))) << status.toStdString();
    for (const char *line :
         {"CapEff:\t0000000000002400", "CapBnd:\t0000000000002400", "CapAmb:\t0000000000002400", "NoNewPrivs:\t1"})
        EXPECT_TRUE(status.contains(QLatin1String(line))) << line << "\n" << status.toStdString();

    // The account controls its own service; every accepted request reports the state again.
    EXPECT_EQ(run(m_self, {QStringLiteral("-p")}).exitCode, 0);
    expectStates(notify, {"pause pending", "paused", "paused"});
    EXPECT_EQ(run(m_self, {QStringLiteral("-r")}).exitCode, 0);
    expectStates(notify, {"continue pending", "running", "running"});
    EXPECT_EQ(run(m_self, {QStringLiteral("-c"), QStringLiteral("5")}).exitCode, 0);
    expectStates(notify, {"running"});
    EXPECT_TRUE(run(m_self, {QStringLiteral("-v")}).out.endsWith("is installed and running\n\n"));

    // Syslog on port 514 and pings: erin's workstation (routed into lo, no
    // address) never answers, dave's (loopback) does.
    diag::FirewallPeer *peer = connectPeer(QStringLiteral("FWS"), QStringLiteral("127.0.0.1"),
                                           {{QStringLiteral("SyslogState"), QStringLiteral("1")},
                                            {QStringLiteral("SyslogPort"), QStringLiteral("514")},
                                            {QStringLiteral("SyslogAddr"), QStringLiteral("127.0.0.1")},
                                            {QStringLiteral("SyslogMsgPattern"), QStringLiteral("LOGON")},
                                            {QStringLiteral("SyslogUserPattern"), QStringLiteral("user=(\\w+)")},
                                            {QStringLiteral("SyslogAddrPattern"), QStringLiteral("ip=([0-9.]+)")}});
    // The firewall's configuration starts the syslog task: send until it listens.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (const char *line : {"LOGON user=dave ip=127.0.0.5", "LOGON user=erin ip=10.202.0.5"})
                QProcess::execute(QStringLiteral("logger"),
                                  {QStringLiteral("-d"), QStringLiteral("-n"), QStringLiteral("127.0.0.1"),
                                   QStringLiteral("-P"), QStringLiteral("514"), QString::fromLatin1(line)});
            return QTest::qWaitFor([&] { return peer->count(QStringLiteral("Startup")) > 0; }, 500);
        },
        15000))
        << log().toStdString();
    ASSERT_TRUE(waitLogin(peer, QStringLiteral("dave"))) << log().toStdString();
    ASSERT_TRUE(waitLogin(peer, QStringLiteral("erin"))) << log().toStdString();
    // Without CAP_NET_ADMIN the syslog receive buffer stops at net.core.rmem_max, and the log says so.
    QFile rmemMax(QStringLiteral("/proc/sys/net/core/rmem_max"));
    const qint64 maxBuffer = rmemMax.open(QIODevice::ReadOnly) ? rmemMax.readAll().trimmed().toLongLong() : 0;
    if (maxBuffer > 0 && maxBuffer < 8 * 1024 * 1024) {
        EXPECT_TRUE(log().contains(
            QStringLiteral("UDP receive buffer of %1 bytes only, asked for 8388608 (raise net.core.rmem_max)")
                .arg(maxBuffer)))
            << log().toStdString();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return peer->count(QStringLiteral("Logout")) >= 1; }, 20000))
        << log().toStdString();
    EXPECT_EQ(peer->first(QStringLiteral("Logout")).text,
              QStringLiteral("[Logout]\ncorp.example.com\\erin=10.202.0.5"));
    EXPECT_TRUE(waitForLog(QStringLiteral("Probe success for dave on 127.0.0.5"))) << log().toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("ICMP v4 echoes use a raw socket"))) << log().toStdString();

    // The account stops it; what it wrote stays its own and private.
    const Result stop = run(m_self, {QStringLiteral("-t")});
    EXPECT_EQ(stop.exitCode, 0);
    EXPECT_TRUE(stop.err.isEmpty()) << stop.err.toStdString();
    EXPECT_EQ(finish(service), 0);
    EXPECT_FALSE(QFileInfo::exists(controlPath()));
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(m_instance.filePath(QStringLiteral("config.ini"))).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, m_account.uid());
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(m_instance.readFile(QStringLiteral("config.ini")).contains("[AD-FWS]"));

    const Result uninstall = run(Identity(), {QStringLiteral("-u")});
    EXPECT_EQ(uninstall.out, "The service Ferrowinden SSO Agent has been uninstalled.\n");
    EXPECT_TRUE(QDir(m_units.path()).isEmpty());
}

// The socket's mode keeps every other user out; one that gets past file
// permissions meets the peer check, which refuses it and says so. Root and
// the service's own account may control it.
TEST_F(AgentAsAccount, OnlyRootAndTheServiceAccountControlIt)
{
    runAgentAs({&m_account, agenttest::AccountCapabilities, true});
    // As installed: the program's folder and the runtime folder are open to everyone.
    for (const QString &folder : {m_instance.path(), m_runtime.path()})
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
    testsupport::DatagramListener notify(socketPath("notify"));
    testsupport::DatagramListener syslog(socketPath("syslog"));
    QProcess *service = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty()) << log().toStdString();
    const auto state = [&] {
        serviceframe::ControlRequest interrogate;
        return serviceframe::sendControlRequest(controlPath(), interrogate, 5000).state;
    };

    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(controlPath()).constData(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, m_account.uid());

    const testsupport::TestAccount third(ThirdUid, ThirdUid);
    const Result denied = run({&third}, {QStringLiteral("-t")});
    EXPECT_TRUE(denied.err.contains("Permission denied")) << denied.err.toStdString();
    EXPECT_TRUE(syslog.waitFor("Control request refused", 200).isEmpty()) << "the mode alone keeps it out";

    const Identity pastPermissions{&third, {QStringLiteral("dac_override")}};
    for (const char *option : {"-p", "-t"}) {
        const Result refused = run(pastPermissions, {QString::fromLatin1(option)});
        EXPECT_EQ(refused.exitCode, 0) << option;
        const QByteArray entry = syslog.waitFor("Control request refused", 5000);
        EXPECT_TRUE(entry.startsWith("<28>")) << option << ": " << entry.toStdString(); // daemon, warning
        EXPECT_TRUE(entry.contains(QStringLiteral("of uid %1 is neither root nor the service's user (uid %2)")
                                       .arg(ThirdUid)
                                       .arg(m_account.uid())
                                       .toUtf8()))
            << entry.toStdString();
        EXPECT_EQ(state(), serviceframe::ServiceState::Running) << option;
    }
    EXPECT_EQ(service->state(), QProcess::Running);

    // (Reading the states as they come keeps the test's notify socket from filling up.)
    EXPECT_EQ(run(Identity(), {QStringLiteral("-p")}).exitCode, 0);
    expectStates(notify, {"pause pending", "paused", "paused"});
    EXPECT_EQ(state(), serviceframe::ServiceState::Paused) << "root may control the account's service";
    EXPECT_EQ(run(m_self, {QStringLiteral("-r")}).exitCode, 0);
    expectStates(notify, {"continue pending", "running", "running"});
    EXPECT_EQ(state(), serviceframe::ServiceState::Running) << "the account may control its own service";
    const Result stop = run(m_self, {QStringLiteral("-t")});
    EXPECT_TRUE(stop.err.isEmpty()) << stop.err.toStdString();
    EXPECT_EQ(finish(service), 0);
}

// Without the two capabilities the account can neither bind the syslog port
// nor send echoes; both say so in the log, and the agent goes on.
TEST_F(AgentAsAccount, WithoutTheCapabilitiesSyslogAndPingsSayWhy)
{
    runAgentAs({&m_account});
    writeConfig(firewallSection("FWS", "127.0.0.1",
                                "SyslogState=true\nSyslogPort=514\nSyslogAddr=127.0.0.1\nSyslogMsgPattern=LOGON\n") +
                firewallSection("FWP", "10.9.0.1", QByteArray()));
    testsupport::SecurityEvent event;
    event.time = QDateTime::currentDateTimeUtc().addSecs(-5);
    event.ip = QStringLiteral("10.202.0.5");
    m_instance.writeFile(QStringLiteral("eventlog/10.9.0.1/Security.xml"), testsupport::securityEventXml(event));

    QProcess *agent = start({QStringLiteral("-e")});
    EXPECT_TRUE(waitForLog(QStringLiteral("127.0.0.1: Unable to bind UDP socket: "))) << log().toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("(a port below 1024 needs root or CAP_NET_BIND_SERVICE)")))
        << log().toStdString();

    diag::FirewallPeer *peer = connectPeer(QStringLiteral("FWP"), QStringLiteral("10.9.0.1"), {});
    ASSERT_TRUE(waitLogin(peer, QStringLiteral("alice"))) << log().toStdString();
    EXPECT_TRUE(waitForLog(QStringLiteral("ICMP v4: no unprivileged datagram socket ("))) << log().toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("the service needs CAP_NET_RAW or a group inside "
                                              "net.ipv4.ping_group_range")));
    EXPECT_EQ(peer->count(QStringLiteral("Logout")), 0) << "an echo never sent is no answer";

    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
}

} // namespace
