// Batches of look-ups in threads: limits, the batch time limit, abandoned
// workers and thread creation failures.
#include "lookup/namelookup.h"
#include "lookuptestsupport.h"
#include "support/dnsmessagebuilder.h"
#include "support/udpresponder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QProcess>
#include <QSet>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

using lookuptest::LogTail;
using lookuptest::optionsFor;
using lookuptest::optionsWithServer;
using testsupport::DnsReplyBuilder;
using testsupport::UdpResponder;

namespace {

QHostAddress ip(const QString &text)
{
    return QHostAddress(text);
}

common::Logon logonFrom(const QString &user, const QString &address, const QString &workstation = QString())
{
    return common::Logon(user, ip(address), QDateTime::currentDateTime(), workstation, QStringLiteral("CORP"),
                         QString(), QStringLiteral("corp.test"));
}

// Answers every A query with 10.0.0.<n> after a delay; AAAA with nothing.
UdpResponder::Reply slowAnswer(const QByteArray &query, int delayMs)
{
    const testsupport::DnsQuestion question = testsupport::parseDnsQuery(query);
    DnsReplyBuilder reply(query);
    if (question.type == 1)
        reply.addA(question.name, ip(QStringLiteral("10.0.0.9")));
    return {reply.build(), delayMs};
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
    lookup::LookupOptions options = optionsFor(QStringLiteral("dns"));
    QList<HostAddresses> items;
    for (int i = 0; i < 200; ++i)
        items.append(HostAddresses(QStringLiteral("bulk%1.corp.test").arg(i)));
    lookup::BatchReport report;
    EXPECT_TRUE(lookupAddressesInThreads(items, options, &report));
    EXPECT_EQ(report.started, 200);
    EXPECT_EQ(report.finished, 200);
    EXPECT_EQ(report.abandoned, 0);
    EXPECT_LE(report.peakRunning, 64);
    for (int i = 0; i < 200; ++i) {
        const QString expected = QStringLiteral("10.2.%1.%2").arg(i / 100).arg(i % 100 + 1);
        EXPECT_EQ(items.at(i).addresses, QList<QHostAddress>{ip(expected)}) << i;
    }
}

TEST_F(LookupBatch, ItemsWithoutNameAreSkippedAndFoundAddressesAppended)
{
    QList<HostAddresses> items = {HostAddresses(QStringLiteral("pc01.corp.test")), HostAddresses(QString()),
                                  HostAddresses(QStringLiteral("nobody.corp.test"))};
    items[0].append(ip(QStringLiteral("192.0.2.1")));
    items[1].append(ip(QStringLiteral("192.0.2.2")));
    LogTail log;
    lookup::BatchReport report;
    EXPECT_TRUE(lookupAddressesInThreads(items, optionsFor(QStringLiteral("dns")), &report));
    EXPECT_EQ(report.started, 2);
    EXPECT_EQ(items.at(0).addresses,
              (QList<QHostAddress>{ip(QStringLiteral("192.0.2.1")), ip(QStringLiteral("10.1.0.1"))}));
    EXPECT_EQ(items.at(1).addresses, QList<QHostAddress>{ip(QStringLiteral("192.0.2.2"))});
    EXPECT_TRUE(items.at(2).addresses.isEmpty());
    EXPECT_TRUE(log.contains(QStringLiteral("Search for pc01.corp.test in thread ")));
    EXPECT_TRUE(log.contains(QStringLiteral(" with getIpFromHostName")));
    EXPECT_TRUE(log.contains(QStringLiteral("Lookup for nobody.corp.test in thread ")));
    EXPECT_TRUE(log.contains(QStringLiteral(" found 0 ips")));
}

TEST_F(LookupBatch, NothingToDoStartsNoThread)
{
    QList<HostAddresses> items = {HostAddresses(QString())};
    common::LogonList logons = {logonFrom(QStringLiteral("alice"), QStringLiteral("10.1.0.1"), QStringLiteral("PC01"))};
    lookup::BatchReport report;
    EXPECT_TRUE(lookupAddressesInThreads(items, optionsFor(QStringLiteral("dns")), &report));
    EXPECT_EQ(report.started, 0);
    EXPECT_TRUE(lookupHostNamesInThreads(logons, optionsFor(QStringLiteral("dns")), &report));
    EXPECT_EQ(report.started, 0);
    QList<HostAddresses> none;
    EXPECT_TRUE(lookupAddressesInThreads(none, optionsFor(QStringLiteral("dns"))));
}

TEST_F(LookupBatch, HostNamesOfLogons)
{
    common::LogonList logons = {
        logonFrom(QStringLiteral("alice"), QStringLiteral("10.1.0.1")),
        logonFrom(QStringLiteral("bob"), QStringLiteral("10.1.0.2"), QStringLiteral("KEPT")),
        logonFrom(QStringLiteral("carol"), QStringLiteral("fd00::7")),
        logonFrom(QStringLiteral("dave"), QStringLiteral("10.9.9.9")),
    };
    LogTail log;
    lookup::BatchReport report;
    EXPECT_TRUE(lookupHostNamesInThreads(logons, optionsFor(QStringLiteral("dns")), &report));
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
    struct Case
    {
        int maxThreadPool;
        int names;
        int mostAtOnce; // at most this many queries in flight at the server
    };
    for (const Case &c : {Case{1, 5, 1}, Case{4, 12, 4}}) {
        UdpResponder dns([](const QByteArray &query) { return slowAnswer(query, 60); });
        lookup::LookupOptions options = optionsWithServer(QStringLiteral("dns"), dns.endpoint());
        options.maxThreadPool = c.maxThreadPool;
        QList<HostAddresses> items;
        for (int i = 0; i < c.names; ++i)
            items.append(HostAddresses(QStringLiteral("slow%1.test").arg(i)));
        lookup::BatchReport report;
        EXPECT_TRUE(lookupAddressesInThreads(items, options, &report));
        EXPECT_EQ(report.finished, c.names);
        EXPECT_LE(dns.maxPending(), c.mostAtOnce) << c.maxThreadPool;
        EXPECT_LE(report.peakRunning, c.mostAtOnce);
        if (c.mostAtOnce > 1) {
            EXPECT_GT(dns.maxPending(), 1) << "look-ups should overlap";
        }
        for (const HostAddresses &item : items)
            EXPECT_EQ(item.addresses, QList<QHostAddress>{ip(QStringLiteral("10.0.0.9"))});
    }
}

TEST_F(LookupBatch, ServerThatNeverAnswersEndsTheBatchAtItsLimit)
{
    UdpResponder silent([](const QByteArray &) { return UdpResponder::Reply(); });
    lookup::LookupOptions options = optionsWithServer(QStringLiteral("dns"), silent.endpoint());
    options.dnsTimeoutMs = 1500;
    options.dnsTries = 1;
    options.batchLimitMs = 200;

    QList<HostAddresses> items = {HostAddresses(QStringLiteral("a.test")), HostAddresses(QStringLiteral("b.test"))};
    items[0].append(ip(QStringLiteral("192.0.2.1")));
    LogTail log;
    lookup::BatchReport report;
    EXPECT_FALSE(lookupAddressesInThreads(items, options, &report));
    EXPECT_EQ(report.abandoned, 2);
    EXPECT_EQ(items.at(0).addresses, QList<QHostAddress>{ip(QStringLiteral("192.0.2.1"))});
    EXPECT_TRUE(items.at(1).addresses.isEmpty());
    EXPECT_TRUE(log.contains(QStringLiteral("waiting for look-up threads failed with a time-out")));

    common::LogonList logons = {logonFrom(QStringLiteral("alice"), QStringLiteral("10.1.0.1"))};
    EXPECT_FALSE(lookupHostNamesInThreads(logons, options, &report));
    EXPECT_EQ(logons.at(0).workstation(), QString());
    EXPECT_TRUE(log.contains(QStringLiteral("waitForThreads error")));

    // The late workers finish on their own data and say nothing any more.
    ASSERT_TRUE(lookuptest::waitForIdleWorkers());
    EXPECT_FALSE(log.contains(QStringLiteral("DnsQuery(A) failed"))) << log.text().toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("Lookup for a.test")));
    EXPECT_FALSE(log.contains(QStringLiteral("reverse lookup returned")));
}

TEST_F(LookupBatch, WaitForOneThreadFailureStopsTheBatch)
{
    UdpResponder silent([](const QByteArray &) { return UdpResponder::Reply(); });
    lookup::LookupOptions options = optionsWithServer(QStringLiteral("dns"), silent.endpoint());
    options.dnsTimeoutMs = 1500;
    options.dnsTries = 1;
    options.batchLimitMs = 150;
    options.maxThreadPool = 1;
    common::LogonList logons = {logonFrom(QStringLiteral("alice"), QStringLiteral("10.1.0.1")),
                                logonFrom(QStringLiteral("bob"), QStringLiteral("10.1.0.2"))};
    LogTail log;
    lookup::BatchReport report;
    EXPECT_FALSE(lookupHostNamesInThreads(logons, options, &report));
    EXPECT_EQ(report.started, 1);
    EXPECT_TRUE(log.contains(QStringLiteral("wait for one thread error")));
}

TEST_F(LookupBatch, AbandonedWorkerOutlivesItsItems)
{
    // Answers come after the batch gave up and after the items are gone.
    UdpResponder late([](const QByteArray &query) { return slowAnswer(query, 400); });
    lookup::LookupOptions options = optionsWithServer(QStringLiteral("dns"), late.endpoint());
    options.batchLimitMs = 100;
    {
        auto items = std::make_unique<QList<HostAddresses>>();
        for (int i = 0; i < 8; ++i)
            items->append(HostAddresses(QStringLiteral("late%1.test").arg(i)));
        auto logons = std::make_unique<common::LogonList>();
        logons->append(logonFrom(QStringLiteral("alice"), QStringLiteral("10.1.0.1")));
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
    items[3].append(ip(QStringLiteral("192.0.2.4")));
    lookup::LookupThread::failStartsAfterForTest(2);
    LogTail log;
    lookup::BatchReport report;
    EXPECT_FALSE(lookupAddressesInThreads(items, optionsFor(QStringLiteral("dns")), &report));
    EXPECT_EQ(report.started, 2);
    EXPECT_EQ(items.at(0).addresses, QList<QHostAddress>{ip(QStringLiteral("10.1.0.1"))});
    EXPECT_EQ(items.at(1).addresses, QList<QHostAddress>{ip(QStringLiteral("10.1.0.2"))});
    EXPECT_TRUE(items.at(2).addresses.isEmpty());
    EXPECT_EQ(items.at(3).addresses, QList<QHostAddress>{ip(QStringLiteral("192.0.2.4"))});
    EXPECT_TRUE(log.contains(QStringLiteral("Unable to create thread : %1").arg(errorText(EAGAIN))));
}

TEST_F(LookupBatch, WaitingWithoutThreads)
{
    QList<lookup::LookupThreadHandle> none;
    EXPECT_EQ(waitForThreads(none, true, 0), 0);
    EXPECT_TRUE(waitForOneThread(none, 0));
}

// Run by the next test in a process of its own: the process ends while the
// abandoned workers still wait for their answers.
TEST(LookupExit, DISABLED_ExitWhileWorkersRun)
{
    UdpResponder silent([](const QByteArray &) { return UdpResponder::Reply(); });
    lookup::LookupOptions options = optionsWithServer(QStringLiteral("dns"), silent.endpoint());
    options.dnsTimeoutMs = 5000;
    options.batchLimitMs = 50;
    QList<HostAddresses> items;
    for (int i = 0; i < 16; ++i)
        items.append(HostAddresses(QStringLiteral("gone%1.test").arg(i)));
    common::LogonList logons = {logonFrom(QStringLiteral("alice"), QStringLiteral("10.1.0.1"))};
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
                {QStringLiteral("--gtest_also_run_disabled_tests"),
                 QStringLiteral("--gtest_filter=LookupExit.DISABLED_ExitWhileWorkersRun")});
    ASSERT_TRUE(child.waitForFinished(30000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("batches cut short: 1, workers running: 17"))) << output.toStdString();
    EXPECT_FALSE(output.contains(QStringLiteral("Sanitizer"))) << output.toStdString();
}
