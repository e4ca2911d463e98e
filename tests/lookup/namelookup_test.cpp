// Single look-ups: the three modes, reverse names, the system resolver's
// answers, LLMNR, bad names and broken answers.
#include "lookup/namelookup.h"
#include "lookuptestsupport.h"
#include "support/dnsmessagebuilder.h"
#include "support/llmnrresponder.h"
#include "support/udpresponder.h"

#include <QSet>
#include <arpa/nameser.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>

using lookuptest::FakeSystemResolver;
using lookuptest::LogTail;
using lookuptest::optionsFor;
using lookuptest::optionsWithServer;
using testsupport::DnsReplyBuilder;
using testsupport::UdpResponder;
using Addresses = QList<QHostAddress>;

namespace {

QHostAddress ip(const char *text)
{
    return QHostAddress(QString::fromLatin1(text));
}

UdpResponder::Reply noReply(const QByteArray &)
{
    return {};
}

} // namespace

TEST(NameLookup, ForwardLookupAsksDnsForAThenAAAAAndLogsOnlyAFailedA)
{
    const lookup::LookupOptions options = optionsFor("dns");
    LogTail found;
    const Addresses multi = getIpFromHostName("multi.corp.test", options);
    ASSERT_EQ(multi.size(), 3);
    EXPECT_EQ((QSet<QHostAddress>{multi.at(0), multi.at(1)}), (QSet<QHostAddress>{ip("10.1.0.3"), ip("10.1.0.4")}));
    EXPECT_EQ(multi.at(2), ip("fd00::3"));
    EXPECT_FALSE(found.contains(QStringLiteral("DnsQuery"))) << found.text().toStdString();
    EXPECT_EQ(getIpFromHostName("v6only.corp.test", options), Addresses{ip("fd00::7")});
    // Names are case-insensitive, a final dot makes no difference.
    EXPECT_EQ(getIpFromHostName("PC02.Corp.Test.", options), Addresses{ip("10.1.0.2")});

    LogTail log;
    EXPECT_TRUE(getIpFromHostName("nobody.corp.test", options).isEmpty());
    EXPECT_TRUE(log.contains(QStringLiteral("DnsQuery(A) failed : Domain name not found (error: 4) for "
                                            "nobody.corp.test")))
        << log.text().toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("DnsQuery(AAAA)")));
}

TEST(NameLookup, OnlyModeAllFallsBackToTheSystemResolver)
{
    lookup::LookupOptions llmnr = optionsFor("llmnr");
    testsupport::LlmnrResponder silent({});
    llmnr.llmnrTargets = lookup::LookupOptions::parseEndpoints(silent.endpoint(), 5355, QString());
    const lookup::LookupOptions all = optionsFor("all");
    const QList<lookup::ISystemResolver::Answer> twoFamilies = {{AF_INET, ip("10.7.7.7")}, {AF_INET6, ip("fd00::77")}};
    const struct
    {
        lookup::LookupOptions options;
        const char *name;
        int status;
        QList<lookup::ISystemResolver::Answer> answers;
        Addresses expected;
        QString logged; // empty: no getaddrinfo line at all
    } cases[] = {
        {optionsFor("dns"), "elsewhere.corp.test", 0, twoFamilies, {}, QString()},
        {llmnr, "elsewhere.corp.test", 0, twoFamilies, {}, QString()},
        {all, "elsewhere.corp.test", 0, twoFamilies, {ip("10.7.7.7"), ip("fd00::77")}, QString()},
        // A name DNS knows never reaches the system resolver.
        {all, "pc01.corp.test", 0, twoFamilies, {ip("10.1.0.1")}, QString()},
        {all, "elsewhere.corp.test", EAI_NONAME, {}, {}, QString()},
        {all, "elsewhere.corp.test", EAI_NODATA, {}, {}, QString()},
        {all, "elsewhere.corp.test", EAI_AGAIN, {}, {}, QStringLiteral("getaddrinfo failed with error: ")},
        // Once per socket type, as the resolver answers; an unknown family is skipped.
        {all,
         "elsewhere.corp.test",
         0,
         {{AF_INET, ip("10.7.7.7")}, {AF_INET, ip("10.7.7.7")}, {AF_PACKET, QHostAddress()}, {AF_INET6, ip("::1")}},
         {ip("10.7.7.7"), ip("10.7.7.7"), ip("::1")},
         QStringLiteral("(getaddrinfo) Family: Other %1").arg(AF_PACKET)},
    };
    for (const auto &c : cases) {
        const std::string what = c.options.mode.toStdString() + " " + c.name + " " + std::to_string(c.status);
        FakeSystemResolver system;
        system.addressStatus = c.status;
        system.addressAnswers = c.answers;
        LogTail log;
        EXPECT_EQ(getIpFromHostName(c.name, c.options), c.expected) << what;
        const bool asked = c.options.mode == QLatin1String("all") && QByteArray(c.name) != "pc01.corp.test";
        EXPECT_EQ(system.addressCalls.load(), asked ? 1 : 0) << what;
        EXPECT_EQ(log.contains(c.logged.isEmpty() ? QStringLiteral("getaddrinfo") : c.logged), !c.logged.isEmpty())
            << what << log.text().toStdString();
    }
}

// Plain IPv4 and IPv6 names are exercised by the PTR look-ups below.
TEST(NameLookup, ReverseLookupName)
{
    EXPECT_EQ(reverseLookupName("::1"), QStringLiteral("1.") + QStringLiteral("0.").repeated(31) + "ip6.arpa.");
    // A mapped IPv4 address is asked as IPv6.
    EXPECT_EQ(reverseLookupName("::ffff:10.0.0.5"),
              QStringLiteral("5.0.0.0.0.0.a.0.f.f.f.f.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.ip6.arpa."));
    EXPECT_EQ(reverseLookupName("not an address"), QString());
    EXPECT_EQ(reverseLookupName(QString()), QString());
}

TEST(NameLookup, HostNameByDnsPtr)
{
    const lookup::LookupOptions options = optionsFor("dns");
    EXPECT_EQ(getHostNameFromIp("10.1.0.1", "CORP", options), QStringLiteral("pc01.corp.test"));
    EXPECT_EQ(getHostNameFromIp("fd00::7", "CORP", options), QStringLiteral("v6only.corp.test"));
    LogTail log;
    EXPECT_EQ(getHostNameFromIp("garbage", "CORP", options), QString());
    EXPECT_TRUE(log.contains(QStringLiteral("DnsQuery(PTR) failed : ")));

    // A server that is down: every query fails fast or times out.
    quint16 closedPort = 0;
    {
        UdpResponder probe(noReply);
        closedPort = probe.port();
    }
    lookup::LookupOptions down = optionsWithServer("dns", QStringLiteral("127.0.0.1:%1").arg(closedPort));
    down.dnsTimeoutMs = 200;
    down.dnsTries = 1;
    LogTail downLog;
    EXPECT_TRUE(getIpFromHostName("pc01.corp.test", down).isEmpty());
    EXPECT_EQ(getHostNameFromIp("10.1.0.1", "CORP", down), QString());
    EXPECT_TRUE(downLog.contains(QStringLiteral("DnsQuery(A) failed : ")));
    EXPECT_TRUE(downLog.contains(QStringLiteral("DnsQuery(PTR) failed : ")));
}

TEST(NameLookup, HostNameBySystemResolverInModeAllOnly)
{
    const QString domainInstead = QStringLiteral("getnameinfo return domain in place of host");
    const struct
    {
        QString address;
        QString domain;
        int status;
        QByteArray answer;
        QString expected;
        QString logged;
    } cases[] = {
        {"10.9.9.9", "CORP", 0, "pc09.corp.test", "pc09.corp.test", {}},
        // The numeric answer of an address without a name.
        {"10.9.9.9", "CORP", 0, "10.9.9.9", QString(), {}},
        {"fd00:0:0::9", "CORP", 0, "fd00::9", QString(), {}},
        // The domain's name in place of the host's.
        {"10.9.9.9", "CORP", 0, "corp", QString(), domainInstead},
        {"10.9.9.9", "corp.example.com", 0, "corp", QString(), domainInstead},
        {"10.9.9.9", "CORP", EAI_AGAIN, "", QString(), "getnameinfo failed: "},
        {"10.9.9.9", "CORP", EAI_SYSTEM, "", QString(),
         QStringLiteral("getnameinfo failed: Connection refused (error: %1) (status = %2).")
             .arg(ECONNREFUSED)
             .arg(EAI_SYSTEM)},
    };
    for (const auto &c : cases) {
        FakeSystemResolver system;
        system.nameStatus = c.status;
        system.nameErrno = ECONNREFUSED;
        system.nameAnswer = c.answer;
        LogTail log;
        EXPECT_EQ(getHostNameFromIp(c.address, c.domain, optionsFor("all")), c.expected) << c.answer.toStdString();
        EXPECT_EQ(system.nameCalls.load(), 1);
        if (!c.logged.isEmpty()) {
            EXPECT_TRUE(log.contains(c.logged)) << log.text().toStdString();
        }
    }
    // Other modes never ask it.
    FakeSystemResolver system;
    system.nameAnswer = "pc09";
    EXPECT_EQ(getHostNameFromIp("10.9.9.9", "CORP", optionsFor("dns")), QString());
    EXPECT_EQ(system.nameCalls.load(), 0);
}

// Only what this machine answers from its own files: no traffic leaves loopback.
TEST(NameLookup, RealSystemResolverKnowsLocalhostInModeAllOnly)
{
    const lookup::LookupOptions all = optionsFor("all");
    EXPECT_TRUE(getIpFromHostName("localhost", all).contains(QHostAddress(QHostAddress::LocalHost)));
    EXPECT_TRUE(getIpFromHostName("localhost", optionsFor("dns")).isEmpty());
    EXPECT_EQ(getHostNameFromIp("127.0.0.1", "CORP", all), QStringLiteral("localhost"));
    LogTail log;
    EXPECT_EQ(getHostNameFromIp("127.0.0.1", "LOCALHOST", all), QString());
    EXPECT_TRUE(log.contains(QStringLiteral("getnameinfo return domain in place of host")));
}

TEST(NameLookup, LlmnrAsksTheResponderAndNotDns)
{
    testsupport::LlmnrResponder responder({{"PC21", {ip("10.3.0.21"), ip("fd00::21")}}});
    UdpResponder dns(noReply);
    lookup::LookupOptions options = optionsWithServer("llmnr", dns.endpoint());
    options.llmnrTargets = lookup::LookupOptions::parseEndpoints(responder.endpoint(), 5355, QString());

    EXPECT_EQ(getIpFromHostName("pc21", options), (Addresses{ip("10.3.0.21"), ip("fd00::21")}));
    EXPECT_EQ(getHostNameFromIp("10.3.0.21", "CORP", options), QStringLiteral("pc21"));
    EXPECT_EQ(getHostNameFromIp("fd00::21", "CORP", options), QStringLiteral("pc21"));
    LogTail log;
    EXPECT_TRUE(getIpFromHostName("pc99", options).isEmpty());
    EXPECT_TRUE(
        log.contains(QStringLiteral("DnsQuery(A) failed : Timeout while contacting DNS servers (error: 12) for pc99")))
        << log.text().toStdString();
    EXPECT_EQ(dns.queries(), 0);
}

TEST(NameLookup, LlmnrOverIpv6Loopback)
{
    std::unique_ptr<testsupport::LlmnrResponder> responder;
    try {
        responder = std::make_unique<testsupport::LlmnrResponder>(
            QHash<QString, Addresses>{{"pc22", {ip("10.3.0.22")}}}, QHostAddress(QHostAddress::LocalHostIPv6));
    } catch (const std::exception &) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    lookup::LookupOptions options = optionsFor("llmnr");
    // An unreachable IPv4 target beside it does not stop the IPv6 one.
    options.llmnrTargets = lookup::LookupOptions::parseEndpoints("127.0.0.1:9," + responder->endpoint(), 5355, "");
    EXPECT_EQ(getIpFromHostName("pc22", options), Addresses{ip("10.3.0.22")});
}

TEST(NameLookup, BadNamesAreRefusedBeforeAnyQuery)
{
    UdpResponder dns(noReply);
    // Which names are bad is isValidQueryName's table (dnsmessage_test); here: refused in every mode.
    const QStringList names = {QString(), QStringLiteral("pc!07"), QString(64, QLatin1Char('a')) + ".corp"};
    for (const char *mode : {"dns", "llmnr", "all"}) {
        lookup::LookupOptions options = optionsWithServer(mode, dns.endpoint());
        options.llmnrTargets = options.dnsServers;
        for (const QString &name : names) {
            FakeSystemResolver system;
            LogTail log;
            EXPECT_TRUE(getIpFromHostName(name, options).isEmpty()) << name.toStdString();
            EXPECT_TRUE(log.contains(QStringLiteral("DnsQuery(A) failed : Misformatted domain name (error: 8)")))
                << mode << " " << name.toStdString();
            EXPECT_EQ(system.addressCalls.load(), 0);
        }
    }
    EXPECT_EQ(dns.queries(), 0);
}

// Each way of breaking a reply is in dnsmessage_test; here: what reaches the look-up.
TEST(NameLookup, BrokenAnswersGiveEmptyResults)
{
    using B = DnsReplyBuilder;
    const struct
    {
        const char *what;
        std::function<QByteArray(const QByteArray &)> reply;
        const char *logged;
    } cases[] = {
        {"cut in the middle of a record",
         [](const QByteArray &q) { return B(q).addA("x.test", ip("10.0.0.1")).build().chopped(3); },
         "Misformatted DNS reply"},
        {"only a header that promises answers",
         [](const QByteArray &q) { return B(q).build().left(12).replace(7, 1, "\x05"); }, "DnsQuery(A) failed : "},
        {"only a CNAME", [](const QByteArray &q) { return B(q).addCname("x.test", "y.test").build(); },
         "DnsQuery return a bad type: 5"},
        {"server failure", [](const QByteArray &q) { return B(q).setRcode(ns_r_servfail).build(); },
         "DnsQuery(A) failed : "},
        {"truncated, and nothing listens on TCP", [](const QByteArray &q) { return B(q).setTruncatedBit().build(); },
         "DnsQuery(A) failed : "},
        {"reply to another query id",
         [](const QByteArray &q) {
             QByteArray r = B(q).addA("x.test", ip("10.0.0.1")).build();
             r[0] = static_cast<char>(r.at(0) ^ 0x55);
             return r;
         },
         "DnsQuery(A) failed : Timeout while contacting DNS servers"},
    };
    for (const auto &c : cases) {
        UdpResponder dns([&c](const QByteArray &query) { return UdpResponder::Reply{c.reply(query), 0}; });
        lookup::LookupOptions options = optionsWithServer("dns", dns.endpoint());
        options.dnsTimeoutMs = 200;
        options.dnsTries = 1;
        LogTail log;
        EXPECT_TRUE(getIpFromHostName("x.test", options).isEmpty()) << c.what;
        EXPECT_TRUE(log.contains(QString::fromLatin1(c.logged))) << c.what << "\n" << log.text().toStdString();
        EXPECT_GT(dns.queries(), 0) << c.what;
    }
}

TEST(NameLookup, PtrAnswerOfTheWrongTypeGivesNoName)
{
    UdpResponder dns([](const QByteArray &query) {
        const QString name = testsupport::parseDnsQuery(query).name;
        return UdpResponder::Reply{
            DnsReplyBuilder(query).addA(name, ip("10.0.0.1")).addPtr(name, "late.corp.test").build(), 0};
    });
    LogTail log;
    // The first PTR record counts, records of other types are skipped and logged.
    EXPECT_EQ(getHostNameFromIp("10.0.0.1", "CORP", optionsWithServer("dns", dns.endpoint())),
              QStringLiteral("late.corp.test"));
    EXPECT_TRUE(log.contains(QStringLiteral("DnsQuery return a bad type: 1")));
}
