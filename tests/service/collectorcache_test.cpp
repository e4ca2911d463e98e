#include "cachefixture.h"

namespace {

using namespace cachetest;

TEST_F(CollectorCacheTest, MergeKeepsTheNewestLogonPerAddressAndLogsOffAReplacedUser)
{
    struct Case
    {
        const char *name;
        common::LogonList cached, batch, created, replacedLogons, after;
    };
    const QList<Case> cases = {
        {"a new address is cached and announced",
         {},
         {L("alice", "10.0.0.1", -10)},
         {L("alice", "10.0.0.1", -10)},
         {},
         {L("alice", "10.0.0.1", -10)}},
        {"the same user later is announced again, without logoff",
         {L("alice", "10.0.0.1", -100, "PC1")},
         {L("alice", "10.0.0.1", -10, "PC1")},
         {L("alice", "10.0.0.1", -10, "PC1")},
         {},
         {L("alice", "10.0.0.1", -10, "PC1")}},
        {"users compare ignoring case",
         {L("Alice", "10.0.0.1", -100)},
         {L("alice", "10.0.0.1", -10)},
         {L("alice", "10.0.0.1", -10)},
         {},
         {L("alice", "10.0.0.1", -10)}},
        {"another user later logs the cached one off (its own time and fields)",
         {L("alice", "10.0.0.1", -100, "PC1")},
         {L("bob", "10.0.0.1", -10)},
         {L("bob", "10.0.0.1", -10)},
         {L("alice", "10.0.0.1", -100, "PC1")},
         {L("bob", "10.0.0.1", -10)}},
        {"an equal time is silent",
         {L("alice", "10.0.0.1", -10)},
         {L("bob", "10.0.0.1", -10)},
         {},
         {},
         {L("alice", "10.0.0.1", -10)}},
        {"an older time is silent",
         {L("alice", "10.0.0.1", -10)},
         {L("bob", "10.0.0.1", -20)},
         {},
         {},
         {L("alice", "10.0.0.1", -10)}},
        {"two in one batch: the later wins",
         {},
         {L("alice", "10.0.0.1", -20), L("bob", "10.0.0.1", -10), L("carol", "10.0.0.1", -30)},
         {L("bob", "10.0.0.1", -10)},
         {},
         {L("bob", "10.0.0.1", -10)}},
        {"two in one batch with equal times: the first wins",
         {},
         {L("alice", "10.0.0.1", -10), L("bob", "10.0.0.1", -10)},
         {L("alice", "10.0.0.1", -10)},
         {},
         {L("alice", "10.0.0.1", -10)}},
        {"logons not later than CacheTimeout ago are dropped",
         {},
         {L("alice", "10.0.0.1", -3600), L("bob", "10.0.0.2", -3599), L("carol", "10.0.0.3", -7200)},
         {L("bob", "10.0.0.2", -3599)},
         {},
         {L("bob", "10.0.0.2", -3599)}},
    };
    for (const Case &c : cases) {
        CollectorCache cache(config);
        update(cache, c.cached);
        const Result result = update(cache, c.batch);
        EXPECT_EQ(texts(result.created), texts(c.created)) << c.name;
        EXPECT_EQ(texts(result.logoffs), replaced(c.replacedLogons)) << c.name;
        EXPECT_EQ(texts(cache.logons()), texts(c.after)) << c.name;
    }
    // Sizes logged: the batch after the newest-per-address step (never the
    // batch as it came), and what was announced, only when something was.
    const QString text = log();
    EXPECT_TRUE(text.contains(QStringLiteral("10.9.0.1: Number of logons after removed oldest: 1\r\n")));
    EXPECT_FALSE(text.contains(QStringLiteral("10.9.0.1: Number of logons after removed oldest: 3")));
    EXPECT_TRUE(text.contains(QStringLiteral("10.9.0.1: Number of logons created: 1\r\n")));
    EXPECT_FALSE(text.contains(QStringLiteral("10.9.0.1: Number of logons created: 0")));
}

TEST_F(CollectorCacheTest, ALogonWithoutWorkstationTakesTheNameOfTheSameUsersRecentLogonAtItsAddress)
{
    struct Case
    {
        const char *name;
        common::Logon cached, incoming;
        const char *workstation;
    };
    const QList<Case> cases = {
        {"60 seconds earlier", L("alice", "10.0.0.1", -100, "pc07.corp.test"), L("alice", "10.0.0.1", -40), "PC07"},
        {"61 seconds earlier", L("alice", "10.0.0.1", -101, "PC07"), L("alice", "10.0.0.1", -40), ""},
        {"user in another case", L("ALICE", "10.0.0.1", -50, "PC07"), L("alice", "10.0.0.1", -40), "PC07"},
        {"another user", L("bob", "10.0.0.1", -50, "PC07"), L("alice", "10.0.0.1", -40), ""},
        {"another address", L("alice", "10.0.0.2", -50, "PC07"), L("alice", "10.0.0.1", -40), ""},
    };
    for (const Case &c : cases) {
        CollectorCache cache(config);
        update(cache, {c.cached});
        const Result result = update(cache, {c.incoming});
        ASSERT_EQ(result.created.size(), 1) << c.name;
        EXPECT_EQ(result.created.first().workstation(), QString::fromLatin1(c.workstation)) << c.name;
    }
}

TEST_F(CollectorCacheTest, LogonsExpireCacheTimeoutAfterTheirTimeWithoutLogoff)
{
    CollectorCache cache(config);
    update(cache, {L("alice", "10.0.0.1", 0, "PC1"), L("bob", "10.0.0.2", 0, "PC2")});
    // Refreshed half-way: the refresh counts, not the first logon.
    common::Clock::advanceForTest(1800);
    update(cache, {L("bob", "10.0.0.2", 1800, "PC2")});

    common::Clock::advanceForTest(1800); // alice's logon is exactly CacheTimeout old: kept
    EXPECT_TRUE(update(cache, {}).logoffs.isEmpty());
    EXPECT_EQ(cache.size(), 2);
    common::Clock::advanceForTest(1); // an empty batch still runs the expiry
    const Result result = update(cache, {});
    EXPECT_TRUE(result.created.isEmpty());
    EXPECT_TRUE(result.logoffs.isEmpty());
    EXPECT_EQ(texts(cache.logons()), texts(common::LogonList{L("bob", "10.0.0.2", 1800, "PC2")}));
    EXPECT_FALSE(cache.hostRecordsForTest().contains(QStringLiteral("PC1")));
    EXPECT_TRUE(log().contains(QStringLiteral(
        "10.9.0.1: User remove from the cache (expired): alice on 10.0.0.1 (Tue Mar 10 12:00:00 2026)")));
    EXPECT_TRUE(log().contains(QStringLiteral("10.9.0.1: Delete alice (10.0.0.1) from collector cache")));

    common::Clock::advanceForTest(1799);
    update(cache, {});
    EXPECT_EQ(cache.size(), 1);
    common::Clock::advanceForTest(1);
    update(cache, {});
    EXPECT_EQ(cache.size(), 0);
    EXPECT_TRUE(cache.hostRecordsForTest().isEmpty());
}

TEST_F(CollectorCacheTest, RemovalGoesByAddressWhoeverIsCachedThere)
{
    CollectorCache cache(config);
    update(cache, {L("alice", "10.0.0.1", -10, "PC1"), L("alice", "10.0.0.2", -5, "PC1")});
    // Another user's logon at the address removes alice's, and her index entry with it.
    EXPECT_TRUE(cache.remove(L("bob", "10.0.0.1", -1, "PC9")));
    EXPECT_EQ(indexed(cache, QStringLiteral("PC1")), QStringList{QStringLiteral("10.0.0.2")});
    EXPECT_FALSE(cache.remove(L("bob", "10.0.0.1", -1)));
    // Said for the address that held nothing as well.
    EXPECT_EQ(log().count(QStringLiteral("10.9.0.1: Delete bob (10.0.0.1) from collector cache")), 2);
    EXPECT_TRUE(cache.remove(L("alice", "10.0.0.2", -5)));
    EXPECT_EQ(cache.size(), 0);
    EXPECT_TRUE(cache.hostRecordsForTest().isEmpty());
}

// A logoff found by a probe ends only the logon it was about: one that
// arrives late finds another user, or a newer logon, and leaves it alone.
TEST_F(CollectorCacheTest, EndedLogonIsRemovedOnlyWhenItIsStillTheCachedOne)
{
    CollectorCache cache(config);
    update(cache, {L("bob", "10.0.0.1", -10, "PC1"), L("Alice", "10.0.0.2", -10, "PC2")});
    const auto ended = [](const char *user, const char *ip, qint64 secs) {
        return common::Logoff(L(user, ip, secs), common::Logoff::LogoffPing);
    };
    EXPECT_FALSE(cache.removeEnded(ended("alice", "10.0.0.1", -1)));  // bob sits there now
    EXPECT_FALSE(cache.removeEnded(ended("alice", "10.0.0.2", -11))); // older than the cached logon
    EXPECT_FALSE(cache.removeEnded(ended("alice", "10.0.0.3", -1)));  // nothing cached
    EXPECT_EQ(cache.size(), 2);
    EXPECT_TRUE(cache.removeEnded(ended("alice", "10.0.0.2", -10))); // same time, any letter case
    EXPECT_TRUE(cache.removeEnded(ended("bob", "10.0.0.1", 0)));
    EXPECT_EQ(cache.size(), 0);
    EXPECT_TRUE(cache.hostRecordsForTest().isEmpty());
    EXPECT_TRUE(log().contains(QStringLiteral("10.9.0.1: Delete bob (10.0.0.1) from collector cache")));
}

TEST_F(CollectorCacheTest, WorkstationIndexFollowsTheNewestUserAndTheAddressesSheHoldsNow)
{
    CollectorCache cache(config);
    update(cache, {L("alice", "10.0.0.1", -100, "PC1"), L("alice", "10.0.0.2", -90, "PC1")});
    HostRecord record = cache.hostRecordsForTest().value(QStringLiteral("PC1"));
    EXPECT_EQ(record.user, QStringLiteral("alice"));
    EXPECT_EQ(record.time, T0.addSecs(-90));
    EXPECT_EQ(indexed(cache, QStringLiteral("PC1")), (QStringList{"10.0.0.1", "10.0.0.2"}));

    // A refresh updates the entry in place, a new SID included.
    common::Logon refresh = L("ALICE", "10.0.0.1", -50, "PC1");
    refresh.setSid(QStringLiteral("S-1-5-21-7-new"));
    update(cache, {refresh});
    record = cache.hostRecordsForTest().value(QStringLiteral("PC1"));
    EXPECT_EQ(record.logons.size(), 2);
    EXPECT_EQ(record.sid, QStringLiteral("S-1-5-21-7-new"));
    EXPECT_EQ(record.time, T0.addSecs(-50));

    // Another user at the workstation starts a new record.
    update(cache, {L("bob", "10.0.0.3", -40, "PC1")});
    record = cache.hostRecordsForTest().value(QStringLiteral("PC1"));
    EXPECT_EQ(record.user, QStringLiteral("bob"));
    EXPECT_EQ(indexed(cache, QStringLiteral("PC1")), QStringList{QStringLiteral("10.0.0.3")});

    // A logon replaced at its address leaves its workstation's record: the
    // index must not grow with addresses that belong to others now.
    for (int i = 0; i < 200; ++i)
        update(cache, {L(qPrintable(QStringLiteral("user%1").arg(i)), "10.0.0.9", -300 + i,
                         qPrintable(QStringLiteral("PC-%1").arg(i)))});
    const QHash<QString, HostRecord> records = cache.hostRecordsForTest();
    EXPECT_EQ(records.keys().size(), 2);
    EXPECT_EQ(indexed(cache, QStringLiteral("PC-199")), QStringList{QStringLiteral("10.0.0.9")});
}

TEST_F(CollectorCacheTest, DumpFileShowsTheCacheAfterEveryChange)
{
    service::cacheDumpEnabled.store(true);
    config.setServers({QStringLiteral("10.9.0.2"), QStringLiteral("10.9.0.1")});
    CollectorCache cache(config);
    const QString file = QStringLiteral("log/cache for 10.9.0.1_10.9.0.2.txt");
    update(cache, {L("bob", "10.0.0.2", -5), L("alice", "10.0.0.1", -10)});
    EXPECT_EQ(QString::fromUtf8(instance.readFile(file)),
              L("alice", "10.0.0.1", -10).toString() + "\n" + L("bob", "10.0.0.2", -5).toString() + "\n\n");
    cache.remove(L("bob", "10.0.0.2", 0));
    EXPECT_EQ(QString::fromUtf8(instance.readFile(file)), L("alice", "10.0.0.1", -10).toString() + "\n\n");
    common::Clock::advanceForTest(3600);
    update(cache, {});
    EXPECT_EQ(instance.readFile(file), QByteArray("\n"));
}

} // namespace
