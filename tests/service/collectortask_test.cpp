// Collector tasks over real event stores: a Security.xml the test appends to,
// a sample EVTX log, a store that disappears and comes back.
#include "common/clock.h"
#include "eventsource/apiwindowseventlog.h"
#include "eventsource/securityxml.h"
#include "log/applicationdebug.h"
#include "service/collectorcache.h"
#include "service/collectortask.h"
#include "support/qtprinters.h"
#include "support/tempinstance.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QThread>
#include <gtest/gtest.h>
#include <limits>

namespace {

class CollectorTaskTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ApplicationDebug::create(instance.filePath(QStringLiteral("log")));
        ApplicationDebug::applyVerboseLevel(2);
        userCollector::ApiWindowsEventLog::setStoreRootForTest(instance.filePath(QStringLiteral("eventlog")));
        common::Clock::setNowForTest(now);
        config.setServers({QStringLiteral("10.9.0.1")});
        config.setCollectInterval(5);
        config.setMaxSecondToRead(3600);
        config.setCacheTimeout(86400);
    }
    void TearDown() override
    {
        userCollector::ApiWindowsEventLog::setStoreRootForTest(QString());
        closeDumpFiles();
        ApplicationDebug::destroy();
        common::Clock::resetForTest();
    }

    void appendEvent(const char *user, const char *ip)
    {
        testsupport::SecurityEvent event;
        event.recordId = ++records;
        event.time = common::Clock::now().addSecs(-10).toUTC();
        event.user = QString::fromLatin1(user);
        event.ip = QString::fromLatin1(ip);
        xml += testsupport::securityEventXml(event);
        instance.writeFile(QStringLiteral("eventlog/10.9.0.1/Security.xml"), xml);
    }
    static void run(service::CollectorTask &task) { QMetaObject::invokeMethod(&task, "run", Qt::DirectConnection); }
    static QStringList users(const QSignalSpy &spy, int emission)
    {
        QStringList list;
        for (const common::Logon &logon : spy.at(emission).at(0).value<common::LogonList>())
            list.append(logon.user() + QLatin1Char('@') + logon.ip().toString());
        return list;
    }
    int logCount(const QString &text) const { return testsupport::logFolderText(instance.path()).count(text); }

    testsupport::TempInstance instance;
    settings::ADConfiguration config{QStringLiteral("fw1")};
    const QDateTime now = QDateTime(QDate(2026, 3, 10), QTime(12, 0, 0));
    QByteArray xml;
    quint64 records = 0;
};

TEST_F(CollectorTaskTest, PollsTheStoreEmitsEveryRunAndBacksOffWhileTheStoreIsGone)
{
    appendEvent("alice", "10.0.0.5");
    service::CollectorTask task(config, QStringLiteral("10.9.0.1"));
    QSignalSpy spy(&task, &service::CollectorTask::newLogonCollected);
    task.startCollect(); // the first run comes as soon as events are processed
    ASSERT_TRUE(spy.wait(5000));
    EXPECT_EQ(users(spy, 0), QStringList{QStringLiteral("alice@10.0.0.5")});
    EXPECT_EQ(spy.at(0).at(1).toString(), QStringLiteral("10.9.0.1"));
    EXPECT_EQ(task.timerIntervalForTest(), 5000);
    EXPECT_EQ(logCount(QStringLiteral("10.9.0.1: Start running collector task for 10.9.0.1")), 1);

    appendEvent("bob", "10.0.0.6");
    run(task);
    EXPECT_EQ(users(spy, 1), QStringList{QStringLiteral("bob@10.0.0.6")});

    // Silence: an empty list every run, and the notice at most once per 15 minutes.
    const QString notice = QStringLiteral("10.9.0.1: No logon found since 15 minutes for 10.9.0.1");
    run(task);
    EXPECT_EQ(spy.count(), 3);
    EXPECT_TRUE(users(spy, 2).isEmpty());
    EXPECT_EQ(logCount(notice), 0);
    common::Clock::advanceForTest(900);
    run(task);
    EXPECT_EQ(logCount(notice), 0);
    common::Clock::advanceForTest(1);
    run(task);
    run(task);
    EXPECT_EQ(logCount(notice), 1);
    common::Clock::advanceForTest(901);
    run(task);
    EXPECT_EQ(logCount(notice), 2);
    EXPECT_EQ(spy.count(), 7);

    // A store that cannot be read: nothing emitted, ten times the interval.
    ASSERT_TRUE(QDir(instance.filePath(QStringLiteral("eventlog/10.9.0.1"))).removeRecursively());
    run(task);
    EXPECT_EQ(spy.count(), 7);
    EXPECT_EQ(task.timerIntervalForTest(), 50000);
    appendEvent("carol", "10.0.0.7");
    run(task);
    ASSERT_EQ(spy.count(), 8);
    EXPECT_TRUE(users(spy, 7).contains(QStringLiteral("carol@10.0.0.7")));
    EXPECT_EQ(task.timerIntervalForTest(), 5000);
}

TEST_F(CollectorTaskTest, FirstEmptyRunGivesTheNoticeAtOnce)
{
    config.setApiName(QStringLiteral("Mock"));
    config.setCollectInterval(3000000); // in ms beyond what a timer takes: the longest it takes
    service::CollectorTask task(config, QStringLiteral("10.9.0.1"));
    QSignalSpy spy(&task, &service::CollectorTask::newLogonCollected);
    task.startCollect();
    ASSERT_TRUE(spy.wait(5000));
    EXPECT_TRUE(spy.at(0).at(0).value<common::LogonList>().isEmpty());
    EXPECT_EQ(logCount(QStringLiteral("10.9.0.1: No logon found since 15 minutes for 10.9.0.1")), 1);
    EXPECT_EQ(task.timerIntervalForTest(), std::numeric_limits<int>::max());
}

TEST_F(CollectorTaskTest, AnUnknownApiNameIsLoggedAndThatTaskNeverCollects)
{
    config.setApiName(QStringLiteral("Nope"));
    service::CollectorTask task(config, QStringLiteral("10.9.0.1"));
    QSignalSpy spy(&task, &service::CollectorTask::newLogonCollected);
    task.startCollect();
    QCoreApplication::processEvents();
    EXPECT_EQ(spy.count(), 0);
    EXPECT_FALSE(task.hasEventSourceForTest());
    EXPECT_EQ(task.timerIntervalForTest(), -1);
    EXPECT_EQ(logCount(QStringLiteral("10.9.0.1: No event source named \"Nope\": 10.9.0.1 is not read")), 1);
}

TEST_F(CollectorTaskTest, InItsOwnThreadASampleEvtxLogReachesTheCache)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("dc-replication-4624.evtx"));
    // The store may be the file itself: the sample is read where it lies.
    userCollector::ApiWindowsEventLog::setStoreRootForTest(
        QFileInfo(testsupport::sampleLogPath(QStringLiteral("dc-replication-4624.evtx"))).absolutePath());
    common::Clock::resetForTest();
    config.setMaxSecondToRead(4294967295u);
    config.setCacheTimeout(4000000000u); // the sample is from 2020
    CollectorCache cache(config);
    common::LogonList created;
    QList<common::Logoff> logoffs;

    auto *task = new service::CollectorTask(config, QStringLiteral("dc-replication-4624.evtx"));
    auto *thread = new QThread;
    task->moveToThread(thread);
    QObject::connect(thread, &QThread::started, task, &service::CollectorTask::startCollect);
    QObject::connect(thread, &QThread::finished, task, &service::CollectorTask::stopAndDeleteTimer);
    QObject::connect(thread, &QThread::finished, thread, &QThread::deleteLater);
    int batches = 0;
    QObject context;
    QObject::connect(task, &service::CollectorTask::newLogonCollected, &context, [&](common::LogonList logons) {
        EXPECT_EQ(QThread::currentThread(), context.thread());
        if (batches++ == 0)
            cache.update(logons, created, logoffs);
    });
    QSignalSpy spy(task, &service::CollectorTask::newLogonCollected);
    thread->start();
    ASSERT_TRUE(spy.wait(10000));
    thread->quit();
    thread->wait();
    delete task;

    EXPECT_EQ(spy.at(0).at(0).value<common::LogonList>().size(), 10);
    ASSERT_EQ(created.size(), 1);
    EXPECT_EQ(created.first().user(), QStringLiteral("admmig"));
    EXPECT_EQ(created.first().ip(), QHostAddress(QStringLiteral("10.23.23.9")));
    EXPECT_EQ(created.first().time().toUTC(), QDateTime(QDate(2020, 8, 2), QTime(12, 4, 9), Qt::UTC));
    EXPECT_EQ(cache.size(), 1);
}

} // namespace
