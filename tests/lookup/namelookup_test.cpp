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

namespace {

QHostAddress ip(const char *text)
{
    return QHostAddress(QString::fromLatin1(text));
}

QSet<QString> texts(const QList<QHostAddress> &addresses)
{
    QSet<QString> result;
    for (const QHostAddress &address : addresses)
        result.insert(address.toString());
    return result;
}

} // namespace

TEST(NameLookup, ForwardLookupAsksDnsForAThenAAAA)
{
    const lookup::LookupOptions options = optionsFor(QStringLiteral("dns"));
    const QList<QHostAddress> multi = getIpFromHostName(QStringLiteral("multi.corp.test"), options);
    ASSERT_EQ(multi.size(), 3);
    EXPECT_EQ(texts(multi.mid(0, 2)), (QSet<QString>{QStringLiteral("10.1.0.3"), QStringLiteral("10.1.0.4")}));
    EXPECT_EQ(multi.at(2), ip("fd00::3"));

    EXPECT_EQ(getIpFromHostName(QStringLiteral("pc01.corp.test"), options), QList<QHostAddress>{ip("10.1.0.1")});
    EXPECT_EQ(getIpFromHostName(QStringLiteral("v6only.corp.test"), options), QList<QHostAddress>{ip("fd00::7")});
    // Names are case-insensitive, a final dot makes no difference.
    EXPECT_EQ(getIpFromHostName(QStringLiteral("PC02.Corp.Test."), options), QList<QHostAddress>{ip("10.1.0.2")});
}

TEST(NameLookup, FailedAQueryIsLoggedFailedAAAAQueryIsNot)
{
    const lookup::LookupOptions options = optionsFor(QStringLiteral("dns"));
    {
        LogTail log;
        EXPECT_EQ(getIpFromHostName(QStringLiteral("pc01.corp.test"), options).size(), 1);
        EXPECT_FALSE(log.contains(QStringLiteral("DnsQuery"))) << log.text().toStdString();
    }
    {
        LogTail log;
        EXPECT_TRUE(getIpFromHostName(QStringLiteral("nobody.corp.test"), options).isEmpty());
        EXPECT_TRUE(log.contains(QStringLiteral("DnsQuery(A) failed : Domain name not found (error: 4) for "
                                                "nobody.corp.test")))
            << log.text().toStdString();
        EXPECT_FALSE(log.contains(QStringLiteral("DnsQuery(AAAA)")));
    }
}

TEST(NameLookup, OnlyModeAllFallsBackToTheSystemResolver)
{
    lookup::LookupOptions llmnr = optionsFor(QStringLiteral("llmnr"));
    testsupport::LlmnrResponder silent({});
    llmnr.llmnrTargets = lookup::LookupOptions::parseEndpoints(silent.endpoint(), 5355, QString());

    struct Case
    {
        lookup::LookupOptions options;
        int systemCalls;
        QList<QHostAddress> expected;
    };
    const QList<Case> cases = {
        {optionsFor(QStringLiteral("dns")), 0, {}},
        {llmnr, 0, {}},
        {optionsFor(QStringLiteral("all")), 1, {ip("10.7.7.7"), ip("fd00::77")}},
    };
    for (const Case &c : cases) {
        FakeSystemResolver system;
        system.addressAnswers = {{AF_INET, ip("10.7.7.7")}, {AF_INET6, ip("fd00::77")}};
        EXPECT_EQ(getIpFromHostName(QStringLiteral("elsewhere.corp.test"), c.options), c.expected)
            << c.options.mode.toStdString();
        EXPECT_EQ(system.addressCalls(), c.systemCalls) << c.options.mode.toStdString();
    }
    // A name DNS knows never reaches the system resolver.
    FakeSystemResolver system;
    EXPECT_EQ(getIpFromHostName(QStringLiteral("pc01.corp.test"), optionsFor(QStringLiteral("all"))).size(), 1);
    EXPECT_EQ(system.addressCalls(), 0);
}

TEST(NameLookup, SystemResolverAddressAnswers)
{
    const lookup::LookupOptions options = optionsFor(QStringLiteral("all"));
    struct Case
    {
        int status;
        QList<lookup::ISystemResolver::Answer> answers;
        QList<QHostAddress> expected;
        QString logged; // empty: no getaddrinfo line at all
    };
    const QList<Case> cases = {
        {EAI_NONAME, {}, {}, QString()},
        {EAI_NODATA, {}, {}, QString()},
        {EAI_AGAIN, {}, {}, QStringLiteral("getaddrinfo failed with error: ")},
        // Once per socket type, as the resolver answers; an unknown family is skipped.
        {0,
         {{AF_INET, ip("10.7.7.7")}, {AF_INET, ip("10.7.7.7")}, {AF_PACKET, QHostAddress()}, {AF_INET6, ip("::1")}},
         {ip("10.7.7.7"), ip("10.7.7.7"), ip("::1")},
         QStringLiteral("(getaddrinfo) Family: Other %1").arg(AF_PACKET)},
    };
    for (const Case &c : cases) {
        FakeSystemResolver system;
        system.addressStatus = c.status;
        system.addressAnswers = c.answers;
        LogTail log;
        EXPECT_EQ(getIpFromHostName(QStringLiteral("elsewhere.corp.test"), options), c.expected);
        if (c.logged.isEmpty()) {
            EXPECT_FALSE(log.contains(QStringLiteral("getaddrinfo"))) << log.text().toStdString();
        } else {
            EXPECT_TRUE(log.contains(c.logged)) << log.text().toStdString();
        }
    }
}

TEST(NameLookup, RealSystemResolverFindsLocalhost)
{
    // Only what this machine answers from its own files: no traffic leaves loopback.
    const QList<QHostAddress> found = getIpFromHostName(QStringLiteral("localhost"), optionsFor(QStringLiteral("all")));
    EXPECT_TRUE(found.contains(QHostAddress(QHostAddress::LocalHost))) << found.size();
    EXPECT_TRUE(getIpFromHostName(QStringLiteral("localhost"), optionsFor(QStringLiteral("dns"))).isEmpty());
}

TEST(NameLookup, ReverseLookupName)
{
    const QString ipv6Loopback = QStringLiteral("1.") + QStringLiteral("0.").repeated(31) + QStringLiteral("ip6.arpa.");
    const QList<QPair<QString, QString>> cases = {
        {QStringLiteral("192.168.1.20"), QStringLiteral("20.1.168.192.in-addr.arpa.")},
        {QStringLiteral("10.0.0.5"), QStringLiteral("5.0.0.10.in-addr.arpa.")},
        {QStringLiteral("::1"), ipv6Loopback},
        {QStringLiteral("2001:db8::abcd"),
         QStringLiteral("d.c.b.a.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa.")},
        {QStringLiteral("::ffff:10.0.0.5"),
         QStringLiteral("5.0.0.0.0.0.a.0.f.f.f.f.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.ip6.arpa.")},
        {QStringLiteral("not an address"), QString()},
        {QString(), QString()},
    };
    for (const auto &c : cases)
        EXPECT_EQ(reverseLookupName(c.first), c.second) << c.first.toStdString();
}

TEST(NameLookup, HostNameByDnsPtr)
{
    const lookup::LookupOptions options = optionsFor(QStringLiteral("dns"));
    EXPECT_EQ(getHostNameFromIp(QStringLiteral("10.1.0.1"), QStringLiteral("CORP"), options),
              QStringLiteral("pc01.corp.test"));
    EXPECT_EQ(getHostNameFromIp(QStringLiteral("fd00::7"), QStringLiteral("CORP"), options),
              QStringLiteral("v6only.corp.test"));
    LogTail log;
    EXPECT_EQ(getHostNameFromIp(QStringLiteral("garbage"), QStringLiteral("CORP"), options), QString());
    EXPECT_TRUE(log.contains(QStringLiteral("DnsQuery(PTR) failed : ")));
}

TEST(NameLookup, HostNameBySystemResolverInModeAll)
{
    struct Case
    {
        QString address;
        QString domain;
        int status;
        QByteArray answer;
        QString expected;
        QString logged;
    };
    const QList<Case> cases = {
        {QStringLiteral("10.9.9.9"), QStringLiteral("CORP"), 0, "pc09.corp.test", QStringLiteral("pc09.corp.test"), {}},
        // The numeric answer of an address without a name.
        {QStringLiteral("10.9.9.9"), QStringLiteral("CORP"), 0, "10.9.9.9", QString(), {}},
        {QStringLiteral("fd00:0:0::9"), QStringLiteral("CORP"), 0, "fd00::9", QString(), {}},
        // The domain's name in place of the host's.
        {QStringLiteral("10.9.9.9"), QStringLiteral("CORP"), 0, "corp", QString(),
         QStringLiteral("getnameinfo return domain in place of host")},
        {QStringLiteral("10.9.9.9"), QStringLiteral("corp.example.com"), 0, "corp", QString(),
         QStringLiteral("getnameinfo return domain in place of host")},
        {QStringLiteral("10.9.9.9"), QStringLiteral("CORP"), EAI_AGAIN, "", QString(),
         QStringLiteral("getnameinfo failed: ")},
        {QStringLiteral("10.9.9.9"), QStringLiteral("CORP"), EAI_SYSTEM, "", QString(),
         QStringLiteral("getnameinfo failed: Connection refused (error: %1) (status = %2).")
             .arg(ECONNREFUSED)
             .arg(EAI_SYSTEM)},
    };
    for (const Case &c : cases) {
        FakeSystemResolver system;
        system.nameStatus = c.status;
        system.nameErrno = ECONNREFUSED;
        system.nameAnswer = c.answer;
        LogTail log;
        EXPECT_EQ(getHostNameFromIp(c.address, c.domain, optionsFor(QStringLiteral("all"))), c.expected)
            << c.answer.toStdString();
        EXPECT_EQ(system.nameCalls(), 1);
        if (!c.logged.isEmpty()) {
            EXPECT_TRUE(log.contains(c.logged)) << log.text().toStdString();
        }
    }
    // Other modes never ask it.
    FakeSystemResolver system;
    system.nameAnswer = "pc09";
    EXPECT_EQ(getHostNameFromIp(QStringLiteral("10.9.9.9"), QStringLiteral("CORP"), optionsFor(QStringLiteral("dns"))),
              QString());
    EXPECT_EQ(system.nameCalls(), 0);
}

TEST(NameLookup, RealSystemResolverNamesLoopback)
{
    const lookup::LookupOptions options = optionsFor(QStringLiteral("all"));
    EXPECT_EQ(getHostNameFromIp(QStringLiteral("127.0.0.1"), QStringLiteral("CORP"), options),
              QStringLiteral("localhost"));
    LogTail log;
    EXPECT_EQ(getHostNameFromIp(QStringLiteral("127.0.0.1"), QStringLiteral("LOCALHOST"), options), QString());
    EXPECT_TRUE(log.contains(QStringLiteral("getnameinfo return domain in place of host")));
}

TEST(NameLookup, LlmnrAsksTheResponderAndNotDns)
{
    testsupport::LlmnrResponder responder({{QStringLiteral("PC21"), {ip("10.3.0.21"), ip("fd00::21")}}});
    UdpResponder dns([](const QByteArray &) { return UdpResponder::Reply(); });
    lookup::LookupOptions options = optionsWithServer(QStringLiteral("llmnr"), dns.endpoint());
    options.llmnrTargets = lookup::LookupOptions::parseEndpoints(responder.endpoint(), 5355, QString());

    EXPECT_EQ(getIpFromHostName(QStringLiteral("pc21"), options),
              (QList<QHostAddress>{ip("10.3.0.21"), ip("fd00::21")}));
    EXPECT_EQ(getHostNameFromIp(QStringLiteral("10.3.0.21"), QStringLiteral("CORP"), options), QStringLiteral("pc21"));
    EXPECT_EQ(getHostNameFromIp(QStringLiteral("fd00::21"), QStringLiteral("CORP"), options), QStringLiteral("pc21"));
    LogTail log;
    EXPECT_TRUE(getIpFromHostName(QStringLiteral("pc99"), options).isEmpty());
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
            QHash<QString, QList<QHostAddress>>{{QStringLiteral("pc22"), {ip("10.3.0.22")}}},
            QHostAddress(QHostAddress::LocalHostIPv6));
    } catch (const std::exception &) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    lookup::LookupOptions options = optionsFor(QStringLiteral("llmnr"));
    // An unreachable IPv4 target beside it does not stop the IPv6 one.
    options.llmnrTargets =
        lookup::LookupOptions::parseEndpoints(QStringLiteral("127.0.0.1:9,") + responder->endpoint(), 5355, QString());
    EXPECT_EQ(getIpFromHostName(QStringLiteral("pc22"), options), QList<QHostAddress>{ip("10.3.0.22")});
}

TEST(NameLookup, BadNamesAreRefusedBeforeAnyQuery)
{
    UdpResponder dns([](const QByteArray &) { return UdpResponder::Reply(); });
    const QString longLabel = QString(64, QLatin1Char('a'));
    QString longName;
    while (longName.size() < 260)
        longName += QStringLiteral("abcdefghi.");
    const QStringList names = {QString(),
                               QStringLiteral("."),
                               QStringLiteral("bad name"),
                               QStringLiteral("pc!07"),
                               QStringLiteral("a..b"),
                               QStringLiteral(".leading"),
                               QStringLiteral("tab\there"),
                               QStringLiteral("nul") + QChar(0) + QStringLiteral("x"),
                               longLabel + QStringLiteral(".corp"),
                               longName};
    for (const QString &mode : {QStringLiteral("dns"), QStringLiteral("llmnr"), QStringLiteral("all")}) {
        lookup::LookupOptions options = optionsWithServer(mode, dns.endpoint());
        options.llmnrTargets = options.dnsServers;
        for (const QString &name : names) {
            FakeSystemResolver system;
            LogTail log;
            EXPECT_TRUE(getIpFromHostName(name, options).isEmpty()) << name.toStdString();
            EXPECT_TRUE(log.contains(QStringLiteral("DnsQuery(A) failed : Misformatted domain name (error: 8)")))
                << name.toStdString();
            EXPECT_EQ(system.addressCalls(), 0);
        }
    }
    EXPECT_EQ(dns.queries(), 0);
}

TEST(NameLookup, BrokenAnswersGiveEmptyResults)
{
    struct Case
    {
        const char *what;
        std::function<QByteArray(const QByteArray &)> reply;
        QString logged;
    };
    using B = DnsReplyBuilder;
    const QList<Case> cases = {
        {"cut in the middle of a record",
         [](const QByteArray &q) { return B(q).addA(QStringLiteral("x.test"), ip("10.0.0.1")).build().chopped(3); },
         QStringLiteral("Misformatted DNS reply")},
        {"only a header that promises answers",
         [](const QByteArray &q) {
             QByteArray r = B(q).build().left(12);
             r[7] = 5;
             return r;
         },
         QStringLiteral("DnsQuery(A) failed : ")},
        {"address of three bytes",
         [](const QByteArray &q) { return B(q).addRaw(QStringLiteral("x.test"), 1, "\x0a\x00\x01").build(); },
         QStringLiteral("Misformatted DNS reply")},
        {"record data longer than the reply",
         [](const QByteArray &q) {
             QByteArray r = B(q).addA(QStringLiteral("x.test"), ip("10.0.0.1")).build();
             r[r.size() - 5] = 0x7f;
             return r;
         },
         QStringLiteral("Misformatted DNS reply")},
        {"name pointing at itself",
         [](const QByteArray &q) {
             QByteArray r = B(q).build();
             r[7] = 1;
             const int at = r.size();
             r.append(static_cast<char>(0xc0 | (at >> 8)));
             r.append(static_cast<char>(at & 0xff));
             r.append(QByteArray("\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\x0a\x00\x00\x01", 14));
             return r;
         },
         QStringLiteral("Misformatted DNS reply")},
        {"only a CNAME",
         [](const QByteArray &q) { return B(q).addCname(QStringLiteral("x.test"), QStringLiteral("y.test")).build(); },
         QStringLiteral("DnsQuery return a bad type: 5")},
        {"server failure", [](const QByteArray &q) { return B(q).setRcode(ns_r_servfail).build(); },
         QStringLiteral("DnsQuery(A) failed : ")},
        {"refused", [](const QByteArray &q) { return B(q).setRcode(ns_r_refused).build(); },
         QStringLiteral("DnsQuery(A) failed : ")},
        {"truncated, and nothing listens on TCP", [](const QByteArray &q) { return B(q).setTruncatedBit().build(); },
         QStringLiteral("DnsQuery(A) failed : ")},
        {"reply to another query id",
         [](const QByteArray &q) {
             QByteArray r = B(q).addA(QStringLiteral("x.test"), ip("10.0.0.1")).build();
             r[0] = static_cast<char>(r.at(0) ^ 0x55);
             return r;
         },
         QStringLiteral("DnsQuery(A) failed : Timeout while contacting DNS servers")},
        {"garbage", [](const QByteArray &) { return QByteArray("\x01\x02\x03"); },
         QStringLiteral("DnsQuery(A) failed : ")},
    };
    for (const Case &c : cases) {
        UdpResponder dns([&c](const QByteArray &query) { return UdpResponder::Reply{c.reply(query), 0}; });
        lookup::LookupOptions options = optionsWithServer(QStringLiteral("dns"), dns.endpoint());
        options.dnsTimeoutMs = 200;
        options.dnsTries = 1;
        LogTail log;
        EXPECT_TRUE(getIpFromHostName(QStringLiteral("x.test"), options).isEmpty()) << c.what;
        EXPECT_TRUE(log.contains(c.logged)) << c.what << "\n" << log.text().toStdString();
        EXPECT_GT(dns.queries(), 0) << c.what;
    }
}

TEST(NameLookup, PtrAnswerOfTheWrongTypeGivesNoName)
{
    UdpResponder dns([](const QByteArray &query) {
        const testsupport::DnsQuestion question = testsupport::parseDnsQuery(query);
        return UdpResponder::Reply{DnsReplyBuilder(query)
                                       .addA(question.name, ip("10.0.0.1"))
                                       .addPtr(question.name, QStringLiteral("late.corp.test"))
                                       .build(),
                                   0};
    });
    lookup::LookupOptions options = optionsWithServer(QStringLiteral("dns"), dns.endpoint());
    LogTail log;
    // The first PTR record counts, records of other types are skipped and logged.
    EXPECT_EQ(getHostNameFromIp(QStringLiteral("10.0.0.1"), QStringLiteral("CORP"), options),
              QStringLiteral("late.corp.test"));
    EXPECT_TRUE(log.contains(QStringLiteral("DnsQuery return a bad type: 1")));
}

TEST(NameLookup, ResolverThatIsDownGivesEmptyAnswers)
{
    // Nothing listens on the port: every query fails fast or times out.
    quint16 closedPort = 0;
    {
        UdpResponder probe([](const QByteArray &) { return UdpResponder::Reply(); });
        closedPort = probe.port();
    }
    lookup::LookupOptions options =
        optionsWithServer(QStringLiteral("dns"), QStringLiteral("127.0.0.1:%1").arg(closedPort));
    options.dnsTimeoutMs = 200;
    options.dnsTries = 1;
    LogTail log;
    EXPECT_TRUE(getIpFromHostName(QStringLiteral("pc01.corp.test"), options).isEmpty());
    EXPECT_EQ(getHostNameFromIp(QStringLiteral("10.1.0.1"), QStringLiteral("CORP"), options), QString());
    EXPECT_TRUE(log.contains(QStringLiteral("DnsQuery(A) failed : ")));
    EXPECT_TRUE(log.contains(QStringLiteral("DnsQuery(PTR) failed : ")));
}

TEST(NameLookup, ErrorText)
{
    EXPECT_EQ(errorText(ENOENT), QStringLiteral("No such file or directory (error: %1)").arg(ENOENT));
    EXPECT_TRUE(errorText(99999).endsWith(QStringLiteral("(error: 99999)")));
}

TEST(NameLookup, FlushWithoutResolvedReportsFalse)
{
    // Where systemd-resolved answers on the system bus this would flush its cache.
    LogTail log;
    if (flushResolverCache())
        GTEST_SKIP() << "systemd-resolved runs here";
    EXPECT_TRUE(log.contains(QStringLiteral("unable to flush the resolver cache"))) << log.text().toStdString();
}
