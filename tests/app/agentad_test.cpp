// The agent in process: its command line option lookup, obsolescence of
// silent firewalls' configurations (on a real config.ini, with "now" pinned
// so that ages are exact) and its side of the firewall link: user filters
// kept from the firewalls' rules. The connection server listens on a loopback
// port; the project's firewall peer plays the firewall.
#include "app/agentad.h"
#include "common/clock.h"
#include "common/userfilter.h"
#include "eventsource/apiwindowseventlog.h"
#include "eventsource/securityxml.h"
#include "firewall/client.h"
#include "firewall/server.h"
#include "log/applicationdebug.h"
#include "service/logoffcollector.h"
#include "service/logoncollector.h"
#include "settings/settings.h"
#include "support/tempinstance.h"
#include "tools/firewallpeer.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

namespace {

const QByteArray Key = "agent firewall key";

class AgentAdTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QFile file(m_dir.filePath(QStringLiteral("config.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[Global]\nVerboseLevel=high\nFirewallEnabled=true\n\n"
                   "[WebServer]\nPort=" +
                   QByteArray::number(testsupport::freeTcpPort()) + "\nSSLKey=" + Key + "\n");
        file.close();
        settings::Settings::setDirectoryForTest(m_dir.path());
        ApplicationDebug::create(m_dir.filePath(QStringLiteral("log")));
        m_now = QDateTime(QDate(2026, 3, 10), QTime(12, 0, 0));
        common::Clock::setNowForTest(m_now);
        m_agent = std::make_unique<service::AgentAd>(1, m_argv);
        m_server = UtmConnect::Server::instance();
        // As the agent's start wires them.
        QObject::connect(m_server, SIGNAL(initialRules(QString, QString, QList<common::UserRule>)), m_agent.get(),
                         SLOT(onInitialRules(QString, QString, QList<common::UserRule>)));
        QObject::connect(m_server, &UtmConnect::Server::newRules, m_agent.get(), &service::AgentAd::onNewRules);
        ASSERT_TRUE(m_server->start());
    }

    void TearDown() override
    {
        m_peer.reset();
        UtmConnect::Server::destroy();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_agent.reset(); // destroys the settings too
        ApplicationDebug::destroy();
        common::Clock::resetForTest();
        settings::Settings::setDirectoryForTest(QString());
    }

    diag::FirewallPeer *connectPeer(const QString &serial, const QString &rules = QString())
    {
        diag::FirewallPeer::Options options;
        options.port = m_server->serverPort();
        options.key = Key;
        options.serial = serial;
        options.rules = rules;
        m_peer = std::make_unique<diag::FirewallPeer>(options);
        m_peer->start();
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return m_peer->rulesSent() && m_peer->count(QStringLiteral("Ack")) >= 2; }, 10000));
        return m_peer.get();
    }

    QString logText() const { return testsupport::logFolderText(m_dir.path()); }

    void check() { ASSERT_TRUE(QMetaObject::invokeMethod(m_agent.get(), "checkAdObsolescence", Qt::DirectConnection)); }
    void addConfig(const QString &name, const QDateTime &lastConnection)
    {
        settings::ADConfiguration config(name);
        config.setFirewallName(name);
        config.setServers({QStringLiteral("192.0.2.1")});
        config.setMaxLogonTime(28800);
        config.setCollectInterval(5);
        config.setEnabled(true);
        config.setLastUtmConnection(lastConnection);
        settings::Settings::instance()->setADConfiguration(config);
    }
    // The test's configurations (first run also writes a default one), sorted and joined.
    static std::string names()
    {
        QStringList list =
            settings::Settings::instance()->adConfigurationNames().filter(QRegExp(QStringLiteral("^fw-")));
        list.sort();
        return list.join(QLatin1Char(' ')).toStdString();
    }

    QTemporaryDir m_dir;
    QDateTime m_now;
    char m_program[6] = "agent";
    char *m_argv[2] = {m_program, nullptr};
    std::unique_ptr<service::AgentAd> m_agent;
    UtmConnect::Server *m_server = nullptr;
    std::unique_ptr<diag::FirewallPeer> m_peer;
};

TEST(AgentAdCommandLineOption, FindsTheKeyOption)
{
    struct Case
    {
        QStringList arguments;
        QString value;
    };
    const Case cases[] = {
        {{"agent", "-k", "secret"}, "secret"},
        {{"agent", "-e", "-K", "Secret Key"}, "Secret Key"}, // either letter case
        {{"agent", "-e", "-k"}, QString()},                  // last: no value
        {{"agent", "-e"}, QString()},
        {{"-k", "value"}, QString()},       // the program name does not count
        {{"agent", "-kk", "x"}, QString()}, // exact match only
        {{"agent", "-k", "first", "-k", "second"}, "first"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(service::AgentAd::commandLineOption(c.arguments, QLatin1Char('k')), c.value)
            << c.arguments.join(QLatin1Char(' ')).toStdString();
}

TEST_F(AgentAdTest, RemovesOnlyConfigurationsSilentForLongerThanTheTimeout)
{
    const qint64 timeout = settings::Settings::instance()->globalConfiguration().ADObsolescenceTimeout;
    ASSERT_EQ(timeout, 604800);
    addConfig(QStringLiteral("fw-old"), m_now.addSecs(-timeout - 1));
    addConfig(QStringLiteral("fw-at-limit"), m_now.addSecs(-timeout));
    addConfig(QStringLiteral("fw-recent"), m_now.addSecs(-3600));
    addConfig(QStringLiteral("fw-never"), QDateTime());

    check();
    EXPECT_EQ(names(), "fw-at-limit fw-never fw-recent");
    // The removal reached config.ini, not only memory.
    ASSERT_TRUE(settings::Settings::instance()->flush());
    QFile file(m_dir.filePath(QStringLiteral("config.ini")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_FALSE(text.contains("fw-old"));
    EXPECT_TRUE(text.contains("fw-recent"));

    common::Clock::advanceForTest(1);
    check();
    EXPECT_EQ(names(), "fw-never fw-recent");
}

TEST_F(AgentAdTest, PausedAgentRemovesNothingUntilCollectionStartsAgain)
{
    addConfig(QStringLiteral("fw-old"), m_now.addDays(-30));
    m_agent->stopAll();
    check();
    EXPECT_EQ(names(), "fw-old");
    m_agent->startAll();
    EXPECT_EQ(names(), "");
}

TEST_F(AgentAdTest, TestFirewallsGetAFilterThatAdmitsEverything)
{
    settings::ADConfiguration fake(QStringLiteral("fake_fw_lab"));
    fake.setFirewallName(QStringLiteral("fake_fw_lab"));
    settings::ADConfiguration real(QStringLiteral("FW1"));
    real.setFirewallName(QStringLiteral("FW1"));
    m_agent->ensureUserFilter(fake);
    m_agent->ensureUserFilter(real);
    ASSERT_NE(m_agent->userFilter(QStringLiteral("fake_fw_lab")), nullptr);
    ASSERT_NE(m_agent->userFilter(QStringLiteral("FW1")), nullptr);
    EXPECT_NE(qobject_cast<common::MockUserFilter *>(m_agent->userFilter(QStringLiteral("fake_fw_lab"))), nullptr);
    EXPECT_EQ(qobject_cast<common::MockUserFilter *>(m_agent->userFilter(QStringLiteral("FW1"))), nullptr);
    // An existing filter, and its rules, stay.
    common::UserFilter *before = m_agent->userFilter(QStringLiteral("FW1"));
    m_agent->ensureUserFilter(real);
    EXPECT_EQ(m_agent->userFilter(QStringLiteral("FW1")), before);
}

TEST_F(AgentAdTest, FirewallRulesFillItsFilter)
{
    diag::FirewallPeer *peer = connectPeer(
        QStringLiteral("FWR"), QStringLiteral("[Network]\r\nuser=alice\r\nid=1\r\naction=pass\r\nHOST=10.0.0.5\r\n"
                                              "[Network_2]\r\nuser=any\r\nid=2\r\naction=block\r\nNETWORK=10.0.0.0/8"));
    common::UserFilter *filter = m_agent->userFilter(QStringLiteral("FWR"));
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->toString(), QStringLiteral("1: pass: alice on (10.0.0.5),2: block: any on (10.0.0.0/8)"));
    EXPECT_TRUE(logText().contains(QStringLiteral("127.0.0.1: FWR: initial rules: 1: pass: alice on (10.0.0.5)")));

    // A delta: add bob, delete rule 2, and a deletion that matches nothing.
    peer->sendText(
        QStringLiteral("[Adduser]\r\nuser=bob\r\nid=3\r\naction=pass\r\nHOST=10.0.0.7\r\n"
                       "[Deluser]\r\nuser=ANY\r\nid=2\r\naction=block\r\nNETWORK=10.0.0.0/8\r\nHOST=1.2.3.4\r\n"
                       "[Deluser_2]\r\nuser=carol\r\nid=9\r\naction=pass\r\nHOST=10.0.0.9"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return peer->count(QStringLiteral("Ack")) >= 3; }, 10000));
    EXPECT_EQ(filter->toString(), QStringLiteral("1: pass: alice on (10.0.0.5),3: pass: bob on (10.0.0.7)"));
    EXPECT_TRUE(logText().contains(QStringLiteral("127.0.0.1: FWR: can't remove rule for carol")));
    EXPECT_TRUE(logText().contains(QStringLiteral("127.0.0.1: FWR: new rules: 1: pass: alice")));

    // An initial list is not a delta: the firewall is disconnected, the filter and its rules stay.
    peer->sendText(QStringLiteral("[Network]\r\nuser=dave\r\nid=1\r\naction=pass\r\nHOST=10.0.0.8"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return peer->count(QStringLiteral("Goodbye")) == 1; }, 10000))
        << "after the initial list, a user list must be a delta";
    EXPECT_EQ(m_agent->userFilter(QStringLiteral("FWR")), filter);
    EXPECT_EQ(filter->rules().size(), 2);
}

TEST_F(AgentAdTest, ConnectedFirewallKeepsItsConfigurationHoweverOld)
{
    diag::FirewallPeer *peer = connectPeer(QStringLiteral("FWOLD"));
    ASSERT_TRUE(settings::Settings::instance()->adConfiguration(QStringLiteral("FWOLD")).isValid());

    common::Clock::setNowForTest(m_now.addDays(30));
    check();
    EXPECT_TRUE(settings::Settings::instance()->adConfiguration(QStringLiteral("FWOLD")).isValid());

    // Gone: its disconnection stamps LastUtmConnection, and it expires from there.
    peer->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_server->clientList().isEmpty(); }, 10000));
    EXPECT_EQ(settings::Settings::instance()->adConfiguration(QStringLiteral("FWOLD")).lastUtmConnection(),
              m_now.addDays(30));
    common::Clock::setNowForTest(m_now.addDays(37));
    check();
    EXPECT_TRUE(settings::Settings::instance()->adConfiguration(QStringLiteral("FWOLD")).isValid());
    common::Clock::setNowForTest(m_now.addDays(37).addSecs(1));
    check();
    EXPECT_FALSE(settings::Settings::instance()->adConfiguration(QStringLiteral("FWOLD")).isValid());
    EXPECT_EQ(m_agent->userFilter(QStringLiteral("FWOLD")), nullptr);
}

// A firewall whose Configuration was refused has no configuration for its
// rules to work on: they are logged and ignored, and the agent goes on.
TEST_F(AgentAdTest, RulesOfAFirewallWithoutValidConfigurationAreIgnored)
{
    diag::FirewallPeer::Options options;
    options.port = m_server->serverPort();
    options.key = Key;
    options.serial = QStringLiteral("FWBAD");
    options.configuration = {}; // no LogonTime
    m_peer = std::make_unique<diag::FirewallPeer>(options);
    m_peer->start();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return m_peer->rulesSent() && m_peer->count(QStringLiteral("Ack")) >= 2; }, 10000));
    m_peer->sendText(QStringLiteral("[Adduser]\r\nuser=bob\r\nid=3\r\naction=pass\r\nHOST=10.0.0.7"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_peer->count(QStringLiteral("Ack")) >= 3; }, 10000));
    EXPECT_EQ(m_agent->userFilter(QStringLiteral("FWBAD")), nullptr);
    EXPECT_EQ(logText().count(QStringLiteral("FWBAD: rules ignored, the firewall has no valid configuration")), 2)
        << logText().toStdString();
}

// A large batch reaches the firewalls a slice per turn of the event loop, in
// order with what follows it; a stop in between drops the rest (the event
// stores still hold those logons for the next start) instead of waiting.
TEST_F(AgentAdTest, LargeBatchIsRoutedInSlicesThatAStopCutsShort)
{
    const QString adName = QStringLiteral("192.0.2.1");
    const QStringList firewalls = {QStringLiteral("fake_fw_a"), QStringLiteral("fake_fw_b")};
    for (const QString &name : firewalls) {
        settings::ADConfiguration config(name);
        config.setFirewallName(name);
        config.setServers({adName});
        config.setMaxLogonTime(28800);
        config.setCollectInterval(5);
        config.setEnabled(true);
        config.setProbeEnabled(false);
        settings::Settings::instance()->setADConfiguration(config);
        m_agent->ensureUserFilter(config);
    }
    const int size = 5 * service::AgentAd::RoutingSlice + 17;
    common::LogonList batch;
    for (int i = 0; i < size; ++i)
        batch.append(common::Logon(QStringLiteral("u%1").arg(i), QHostAddress(quint32(0x7f010000 + i)), m_now,
                                   QString(), QStringLiteral("CORP"), QString(), QString()));
    // What each firewall is told, in order: users logged on, and "-user" for a logoff.
    QMap<QString, QStringList> told;
    QObject::connect(m_agent.get(), &service::AgentAd::newFilteredLogonCollected,
                     [&](const common::LogonList &logons, const QString &, const QString &fw) {
                         for (const common::Logon &logon : logons)
                             told[fw].append(logon.user());
                     });
    QObject::connect(m_agent.get(), &service::AgentAd::newFilteredLogoffCollected,
                     [&](const common::Logoff &logoff, const QString &, const QString &fw) {
                         told[fw].append(QLatin1Char('-') + logoff.user());
                     });
    const auto collect = [&] {
        QMetaObject::invokeMethod(m_agent.get(), "onNewLogonCollected", Qt::QueuedConnection,
                                  Q_ARG(common::LogonList, batch), Q_ARG(QString, adName));
    };

    collect();
    const common::Logoff replaced(batch.first(), common::Logoff::LogoffSessionReplace);
    QMetaObject::invokeMethod(m_agent.get(), "onNewLogoffCollected", Qt::QueuedConnection,
                              Q_ARG(common::Logoff, replaced), Q_ARG(QString, adName), Q_ARG(QString, QString()));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return m_agent->pendingRoutingForTest() == 0 && told.value(firewalls.last()).size() == size + 1; },
        30000));
    QStringList expected;
    for (const common::Logon &logon : qAsConst(batch))
        expected.append(logon.user());
    expected.append(QStringLiteral("-u0"));
    for (const QString &fw : firewalls)
        EXPECT_EQ(told.value(fw), expected) << fw.toStdString();

    // A stop that comes while the batch is under way finds one slice routed.
    told.clear();
    collect();
    bool stopped = false;
    QMetaObject::invokeMethod(
        m_agent.get(),
        [&] {
            m_agent->stopAll();
            stopped = true;
        },
        Qt::QueuedConnection);
    ASSERT_TRUE(QTest::qWaitFor([&] { return stopped; }, 30000));
    QCoreApplication::processEvents(); // the turn the rest of the batch had asked for
    EXPECT_EQ(m_agent->pendingRoutingForTest(), 0);
    for (const QString &fw : firewalls)
        EXPECT_EQ(told.value(fw), expected.mid(0, service::AgentAd::RoutingSlice)) << fw.toStdString();
    EXPECT_TRUE(logText().contains(QStringLiteral("%1 logons and 0 logoffs not routed: collection stops")
                                       .arg(size - service::AgentAd::RoutingSlice)));
    closeDumpFiles(); // the logoff collectors' files, as at the process's end
}

// Collectors in their threads over a real event store.
class AgentAdCollectionTest : public AgentAdTest
{
protected:
    void SetUp() override
    {
        AgentAdTest::SetUp();
        userCollector::ApiWindowsEventLog::setStoreRootForTest(m_dir.filePath(QStringLiteral("eventlog")));
        common::Clock::resetForTest(); // the threads' logons are real-time
        QDir().mkpath(m_dir.filePath(QStringLiteral("eventlog/10.9.0.1")));
        QFile store(m_dir.filePath(QStringLiteral("eventlog/10.9.0.1/Security.xml")));
        ASSERT_TRUE(store.open(QIODevice::WriteOnly));
        testsupport::SecurityEvent event;
        event.time = QDateTime::currentDateTimeUtc().addSecs(-5);
        store.write(testsupport::securityEventXml(event)); // alice on 10.0.0.5
    }
    void TearDown() override
    {
        m_agent->stopAll();
        closeDumpFiles();
        userCollector::ApiWindowsEventLog::setStoreRootForTest(QString());
        AgentAdTest::TearDown();
    }
    settings::ADConfiguration config(const QString &name) const
    {
        settings::ADConfiguration c(name);
        c.setFirewallName(name);
        c.setServers({QStringLiteral("10.9.0.1")});
        c.setMaxLogonTime(28800);
        c.setCollectInterval(1);
        c.setMaxSecondToRead(3600);
        c.setCacheTimeout(86400);
        c.setEnabled(true);
        return c;
    }
    bool waitCached(service::LogonCollector *collector, int count)
    {
        return QTest::qWaitFor([&] { return collector && collector->logons().size() == count; }, 10000);
    }
};

// Restarting one firewall's collection must not cut the other firewalls of
// the same domain controllers off from the new collector cache.
TEST_F(AgentAdCollectionTest, RestartedLogonCollectorHearsTheOtherFirewallsLogoffs)
{
    settings::Settings::instance()->setADConfiguration(config(QStringLiteral("FW1")));
    settings::Settings::instance()->setADConfiguration(config(QStringLiteral("FW2")));
    m_agent->startAll();
    EXPECT_EQ(m_agent->logonCollectorNamesForTest(), QStringList{QStringLiteral("10.9.0.1")});
    ASSERT_TRUE(waitCached(m_agent->logonCollectorForTest(QStringLiteral("10.9.0.1")), 1));
    const common::LogonList cached = m_agent->logonCollectorForTest(QStringLiteral("10.9.0.1"))->logons();
    EXPECT_TRUE(m_agent->startLogoffCollector(config(QStringLiteral("FW1")), cached));
    EXPECT_TRUE(m_agent->startLogoffCollector(config(QStringLiteral("FW2")), cached));
    EXPECT_FALSE(m_agent->startLogoffCollector(config(QStringLiteral("FW2")), cached)); // added to the running one

    QMetaObject::invokeMethod(m_agent.get(), "onAdConfigChanged", Qt::DirectConnection,
                              Q_ARG(settings::ADConfiguration, config(QStringLiteral("FW1"))));
    service::LogonCollector *restarted = m_agent->logonCollectorForTest(QStringLiteral("10.9.0.1"));
    ASSERT_TRUE(waitCached(restarted, 1));
    EXPECT_EQ(m_agent->logoffCollectorForTest(QStringLiteral("FW1")), nullptr);
    service::LogoffCollector *other = m_agent->logoffCollectorForTest(QStringLiteral("FW2"));
    ASSERT_NE(other, nullptr);

    // FW2's probes find alice gone: the new cache forgets her.
    common::Logoff gone(cached.first(), common::Logoff::LogoffPing);
    gone.setTime(QDateTime::currentDateTime());
    QMetaObject::invokeMethod(other, "newLogoffCollected", Qt::QueuedConnection, Q_ARG(common::Logoff, gone),
                              Q_ARG(QString, QStringLiteral("10.9.0.1")), Q_ARG(QString, QStringLiteral("FW2")));
    EXPECT_TRUE(waitCached(restarted, 0));
    EXPECT_TRUE(logText().contains(QStringLiteral("New thread started for logoff collect")));
}

} // namespace
