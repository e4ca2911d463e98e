// The logoff collector's rules, driven through real ping probes in the test's
// own network namespace, with "now" pinned and moved by common::Clock.
#include "common/clock.h"
#include "common/exception.h"
#include "logoff/collectuserlogoff.h"
#include "logoff/pingprobe.h"
#include "probetestsupport.h"
#include "service/dumpfile.h"

#include <QSignalSpy>
#include <QTest>
#include <thread>

using logoffCollector::CollectUserLogoff;
using logoffCollector::IProbeApi;

namespace {

const QDateTime T0(QDate(2024, 3, 1), QTime(8, 15, 2));

common::Logon logon(const char *user, const char *address, qint64 secondsBeforeT0)
{
    return common::Logon(QString::fromLatin1(user), QHostAddress(QString::fromLatin1(address)),
                         T0.addSecs(-secondsBeforeT0), QString(), QStringLiteral("TESTWS"), QString(),
                         QStringLiteral("test.example"));
}

struct Settings
{
    bool enabled = true;
    quint32 maxLogonTime = 28800;
    quint32 cacheTimeout = 86400;
    quint32 maxConcurrent = 20;
    quint32 pingTimeout = 60;
    quint32 probeTimeout = 600;
};

class CollectUserLogoffTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_NETNS();
        common::Clock::setNowForTest(T0);
        QDir().mkpath(log.instance().filePath(QStringLiteral("dumps")));
        setDumpFolderForTest(log.instance().filePath(QStringLiteral("dumps")));
    }
    void TearDown() override
    {
        collector.reset();
        closeDumpFiles();
        setDumpFolderForTest(QString());
        service::cacheDumpEnabled.store(false);
        common::Clock::resetForTest();
        CollectUserLogoff::setProbeFactoryForTest(nullptr);
    }

    // The cycles run when the test says so: the collector's own timer waits an hour.
    CollectUserLogoff &make(const Settings &s = Settings())
    {
        collector = std::make_unique<CollectUserLogoff>(QStringLiteral("ping"), s.enabled, QStringLiteral("10.0.0.1"),
                                                        QStringLiteral("FW1"), s.maxLogonTime, s.cacheTimeout,
                                                        s.maxConcurrent, 3600, s.pingTimeout, s.probeTimeout);
        logoffs = std::make_unique<QSignalSpy>(collector.get(), &CollectUserLogoff::logoff);
        return *collector;
    }
    // One whole cycle: it has passed the end of the cache and every probe it started has completed.
    void cycle()
    {
        QSignalSpy finished(collector.get(), &CollectUserLogoff::collectFinished);
        collector->onCollect();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                for (IProbeApi *probe : collector->workersForTest())
                    if (probe && probe->isBusy())
                        return false;
                return finished.count() > 0 || collector->cacheSize() == 0;
            },
            20000));
    }
    common::Logoff logoffAt(int i) const { return logoffs->at(i).at(0).value<common::Logoff>(); }
    QDateTime lastProbe(const char *address) const
    {
        return collector->entryForTest(QHostAddress(QString::fromLatin1(address)))->lastProbeTime;
    }
    qint32 failed(const char *address) const
    {
        return collector->entryForTest(QHostAddress(QString::fromLatin1(address)))->failed;
    }
    static bool setAddress(const char *address, bool up)
    {
        return testsupport::runCommand(
            QStringLiteral("ip addr %1 %2/32 dev lo").arg(up ? "add" : "del").arg(QLatin1String(address)));
    }

    probetest::LogCapture log;
    std::unique_ptr<CollectUserLogoff> collector;
    std::unique_ptr<QSignalSpy> logoffs;
};

// A host that keeps answering keeps its logon; one that stops answering yields
// its logoff on the first failure that comes ProbeTimeout after its last
// regular probe, and a success in between clears the failure.
TEST_F(CollectUserLogoffTest, PresentHostStaysAndSilentHostIsLoggedOffAfterProbeTimeout)
{
    CollectUserLogoff &c = make();
    ASSERT_TRUE(setAddress("10.202.0.50", true));
    c.addLogons({logon("alice", "127.0.0.1", 100), logon("bob", "10.202.0.50", 100)});
    QSignalSpy finished(&c, &CollectUserLogoff::collectFinished);
    c.start(); // the first cycle begins at once
    ASSERT_TRUE(finished.wait(20000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.count(QStringLiteral("Probe success for")) == 2; }, 20000));
    EXPECT_EQ(lastProbe("10.202.0.50"), T0);
    EXPECT_TRUE(log.text().contains(QStringLiteral("10.0.0.1: Probe success for bob on 10.202.0.50")));

    ASSERT_TRUE(setAddress("10.202.0.50", false)); // bob leaves
    common::Clock::advanceForTest(59);             // not yet due again (re-probe interval 60 s)
    cycle();
    EXPECT_EQ(lastProbe("10.202.0.50"), T0);
    EXPECT_EQ(failed("10.202.0.50"), 0);

    common::Clock::advanceForTest(2); // T0+61: a regular probe, which fails once
    cycle();
    EXPECT_EQ(lastProbe("10.202.0.50"), T0.addSecs(61));
    EXPECT_EQ(failed("10.202.0.50"), 1);

    ASSERT_TRUE(setAddress("10.202.0.50", true)); // back for a moment: the failure is cleared
    common::Clock::advanceForTest(10);
    cycle();
    EXPECT_EQ(failed("10.202.0.50"), 0);
    EXPECT_EQ(lastProbe("10.202.0.50"), T0.addSecs(61)); // not due: only the failed flag made it go

    ASSERT_TRUE(setAddress("10.202.0.50", false));
    common::Clock::advanceForTest(60); // T0+131: regular probe, fails
    cycle();
    EXPECT_EQ(failed("10.202.0.50"), 1);
    common::Clock::advanceForTest(500); // T0+631: fails again, 500 s after the regular probe
    cycle();
    EXPECT_EQ(logoffs->count(), 0);
    EXPECT_EQ(lastProbe("10.202.0.50"), T0.addSecs(131));

    common::Clock::advanceForTest(101); // T0+732: more than 600 s after it
    cycle();
    ASSERT_EQ(logoffs->count(), 1);
    EXPECT_EQ(logoffAt(0).user(), QStringLiteral("bob"));
    EXPECT_EQ(logoffAt(0).type(), common::Logoff::LogoffPing);
    EXPECT_EQ(logoffAt(0).time(), T0.addSecs(732));
    EXPECT_EQ(c.cacheSize(), 1);
    EXPECT_FALSE(c.entryForTest(QHostAddress(QStringLiteral("127.0.0.1"))).isNull());
}

TEST_F(CollectUserLogoffTest, ExpiryByMaxLogonTimeAndCacheTimeout)
{
    struct Case
    {
        Settings settings;
        qint64 age;
        bool logoff;
        bool kept;
    };
    Settings standard;
    Settings shortCache;
    shortCache.maxLogonTime = 86400;
    shortCache.cacheTimeout = 3600;
    Settings disabled;
    disabled.enabled = false;
    const Case cases[] = {
        {standard, 28801, true, false}, // 8 hours and one second: timed out
        {standard, 28799, false, true},
        {shortCache, 3601, false, false}, // older than CacheTimeout: dropped without a logoff
        {shortCache, 3599, false, true},
        {disabled, 28801, true, false}, // without probing, expiry still works
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.age);
        CollectUserLogoff &collector = make(c.settings);
        collector.addLogons({logon("carol", "127.0.0.3", c.age)});
        collector.start();
        cycle();
        EXPECT_EQ(logoffs->count(), c.logoff ? 1 : 0);
        if (c.logoff) {
            EXPECT_EQ(logoffAt(0).type(), common::Logoff::LogoffTimeout);
            EXPECT_EQ(logoffAt(0).time(), T0.addSecs(-c.age)); // the logon's own time
        }
        EXPECT_EQ(collector.cacheSize(), c.kept ? 1 : 0);
        EXPECT_EQ(collector.workersForTest().isEmpty(), !c.settings.enabled);
        EXPECT_TRUE(collector.isTimerActiveForTest()); // the next cycle is armed
    }
    EXPECT_TRUE(log.text().contains(QStringLiteral(
        "10.0.0.1: User remove from probe cache (expired): carol on 127.0.0.3 (Fri Mar 1 07:15:01 2024)")));
}

TEST_F(CollectUserLogoffTest, AddReplaceRemoveAndTheDumpFile)
{
    service::cacheDumpEnabled.store(true);
    CollectUserLogoff &c = make();
    const QString dump = log.instance().filePath(QStringLiteral("dumps/logged user on 10.0.0.1 - FW1.txt"));
    auto dumpText = [&] {
        QFile file(dump);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };

    c.addLogons({logon("alice", "127.0.0.5", 100), logon("dave", "127.0.0.6", 100)});
    c.entryForTest(QHostAddress(QStringLiteral("127.0.0.5")))->failed = 1;
    // A newer logon of another user replaces the entry, with a fresh state.
    c.addLogons({logon("bob", "127.0.0.5", 50)});
    auto entry = c.entryForTest(QHostAddress(QStringLiteral("127.0.0.5")));
    EXPECT_EQ(entry->user(), QStringLiteral("bob"));
    EXPECT_EQ(entry->failed, 0);
    EXPECT_EQ(entry->lastProbeTime, T0.addSecs(-50));
    // An older or equally old one never replaces it (initial logons may come late).
    c.addLogons({logon("carol", "127.0.0.5", 80), logon("erin", "127.0.0.5", 50)});
    EXPECT_EQ(c.entryForTest(QHostAddress(QStringLiteral("127.0.0.5"))), entry);
    EXPECT_TRUE(
        log.text().contains(QStringLiteral("10.0.0.1: carol on 127.0.0.5 is not newer than the cached logon of bob")));
    EXPECT_TRUE(dumpText().contains(QStringLiteral("user: TESTWS\\bob from 127.0.0.5")));
    EXPECT_FALSE(dumpText().contains(QStringLiteral("alice")));

    // Removal needs the user (any case) at the address.
    EXPECT_FALSE(c.removeLogon(logon("alice", "127.0.0.5", 100)));
    EXPECT_TRUE(c.removeLogon(logon("BOB", "127.0.0.5", 0)));
    EXPECT_FALSE(c.removeLogon(logon("bob", "127.0.0.5", 0)));
    EXPECT_EQ(c.cacheSize(), 1);
    EXPECT_FALSE(dumpText().contains(QStringLiteral("bob"))); // the file shows the cache as it is now
    EXPECT_TRUE(dumpText().contains(QStringLiteral("dave")));

    // From another thread the logons arrive through the collector's own thread.
    std::thread([&] { c.addLogons({logon("frank", "127.0.0.7", 10)}); }).join();
    EXPECT_EQ(c.cacheSize(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.cacheSize() == 2; }, 5000));
    EXPECT_TRUE(log.text().contains(QStringLiteral("10.0.0.1: user logoff cache now contains 2 logons")));
}

// A probe that ends after its entry was replaced or removed logs nobody off.
TEST_F(CollectUserLogoffTest, ResultForAnEntryThatLeftTheCacheIsIgnored)
{
    for (const bool replace : {true, false}) {
        SCOPED_TRACE(replace ? "replaced" : "removed");
        common::Clock::setNowForTest(T0);
        Settings s;
        s.pingTimeout = 250;
        CollectUserLogoff &c = make(s);
        c.addLogons({logon("bob", "10.202.0.60", 100)});
        c.start();
        cycle(); // first failure
        ASSERT_EQ(failed("10.202.0.60"), 1);
        common::Clock::advanceForTest(700);
        c.onCollect(); // this failure would be the logoff
        ASSERT_TRUE(c.workersForTest().at(0)->isBusy());
        if (replace) {
            c.addLogons({logon("carol", "10.202.0.60", 10)});
            EXPECT_EQ(failed("10.202.0.60"), 0); // carol's entry starts afresh (this cycle still probes it)
        } else {
            ASSERT_TRUE(c.removeLogon(logon("bob", "10.202.0.60", 0)));
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !c.workersForTest().at(0)->isBusy(); }, 20000));
        EXPECT_EQ(logoffs->count(), 0);
        EXPECT_EQ(c.cacheSize(), replace ? 1 : 0);
        EXPECT_TRUE(log.text().contains(
            QStringLiteral("10.0.0.1: probe failure for bob on 10.202.0.60 ignored: no longer in the cache")));
    }
}

// A cycle visits every entry even when one behind its cursor leaves while a
// probe is under way (a second user on that address, a logoff): the entry
// that moves back into its place is still probed in that cycle.
TEST_F(CollectUserLogoffTest, EntryLeavingBehindTheCursorMakesTheCycleSkipNoOther)
{
    for (const bool replace : {true, false}) {
        SCOPED_TRACE(replace ? "replaced" : "removed");
        common::Clock::setNowForTest(T0);
        Settings s;
        s.maxConcurrent = 1;
        CollectUserLogoff &c = make(s);
        c.addLogons(
            {logon("sam", "10.202.0.60", 100), logon("alice", "127.0.0.2", 100), logon("bob", "127.0.0.3", 100)});
        c.start();
        cycle();
        common::Clock::advanceForTest(61); // every entry due again
        QSignalSpy finished(&c, &CollectUserLogoff::collectFinished);
        c.onCollect(); // the one worker takes sam, the cursor moves on to alice
        ASSERT_TRUE(c.workersForTest().at(0)->isBusy());
        if (replace)
            c.addLogons({logon("tom", "10.202.0.60", 10)});
        else
            ASSERT_TRUE(c.removeLogon(logon("sam", "10.202.0.60", 0)));
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return finished.count() > 0 && !c.workersForTest().at(0)->isBusy(); }, 20000));
        EXPECT_EQ(lastProbe("127.0.0.2"), T0.addSecs(61));
        EXPECT_EQ(lastProbe("127.0.0.3"), T0.addSecs(61));
        if (replace) {
            EXPECT_EQ(lastProbe("10.202.0.60"), T0.addSecs(61));
        }
    }
}

// MaxConcurrent comes from a firewall: a huge value must not exhaust memory.
TEST_F(CollectUserLogoffTest, WorkerPoolIsBounded)
{
    Settings s;
    s.maxConcurrent = 4000000000u;
    CollectUserLogoff &c = make(s);
    c.start();
    EXPECT_EQ(c.workersForTest().size(), 4096);
    EXPECT_TRUE(log.text().contains(
        QStringLiteral("10.0.0.1: MaxConcurrent 4000000000 is more than 4096 probes at once; 4096 are used")));
}

TEST_F(CollectUserLogoffTest, ReprobeIntervalIsATenthOfProbeTimeoutAndAtLeastOneSecond)
{
    const std::pair<quint32, quint32> cases[] = {{600, 60}, {25, 2}, {9, 1}, {0, 1}};
    for (const auto &[probeTimeout, interval] : cases) {
        Settings s;
        s.probeTimeout = probeTimeout;
        EXPECT_EQ(make(s).reprobeIntervalForTest(), interval) << probeTimeout;
    }
}

// A worker that cannot be made leaves a hole that the others' indexes skip;
// an entry whose probe cannot start is logged and the worker takes the next.
TEST_F(CollectUserLogoffTest, WorkerCreationFailuresAndProbeErrors)
{
    CollectUserLogoff::setProbeFactoryForTest(
        [](const QString &method, quint32 pingTimeout, const QString &adName, unsigned int index, QObject *parent) {
            if (index == 1)
                throw common::Exception(QStringLiteral("no worker 1 today"));
            return IProbeApi::create(method, pingTimeout, adName, index, parent);
        });
    Settings s;
    s.maxConcurrent = 3;
    CollectUserLogoff &c = make(s);
    c.addLogons({logon("nobody", "", 100), logon("alice", "127.0.0.8", 100), logon("bob", "127.0.0.9", 100),
                 logon("carol", "::1", 100)});
    c.start();
    ASSERT_EQ(c.workersForTest().size(), 3);
    EXPECT_EQ(c.workersForTest().at(1), nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.count(QStringLiteral("Probe success for")) == 3; }, 20000));
    const QString text = log.text();
    EXPECT_TRUE(text.contains(QStringLiteral("no worker 1 today")));
    EXPECT_TRUE(text.contains(
        QStringLiteral("10.0.0.1: probe error: Destination socket invalid: Destination address required (error: 89)")));
    EXPECT_EQ(c.workersForTest().at(2)->workerIndex(), 2u);

    // Signals naming no worker change nothing.
    QMetaObject::invokeMethod(&c, "onProbeCompleted", Q_ARG(unsigned int, 1));
    QMetaObject::invokeMethod(&c, "onProbeFailure", Q_ARG(unsigned int, 7),
                              Q_ARG(common::Logoff::LogoffType, common::Logoff::LogoffPing));
    QMetaObject::invokeMethod(&c, "onProbeSuccess", Q_ARG(unsigned int, 99));
    EXPECT_EQ(c.cacheSize(), 4);
    EXPECT_EQ(logoffs->count(), 0);

    // stopTimers ends the cycle and the probes under way, in this thread.
    common::Clock::advanceForTest(3600);
    c.onCollect();
    c.stopTimers();
    EXPECT_FALSE(c.isTimerActiveForTest());
    for (IProbeApi *probe : c.workersForTest())
        EXPECT_TRUE(!probe || !probe->isBusy());
}

} // namespace
