// The collector hosts with real parts: ping tasks send ICMP echoes inside
// the test's own network namespace (loopback answers, 10.202.0.0/16 is
// silent), the DNS check asks dnsmasq, and a logon collector polls a real
// Security.xml store from a thread of its own.
#include "cachefixture.h"
#include "eventsource/apiwindowseventlog.h"
#include "eventsource/securityxml.h"
#include "service/logoffcollector.h"
#include "service/logoncollector.h"
#include "service/pingtask.h"
#include "settings/settings.h"
#include "support/dnsmasqserver.h"
#include "support/networknamespace.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <memory>

using namespace cachetest;

namespace {

#define REQUIRE_NAMESPACE()                                                                                            \
    do {                                                                                                               \
        if (!testsupport::networkNamespaceMissing().isEmpty())                                                         \
            GTEST_SKIP() << qPrintable(testsupport::networkNamespaceMissing());                                        \
    } while (0)

QStringList users(const common::LogonList &logons)
{
    QStringList list;
    for (const common::Logon &logon : logons)
        list.append(logon.user() + QLatin1Char('@') + logon.ip().toString());
    list.sort();
    return list;
}

class CollectorHostsTest : public CollectorCacheTest
{
protected:
    void SetUp() override
    {
        CollectorCacheTest::SetUp();
        settings::Settings::setDirectoryForTest(instance.path());
        instance.writeFile(QStringLiteral("config.ini"), "[Global]\nVerboseLevel=high\nLookup=dns\n");
        config.setPingTimeout(100);
    }
    void TearDown() override
    {
        settings::Settings::destroy();
        settings::Settings::setDirectoryForTest(QString());
        CollectorCacheTest::TearDown();
    }
    static void invoke(QObject *object, const char *slot)
    {
        QMetaObject::invokeMethod(object, slot, Qt::DirectConnection);
    }
};

// Every logon gets its answer, even the one whose probe cannot start (no
// address), and every probe is released once it has completed.
TEST_F(CollectorHostsTest, PingTaskLetsThroughOnlyTheAddressesThatAnswer)
{
    REQUIRE_NAMESPACE();
    const common::LogonList logons = {L("alice", "127.0.0.5", -5),
                                      common::Logon(QStringLiteral("bob"), QHostAddress(), T0, {}, {}, {}, {}),
                                      L("carol", "10.202.0.7", -5), L("dave", "::1", -5)};
    service::PingTask task(logons, 100, QStringLiteral("10.9.0.1"));
    QSignalSpy finished(&task, &service::PingTask::probeFinished);
    task.start();
    ASSERT_TRUE(finished.wait(5000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(task.liveProbeCountForTest(), 0);
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(users(finished.at(0).at(0).value<common::LogonList>()), (QStringList{"alice@127.0.0.5", "dave@::1"}));
    EXPECT_EQ(finished.at(0).at(1).value<service::PingTask *>(), &task);
    EXPECT_TRUE(log().contains(QStringLiteral("10.9.0.1: Network failure => Destination socket invalid")))
        << log().toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("10.9.0.1: Unable to ping ") + logons.at(2).toString() +
                               QStringLiteral(" after a DNS query")));
    QTest::qWait(300);
    EXPECT_EQ(finished.size(), 1);

    service::PingTask empty({}, 100, QStringLiteral("x"));
    QSignalSpy none(&empty, &service::PingTask::probeFinished);
    empty.start();
    EXPECT_FALSE(none.wait(200));
}

// The DNS check's new addresses are announced once they answer; the one a
// workstation lost is a logoff at once. Logoffs from the probes remove only
// what they are about.
TEST_F(CollectorHostsTest, DnsCheckAnnouncesPingedAddressesAndLogoffsReachTheCache)
{
    REQUIRE_NAMESPACE();
    auto dnsmasq = std::make_unique<testsupport::DnsmasqServer>();
    ASSERT_TRUE(dnsmasq->start("127.0.0.5 pc07\n")) << dnsmasq->error().toStdString();
    instance.writeFile(QStringLiteral("config.ini"),
                       "[Global]\nVerboseLevel=high\nLookup=dns\nDnsServers=" + dnsmasq->endpoint().toUtf8() + "\n");
    config.setDnsEnabled(true);
    config.setProbeEnabled(true);
    config.setDnsInterval(3600);
    service::LogonCollector collector(config);
    QSignalSpy logons(&collector, &service::LogonCollector::newLogonCollected);
    QSignalSpy logoffs(&collector, &service::LogonCollector::newLogoffCollected);
    QMetaObject::invokeMethod(&collector, "onCollect", Qt::DirectConnection,
                              Q_ARG(common::LogonList, common::LogonList{L("alice", "127.0.0.5", -5, "PC07")}));
    ASSERT_EQ(logons.size(), 1);

    // The workstation moves: dnsmasq now names two other addresses, one of them silent.
    dnsmasq = std::make_unique<testsupport::DnsmasqServer>();
    ASSERT_TRUE(dnsmasq->start("127.0.0.7 pc07\n10.202.0.8 pc07\n")) << dnsmasq->error().toStdString();
    instance.writeFile(QStringLiteral("config.ini"),
                       "[Global]\nVerboseLevel=high\nLookup=dns\nDnsServers=" + dnsmasq->endpoint().toUtf8() + "\n");
    invoke(&collector, "onCheckDns");
    ASSERT_EQ(logoffs.size(), 1);
    const common::Logoff lost = logoffs.at(0).at(0).value<common::Logoff>();
    EXPECT_EQ(lost.type(), common::Logoff::LogoffDns);
    EXPECT_EQ(logoffs.at(0).at(2).toString(), QString()); // from the cache, not a firewall
    ASSERT_TRUE(logons.wait(5000));
    EXPECT_EQ(users(logons.at(1).at(0).value<common::LogonList>()), QStringList{"alice@127.0.0.7"});
    EXPECT_EQ(users(collector.logons()), (QStringList{"alice@10.202.0.8", "alice@127.0.0.7"}));

    // A timed-out probe entry is no reason to forget a logon; a failed ping
    // is, unless the cached logon is newer or someone else's.
    const auto logoff = [&](const char *user, const char *ip, common::Logoff::LogoffType type) {
        common::Logoff l(L(user, ip, 0), type);
        QMetaObject::invokeMethod(&collector, "onNewLogoffCollected", Qt::DirectConnection, Q_ARG(common::Logoff, l),
                                  Q_ARG(QString, config.adName()), Q_ARG(QString, QStringLiteral("FW1")));
    };
    logoff("alice", "127.0.0.7", common::Logoff::LogoffTimeout);
    logoff("alice", "127.0.0.7", common::Logoff::LogoffSessionReplace);
    logoff("bob", "127.0.0.7", common::Logoff::LogoffPing);
    EXPECT_EQ(collector.logons().size(), 2);
    EXPECT_TRUE(log().contains(QStringLiteral("10.9.0.1: Unable to delete bob (127.0.0.7) from collector cache")));
    logoff("alice", "10.202.0.8", common::Logoff::LogoffPing);
    EXPECT_EQ(users(collector.logons()), QStringList{"alice@127.0.0.7"});
}

// In its thread, a logon collector polls every domain controller, and its
// stop ends and waits for every task thread; syslog mode polls none.
TEST_F(CollectorHostsTest, CollectorThreadPollsTheStoresAndStopsItsTasks)
{
    common::Clock::resetForTest(); // the threads' logons are real-time
    userCollector::ApiWindowsEventLog::setStoreRootForTest(instance.filePath(QStringLiteral("eventlog")));
    for (const char *server : {"10.9.0.1", "10.9.0.2"}) {
        testsupport::SecurityEvent event;
        event.time = QDateTime::currentDateTimeUtc().addSecs(-5);
        event.ip = server == QByteArray("10.9.0.1") ? QStringLiteral("10.0.0.5") : QStringLiteral("10.0.0.6");
        instance.writeFile(QStringLiteral("eventlog/%1/Security.xml").arg(QLatin1String(server)),
                           testsupport::securityEventXml(event));
    }
    config.setServers({QStringLiteral("10.9.0.2"), QStringLiteral("10.9.0.1")});
    config.setCollectInterval(1);
    config.setMaxSecondToRead(3600);
    config.setDnsEnabled(true);
    config.setDnsInterval(0); // no DNS check
    auto *collector = new service::LogonCollector(config);
    QSignalSpy logons(collector, &service::LogonCollector::newLogonCollected);
    auto *thread = new QThread;
    collector->moveToThread(thread);
    QObject::connect(thread, &QThread::started, collector, &service::LogonCollector::startCollect);
    QObject::connect(thread, &QThread::finished, collector, &service::LogonCollector::stopTimer);
    thread->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return collector->logons().size() == 2; }, 10000)) << log().toStdString();
    EXPECT_EQ(collector->taskThreadCountForTest(), 2);
    EXPECT_FALSE(collector->isDnsTimerActiveForTest());
    thread->exit(0);
    ASSERT_TRUE(thread->wait(5000));
    EXPECT_EQ(collector->taskThreadCountForTest(), 0);
    delete thread;
    delete collector;
    userCollector::ApiWindowsEventLog::setStoreRootForTest(QString());
}

} // namespace
