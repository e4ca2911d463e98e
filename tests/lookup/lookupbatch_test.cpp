// Batches of look-ups in threads: limits, the batch time limit, abandoned
// workers and thread creation failures.
#include "lookup/namelookup.h"
#include "lookuptestsupport.h"
#include "support/dnsmessagebuilder.h"
#include "support/udpresponder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

using lookuptest::LogTail;
using lookuptest::optionsFor;
using lookuptest::optionsWithServer;
using testsupport::UdpResponder;
using Addresses = QList<QHostAddress>;

namespace {

QHostAddress ip(const char *text)
{
    return QHostAddress(QString::fromLatin1(text));
}

common::Logon logonFrom(const QString &user, const char *address, const QString &workstation = QString())
{
    return common::Logon(user, ip(address), QDateTime::currentDateTime(), workstation, "CORP", QString(), "corp.test");
}

QList<HostAddresses> itemsNamed(const QString &pattern, int count)
{
    QList<HostAddresses> items;
    for (int i = 0; i < count; ++i)
        items.append(HostAddresses(pattern.arg(i)));
    return items;
}

// Answers every A query with 10.0.0.9 after a delay; AAAA with nothing.
UdpResponder::Reply slowAnswer(const QByteArray &query, int delayMs)
{
    const testsupport::DnsQuestion question = testsupport::parseDnsQuery(query);
    testsupport::DnsReplyBuilder reply(query);
    if (question.type == 1)
        reply.addA(question.name, ip("10.0.0.9"));
    return {reply.build(), delayMs};
}

UdpResponder::Reply noReply(const QByteArray &)
{
    return {};
}

// Options for a server that never answers: the batch limit ends the wait.
lookup::LookupOptions silentOptions(const UdpResponder &silent, int batchLimitMs)
{
    lookup::LookupOptions options = optionsWithServer("dns", silent.endpoint());
    options.dnsTimeoutMs = 1500;
    options.dnsTries = 1;
    options.batchLimitMs = batchLimitMs;
    return options;
}

class LookupBatch : public ::testing::Test
{
protected:
    void TearDown() override
    {
        lookup::LookupThread::failStartsAfterForTest(-1);
        EXPECT_TRUE(lookuptest::waitForIdleWorkers());
    }
};

} // namespace

TEST_F(LookupBatch, TwoHundredNamesAtOnce)
{
    QList<HostAddresses> items = itemsNamed(QStringLiteral("bulk%1.corp.test"), 200);
    lookup::BatchReport report;
    EXPECT_TRUE(lookupAddressesInThreads(items, optionsFor("dns"), &report));
    EXPECT_EQ(report.started, 200);
    EXPECT_EQ(report.finished, 200);
    EXPECT_EQ(report.abandoned, 0);
    EXPECT_LE(report.peakRunning, 64);
    for (int i = 0; i < 200; ++i) {
        const QString expected = QStringLiteral("10.2.%1.%2").arg(i / 100).arg(i % 100 + 1);
        EXPECT_EQ(items.at(i).addresses, Addresses{QHostAddress(expected)}) << i;
    }
}

TEST_F(LookupBatch, ItemsWithoutNameAreSkippedAndFoundAddressesAppended)
{
    QList<HostAddresses> items = {HostAddresses("pc01.corp.test"), HostAddresses(QString()),
                                  HostAddresses("nobody.corp.test")};
    items[0].append(ip("192.0.2.1"));
    items[1].append(ip("192.0.2.2"));
    LogTail log;
    lookup::BatchReport report;
    EXPECT_TRUE(lookupAddressesInThreads(items, optionsFor("dns"), &report));
    EXPECT_EQ(report.started, 2);
    EXPECT_EQ(items.at(0).addresses, (Addresses{ip("192.0.2.1"), ip("10.1.0.1")}));
    EXPECT_EQ(items.at(1).addresses, Addresses{ip("192.0.2.2")});
    EXPECT_TRUE(items.at(2).addresses.isEmpty());
    for (const char *text : {"Search for pc01.corp.test in thread ", " with getIpFromHostName",
                             "Lookup for nobody.corp.test in thread ", " found 0 ips"})
        EXPECT_TRUE(log.contains(QString::fromLatin1(text))) << text;

    // Nothing to do starts no thread.
    items = {HostAddresses(QString())};
    common::LogonList named = {logonFrom("alice", "10.1.0.1", "PC01")};
    EXPECT_TRUE(lookupAddressesInThreads(items, optionsFor("dns"), &report));
    EXPECT_EQ(report.started, 0);
    EXPECT_TRUE(lookupHostNamesInThreads(named, optionsFor("dns"), &report));
    EXPECT_EQ(report.started, 0);
    items.clear();
    EXPECT_TRUE(lookupAddressesInThreads(items, optionsFor("dns")));
    QList<lookup::LookupThreadHandle> noThreads;
    EXPECT_EQ(waitForThreads(noThreads, true, 0), 0);
    EXPECT_TRUE(waitForOneThread(noThreads, 0));
}

TEST_F(LookupBatch, HostNamesOfLogons)
{
    common::LogonList logons = {logonFrom("alice", "10.1.0.1"), logonFrom("bob", "10.1.0.2", "KEPT"),
                                logonFrom("carol", "fd00::7"), logonFrom("dave", "10.9.9.9")};
    LogTail log;
    lookup::BatchReport report;
    EXPECT_TRUE(lookupHostNamesInThreads(logons, optionsFor("dns"), &report));
    EXPECT_EQ(report.started, 3);
    EXPECT_EQ(logons.at(0).workstation(), QStringLiteral("PC01"));
    EXPECT_EQ(logons.at(1).workstation(), QStringLiteral("KEPT"));
    EXPECT_EQ(logons.at(2).workstation(), QStringLiteral("V6ONLY"));
    EXPECT_EQ(logons.at(3).workstation(), QString());
    EXPECT_TRUE(log.contains(QStringLiteral("reverse lookup returned pc01.corp.test for 10.1.0.1(alice) in thread ")));
    EXPECT_TRUE(log.contains(QStringLiteral("reverse lookup returned nothing for 10.9.9.9(dave) in thread ")));
}

TEST_F(LookupBatch, ThreadLimitHoldsLookUpsBack)
{
    for (const int limit : {1, 4}) {
        UdpResponder dns([](const QByteArray &query) { return slowAnswer(query, 60); });
        lookup::LookupOptions options = optionsWithServer("dns", dns.endpoint());
        options.maxThreadPool = limit;
        QList<HostAddresses> items = itemsNamed(QStringLiteral("slow%1.test"), 3 * limit);
        lookup::BatchReport report;
        EXPECT_TRUE(lookupAddressesInThreads(items, options, &report));
        EXPECT_EQ(report.finished, 3 * limit);
        // At most this many queries in flight at the server.
        EXPECT_LE(dns.maxPending(), limit) << limit;
        EXPECT_LE(report.peakRunning, limit);
        if (limit > 1) {
            EXPECT_GT(dns.maxPending(), 1) << "look-ups should overlap";
        }
        for (const HostAddresses &item : items)
            EXPECT_EQ(item.addresses, Addresses{ip("10.0.0.9")});
    }
}

TEST_F(LookupBatch, ServerThatNeverAnswersEndsTheBatchAtItsLimit)
{
    UdpResponder silent(noReply);
    const lookup::LookupOptions options = silentOptions(silent, 200);
    QList<HostAddresses> items = {HostAddresses("a.test"), HostAddresses("b.test")};
    items[0].append(ip("192.0.2.1"));
    LogTail log;
    lookup::BatchReport report;
    EXPECT_FALSE(lookupAddressesInThreads(items, options, &report));
    EXPECT_EQ(report.abandoned, 2);
    EXPECT_EQ(items.at(0).addresses, Addresses{ip("192.0.2.1")});
    EXPECT_TRUE(items.at(1).addresses.isEmpty());
    EXPECT_TRUE(log.contains(QStringLiteral("waiting for look-up threads failed with a time-out")));

    common::LogonList logons = {logonFrom("alice", "10.1.0.1")};
    EXPECT_FALSE(lookupHostNamesInThreads(logons, options, &report));
    EXPECT_EQ(logons.at(0).workstation(), QString());
    EXPECT_TRUE(log.contains(QStringLiteral("waitForThreads error")));

    // With one thread, the wait for a free one runs out first.
    lookup::LookupOptions oneThread = options;
    oneThread.maxThreadPool = 1;
    logons.append(logonFrom("bob", "10.1.0.2"));
    EXPECT_FALSE(lookupHostNamesInThreads(logons, oneThread, &report));
    EXPECT_EQ(report.started, 1);
    EXPECT_TRUE(log.contains(QStringLiteral("wait for one thread error")));

    // The late workers finish on their own data and say nothing any more.
    ASSERT_TRUE(lookuptest::waitForIdleWorkers());
    for (const char *text : {"DnsQuery(A) failed", "Lookup for a.test", "reverse lookup returned"})
        EXPECT_FALSE(log.contains(QString::fromLatin1(text))) << log.text().toStdString();
}

// A thread being stopped must not sit out its look-ups: the batch under way
// gives up at once, and so does every later one until it is allowed again.
TEST_F(LookupBatch, InterruptedThreadGivesUpItsBatchesAtOnce)
{
    UdpResponder silent(noReply);
    const lookup::LookupOptions options = silentOptions(silent, 60000);
    QList<HostAddresses> items = itemsNamed(QStringLiteral("pc%1.test"), 3);
    bool complete = true;
    qint64 tookMs = -1;
    QThread *worker = QThread::create([&] {
        QElapsedTimer timer;
        timer.start();
        complete = lookupAddressesInThreads(items, options);
        tookMs = timer.elapsed();
    });
    worker->start();
    QTest::qWait(200); // the batch waits for its silent server
    lookup::LookupThread::interruptBatchesIn(worker);
    ASSERT_TRUE(worker->wait(5000));
    EXPECT_FALSE(complete);
    EXPECT_LT(tookMs, 5000);
    EXPECT_TRUE(items.at(0).addresses.isEmpty());

    // Later batches of that thread start nothing; another thread is not concerned.
    QList<HostAddresses> more = itemsNamed(QStringLiteral("pc%1.later"), 2);
    const int before = lookup::LookupThread::runningCount();
    lookup::BatchReport report;
    QThread *again = QThread::create([&] { complete = lookupAddressesInThreads(more, options, &report); });
    lookup::LookupThread::interruptBatchesIn(again);
    again->start();
    ASSERT_TRUE(again->wait(5000));
    EXPECT_FALSE(complete);
    EXPECT_EQ(report.started, 0);
    EXPECT_LE(lookup::LookupThread::runningCount(), before);
    lookup::LookupThread::allowBatchesIn(worker);
    lookup::LookupThread::allowBatchesIn(again);
    EXPECT_FALSE(lookup::LookupThread::batchesInterrupted());
    delete worker;
    delete again;
    ASSERT_TRUE(lookuptest::waitForIdleWorkers());
}

TEST_F(LookupBatch, AbandonedWorkerOutlivesItsItems)
{
    // Answers come after the batch gave up and after the items are gone.
    UdpResponder late([](const QByteArray &query) { return slowAnswer(query, 400); });
    lookup::LookupOptions options = optionsWithServer("dns", late.endpoint());
    options.batchLimitMs = 100;
    {
        auto items = std::make_unique<QList<HostAddresses>>(itemsNamed(QStringLiteral("late%1.test"), 8));
        auto logons = std::make_unique<common::LogonList>(common::LogonList{logonFrom("alice", "10.1.0.1")});
        EXPECT_FALSE(lookupAddressesInThreads(*items, options));
        EXPECT_FALSE(lookupHostNamesInThreads(*logons, options));
        for (const HostAddresses &item : *items)
            EXPECT_TRUE(item.addresses.isEmpty());
    }
    ASSERT_TRUE(lookuptest::waitForIdleWorkers());
    EXPECT_GE(late.replies(), 8);
}

TEST_F(LookupBatch, ThreadCreationFailureKeepsItemsNotStarted)
{
    QList<HostAddresses> items;
    for (const char *name : {"pc01.corp.test", "pc02.corp.test", "multi.corp.test", "v6only.corp.test"})
        items.append(HostAddresses(QString::fromLatin1(name)));
    items[3].append(ip("192.0.2.4"));
    lookup::LookupThread::failStartsAfterForTest(2);
    LogTail log;
    lookup::BatchReport report;
    EXPECT_FALSE(lookupAddressesInThreads(items, optionsFor("dns"), &report));
    EXPECT_EQ(report.started, 2);
    EXPECT_EQ(items.at(0).addresses, Addresses{ip("10.1.0.1")});
    EXPECT_EQ(items.at(1).addresses, Addresses{ip("10.1.0.2")});
    EXPECT_TRUE(items.at(2).addresses.isEmpty());
    EXPECT_EQ(items.at(3).addresses, Addresses{ip("192.0.2.4")});
    EXPECT_TRUE(log.contains(QStringLiteral("Unable to create thread : %1").arg(errorText(EAGAIN))));
}

// Run by the next test in a process of its own: the process ends while the
// abandoned workers still wait for their answers.
TEST(LookupExit, DISABLED_ExitWhileWorkersRun)
{
    UdpResponder silent(noReply);
    lookup::LookupOptions options = silentOptions(silent, 50);
    options.dnsTimeoutMs = 5000;
    QList<HostAddresses> items = itemsNamed(QStringLiteral("gone%1.test"), 16);
    common::LogonList logons = {logonFrom("alice", "10.1.0.1")};
    const bool addresses = lookupAddressesInThreads(items, options);
    const bool names = lookupHostNamesInThreads(logons, options);
    std::printf("batches cut short: %d, workers running: %d\n", !addresses && !names,
                lookup::LookupThread::runningCount());
    std::fflush(stdout);
    std::exit(0);
}

TEST(LookupExit, ProcessEndsCleanlyWithWorkersStillRunning)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_also_run_disabled_tests", "--gtest_filter=LookupExit.DISABLED_ExitWhileWorkersRun"});
    ASSERT_TRUE(child.waitForFinished(30000));
    const std::string output = child.readAll().toStdString();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output;
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_NE(output.find("batches cut short: 1, workers running: 17"), std::string::npos) << output;
    EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
}
