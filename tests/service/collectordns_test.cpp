// Name resolution in the collector cache against real DNS servers on
// loopback: dnsmasq for answers, a silent server for look-ups that hang.
#include "cachefixture.h"
#include "lookup/systemresolver.h"
#include "settings/settings.h"
#include "support/dnsmasqserver.h"
#include "support/dnsmessagebuilder.h"
#include "support/udpresponder.h"

#include <QTest>
#include <atomic>
#include <future>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>

namespace {

using namespace cachetest;

// Answers getaddrinfo for a few names, each address once per socket type as the real one does.
class TwiceAnsweringResolver : public lookup::ISystemResolver
{
public:
    TwiceAnsweringResolver() { setForTest(this); }
    ~TwiceAnsweringResolver() override { setForTest(nullptr); }
    int addressesOf(const QByteArray &name, QList<Answer> *answers) override
    {
        const QList<QHostAddress> found = names.value(QString::fromUtf8(name).toUpper());
        if (found.isEmpty())
            return EAI_NONAME;
        for (const QHostAddress &address : found)
            for (int socketType = 0; socketType < 2; ++socketType)
                answers->append(
                    Answer{address.protocol() == QAbstractSocket::IPv4Protocol ? AF_INET : AF_INET6, address});
        return 0;
    }
    int nameOf(const QHostAddress &, QByteArray *, int *) override { return EAI_NONAME; }
    QHash<QString, QList<QHostAddress>> names;
};

class CollectorDnsTest : public CollectorCacheTest
{
protected:
    void SetUp() override
    {
        CollectorCacheTest::SetUp();
        settings::Settings::setDirectoryForTest(instance.path());
        config.setDnsEnabled(true);
    }
    void TearDown() override
    {
        settings::Settings::destroy();
        settings::Settings::setDirectoryForTest(QString());
        CollectorCacheTest::TearDown();
    }
    // Points the look-ups at a server; "dns" asks it only, "all" falls back to the system resolver.
    void useServer(const QString &endpoint, const char *mode = "dns")
    {
        instance.writeFile(QStringLiteral("config.ini"),
                           QStringLiteral("[Global]\nVerboseLevel=high\nLookup=%1\nMaxThreadPool=8\nDnsServers=%2\n")
                               .arg(QString::fromLatin1(mode), endpoint)
                               .toUtf8());
    }
    void useDnsmasq(const QByteArray &hosts, const char *mode = "dns")
    {
        dnsmasq = std::make_unique<testsupport::DnsmasqServer>();
        ASSERT_TRUE(dnsmasq->start(hosts)) << dnsmasq->error().toStdString();
        useServer(dnsmasq->endpoint(), mode);
    }
    static QStringList resultTexts(const QList<common::ShdLogon> &items)
    {
        QStringList list;
        for (const common::ShdLogon &item : items)
            list.append(item->toString());
        list.sort();
        return list;
    }

    std::unique_ptr<testsupport::DnsmasqServer> dnsmasq;
};

common::Logon at(common::Logon logon, const char *ip)
{
    logon.setIp(QHostAddress(QString::fromLatin1(ip)));
    return logon;
}

common::Logoff dnsLogoff(const common::Logon &logon)
{
    common::Logoff logoff(logon, common::Logoff::LogoffDns);
    logoff.setTime(common::Clock::now());
    return logoff;
}

TEST_F(CollectorDnsTest, BatchNamesAreResolvedAndEveryAddressOfAWorkstationGetsItsNewestLogon)
{
    useDnsmasq("10.77.0.1 pc01\n10.77.0.2 multi\n10.77.0.3 multi\nfd00::77 multi\n");
    CollectorCache cache(config);
    const common::Logon alice = L("alice", "10.77.0.2", -10, "MULTI");
    const Result result = update(
        cache, {L("alice", "10.77.0.3", -20, "MULTI"), alice, L("bob", "10.77.0.1", -5), L("carol", "10.77.0.50", -5)});
    EXPECT_EQ(texts(result.created),
              texts(common::LogonList{alice, at(alice, "10.77.0.3"), at(alice, "fd00::77"),
                                      L("bob", "10.77.0.1", -5, "PC01"), L("carol", "10.77.0.50", -5)}));
    EXPECT_EQ(indexed(cache, QStringLiteral("MULTI")), (QStringList{"10.77.0.2", "10.77.0.3", "fd00::77"}));
    const QString text = log();
    EXPECT_TRUE(text.contains(QStringLiteral("10.9.0.1: Try to resolve hostnames")));
    EXPECT_TRUE(text.contains(QStringLiteral("10.9.0.1: Try to resolve IPs")));
    EXPECT_TRUE(text.contains(QStringLiteral("10.9.0.1: Number of logons created after resolving IPs: 5")));
}

TEST_F(CollectorDnsTest, CheckFollowsWorkstationsToTheirAddressesNow)
{
    config.setDnsEnabled(false); // the cache is filled as it was collected
    CollectorCache cache(config);
    const common::Logon alice = L("alice", "10.77.1.1", -100, "PCA"), bob = L("bob", "10.77.1.2", -100, "PCB"),
                        carol = L("carol", "10.77.1.3", -100, "PCC"), dave = L("dave", "10.77.1.4", -100, "PCD"),
                        frank = L("frank", "10.77.1.5", -90, "PCF"), gina = L("gina", "10.77.1.8", -80, "PCG"),
                        hugo = L("hugo", "10.77.1.20", -100, "PCH"), ines = L("ines", "10.77.1.30", -100, "PCI");
    update(cache, {alice, bob, carol, dave, frank, gina, hugo, ines});
    // Ines's address passed to someone else without a workstation: she leaves the index.
    update(cache, {L("joe", "10.77.1.30", -50)});

    useDnsmasq("10.77.1.1 pca\n10.77.1.11 pca\n10.77.1.12 pcb\n10.77.1.4 pcd\n10.77.1.8 pcd\n"
               "10.77.1.5 pcf\n10.77.1.6 pcf\n10.77.1.9 pcg\n10.77.1.31 pci\n",
               "all");
    TwiceAnsweringResolver resolver;
    resolver.names.insert(QStringLiteral("PCH"),
                          {QHostAddress(QStringLiteral("10.77.1.20")), QHostAddress(QStringLiteral("10.77.1.21"))});

    const QStringList result = resultTexts(cache.checkDns());
    // Gina's logoff depends on the order of the workstations: she loses 10.77.1.8 either to
    // the DNS check (logged off) or to dave's new logon (already taken, nothing to log off).
    QStringList expected =
        texts(common::LogonList{at(alice, "10.77.1.11"), at(bob, "10.77.1.12"), at(dave, "10.77.1.8"),
                                at(frank, "10.77.1.6"), at(gina, "10.77.1.9"), at(hugo, "10.77.1.21")});
    expected.append(dnsLogoff(bob).toString());
    QStringList withGina = expected + QStringList{dnsLogoff(gina).toString()};
    expected.sort();
    withGina.sort();
    EXPECT_TRUE(result == expected || result == withGina) << result.join(QLatin1Char('\n')).toStdString();

    EXPECT_EQ(texts(cache.logons()),
              texts(common::LogonList{alice, at(alice, "10.77.1.11"), at(bob, "10.77.1.12"), carol, dave,
                                      at(dave, "10.77.1.8"), frank, at(frank, "10.77.1.6"), at(gina, "10.77.1.9"), hugo,
                                      at(hugo, "10.77.1.21"), L("joe", "10.77.1.30", -50)}));
    const QString text = log();
    EXPECT_TRUE(text.contains(QStringLiteral("10.9.0.1: host lookup for user alice(PCA): user already have 10.77.1.1 "
                                             "recorded")));
    EXPECT_TRUE(text.contains(QStringLiteral("10.9.0.1: host lookup for user alice(PCA) new ip found: 10.77.1.11 "
                                             "create a new logon")));
    EXPECT_TRUE(text.contains(
        QStringLiteral("10.9.0.1: host lookup for user bob(PCB) ip not found: 10.77.1.2: remove this logon")));
    EXPECT_TRUE(text.contains(QStringLiteral("10.9.0.1: host lookup for user carol(PCC) no IP found")));
    EXPECT_FALSE(text.contains(QStringLiteral("PCI")));
    // Whoever of dave and gina came first, 10.77.1.8 is dave's now and only
    // his record holds it: gina's holds her new address alone.
    EXPECT_EQ(indexed(cache, QStringLiteral("PCG")), QStringList{QStringLiteral("10.77.1.9")});
    EXPECT_EQ(indexed(cache, QStringLiteral("PCD")), (QStringList{"10.77.1.4", "10.77.1.8"}));

    // A second check finds everything in place.
    EXPECT_EQ(resultTexts(cache.checkDns()), QStringList());
}

TEST_F(CollectorDnsTest, AFlushThatFailsIsLoggedAndTheLookUpsGoOn)
{
    // No system bus there: the resolver's cache cannot be flushed.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket");
    useDnsmasq("10.77.4.1 pcf\n10.77.4.2 pcf\n");
    instance.writeFile(QStringLiteral("config.ini"),
                       instance.readFile(QStringLiteral("config.ini")) + QByteArray("FlushDnsCache=true\n"));
    CollectorCache cache(config);
    const common::Logon alice = L("alice", "10.77.4.1", -10, "PCF");
    EXPECT_EQ(texts(update(cache, {alice}).created), texts(common::LogonList{alice, at(alice, "10.77.4.2")}));
    EXPECT_TRUE(cache.checkDns().isEmpty());
    qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    EXPECT_EQ(log().count(QStringLiteral("10.9.0.1: unable to flush DNS cache")), 2);
}

TEST_F(CollectorDnsTest, CheckWithoutIndexedWorkstationsLooksNothingUp)
{
    useServer(QStringLiteral("127.0.0.1:9"));
    CollectorCache cache(config);
    config.setDnsEnabled(false);
    CollectorCache filled(config);
    update(filled, {L("alice", "10.77.2.1", -10)});
    EXPECT_TRUE(cache.checkDns().isEmpty());
    EXPECT_TRUE(filled.checkDns().isEmpty());
    EXPECT_FALSE(log().contains(QStringLiteral("Search for")));
}

TEST_F(CollectorDnsTest, SnapshotsAnswerAtOnceWhileLookUpsHang)
{
    // The server keeps silent until released; the resolver then gets its answer on the retry.
    std::atomic<bool> released{true};
    testsupport::UdpResponder server([&](const QByteArray &query) {
        const testsupport::DnsQuestion question = testsupport::parseDnsQuery(query);
        testsupport::UdpResponder::Reply reply;
        if (!released.load())
            return reply;
        testsupport::DnsReplyBuilder builder(query);
        if (question.type == 1 && question.name.compare(QLatin1String("PCX"), Qt::CaseInsensitive) == 0)
            builder.addA(question.name, QHostAddress(QStringLiteral("10.77.3.31")));
        if (question.type == 1 && question.name.compare(QLatin1String("PCY"), Qt::CaseInsensitive) == 0)
            builder.addA(question.name, QHostAddress(QStringLiteral("10.77.3.32")));
        reply.data = builder.build();
        return reply;
    });
    useServer(server.endpoint());

    CollectorCache resolving(config); // DnsEnabled: update looks names up
    update(resolving, {L("anna", "10.77.3.9", -20, "PCZ")});
    config.setDnsEnabled(false);
    CollectorCache checked(config);
    update(checked, {L("bob", "10.77.3.2", -10, "PCY")});
    released.store(false);
    const int seedQueries = server.queries();

    std::atomic<bool> updated{false}, checkedDns{false};
    Result result;
    QList<common::ShdLogon> found;
    std::thread updater([&] {
        resolving.update({L("alice", "10.77.3.1", -5, "PCX")}, result.created, result.logoffs);
        updated.store(true);
    });
    std::thread checker([&] {
        found = checked.checkDns();
        checkedDns.store(true);
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return server.queries() >= seedQueries + 2; }, 10000));
    // Taken on another thread so that a snapshot stuck behind the look-ups fails the test instead of hanging it.
    auto snapshots =
        std::async(std::launch::async, [&] { return resolving.logons().size() + checked.logons().size(); });
    const bool answered = snapshots.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(answered);
    EXPECT_FALSE(updated.load());
    EXPECT_FALSE(checkedDns.load());
    released.store(true);
    updater.join();
    checker.join();
    if (answered) {
        EXPECT_EQ(snapshots.get(), 2);
    }

    // The results were applied once the answers came.
    EXPECT_EQ(texts(result.created),
              texts(common::LogonList{L("alice", "10.77.3.1", -5, "PCX"), L("alice", "10.77.3.31", -5, "PCX")}));
    EXPECT_EQ(resultTexts(found), texts(common::LogonList{L("bob", "10.77.3.32", -10, "PCY")}) +
                                      QStringList{dnsLogoff(L("bob", "10.77.3.2", -10, "PCY")).toString()});
}

} // namespace
