#include "common/userrule.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

// What an address entry text became: "rejected", or "[!]kind first [second]"
// with the prefix length or the high end of a range as second.
std::string parse(const QString &text)
{
    common::UserRule rule;
    const bool accepted = rule.addEntry(text);
    const int total = rule.hosts.size() + rule.networks.size() + rule.ranges.size();
    EXPECT_EQ(total, accepted ? 1 : 0) << text.toStdString();
    QString out = QStringLiteral("rejected");
    if (!rule.hosts.isEmpty())
        out = (rule.hosts[0].negated ? "!host " : "host ") + rule.hosts[0].address.toString();
    else if (!rule.networks.isEmpty())
        out = (rule.networks[0].negated ? "!network " : "network ") + rule.networks[0].address.toString() + ' ' +
              QString::number(rule.networks[0].prefixLength);
    else if (!rule.ranges.isEmpty())
        out = (rule.ranges[0].negated ? "!range " : "range ") + rule.ranges[0].low.toString() + ' ' +
              rule.ranges[0].high.toString();
    return out.toStdString();
}

TEST(UserRule, AddressEntryTable)
{
    const struct
    {
        const char *text;
        const char *expected;
    } cases[] = {{"10.0.0.5", "host 10.0.0.5"},
                 {"  !10.0.0.5 ", "!host 10.0.0.5"},
                 {"::1", "host ::1"},
                 {"10.0.0.1-10.0.0.9", "range 10.0.0.1 10.0.0.9"},
                 {"!10.0.0.9-10.0.0.1", "!range 10.0.0.9 10.0.0.1"},
                 {"fe80::1-fe80::ff", "range fe80::1 fe80::ff"},
                 {"10.0.0.0/8", "network 10.0.0.0 8"},
                 {"10.0.0.0/255.255.255.0", "network 10.0.0.0 24"},
                 {"!2001:db8::/32", "!network 2001:db8:: 32"},
                 {"0.0.0.0/0", "network 0.0.0.0 0"},
                 {"::/0", "network :: 0"},
                 {"10.0.0.5/24", "network 10.0.0.0 24"}};
    for (const auto &c : cases)
        EXPECT_EQ(parse(QString::fromUtf8(c.text)), c.expected) << "text: \"" << c.text << "\"";

    // Address parsers stop at a NUL: what follows must not slip through.
    for (const QString &text : std::initializer_list<QString>{"",
                                                              "   ",
                                                              "!",
                                                              "!!10.0.0.5",
                                                              "host.example.com",
                                                              "10.0.0.256",
                                                              "10.0.0.1-",
                                                              "-10.0.0.1",
                                                              "10.0.0.1-10.0.0.2-10.0.0.3",
                                                              "10.0.0.0/33",
                                                              "10.0.0.0/",
                                                              "10.0.0.0/8/8",
                                                              "10.0.0.0/255.0.255.0",
                                                              "10.0.0.0/-1",
                                                              QString::fromUtf8("caf\xc3\xa9"),
                                                              "10.0.0.1\x01",
                                                              "/24",
                                                              "10.0.0.0/4294967295",
                                                              "10.0.0.0/2433333330",
                                                              "10.0.0.0/0032",
                                                              QString::fromLatin1("10.0.0.1\0garbage", 16),
                                                              QString::fromLatin1("2001\0:x/16", 10)})
        EXPECT_EQ(parse(text), "rejected") << "text: \"" << text.toStdString() << "\"";
}

TEST(UserRule, ValidityAndTextForm)
{
    common::UserRule rule;
    rule.id = 2;
    rule.user = QStringLiteral("any");
    EXPECT_FALSE(rule.isValid()); // no entry
    for (const char *entry : {"10.0.0.0/8", "!10.1.1.1-10.1.1.9", "10.2.0.1"})
        ASSERT_TRUE(rule.addEntry(QString::fromLatin1(entry)));
    EXPECT_TRUE(rule.isValid());
    // Hosts first, then networks, then ranges, whatever the order they were added in.
    EXPECT_EQ(rule.toString(), QStringLiteral("2: block: any on (10.2.0.1,10.0.0.0/8,!10.1.1.1-10.1.1.9)"));
    rule.user.clear();
    EXPECT_FALSE(rule.isValid());

    // Scope ids look like placeholders; the text form must keep them.
    common::UserRule scoped;
    scoped.id = 1;
    scoped.user = QStringLiteral("a");
    ASSERT_TRUE(scoped.addEntry(QStringLiteral("!fe80::%1/64")));
    ASSERT_TRUE(scoped.addEntry(QStringLiteral("fe80::1%2-fe80::9%2")));
    EXPECT_EQ(scoped.toString(), QStringLiteral("1: block: a on (!fe80::%1/64,fe80::1%2-fe80::9%2)"));
}

TEST(UserRule, RangeContainsByBytes)
{
    const struct
    {
        const char *range;
        std::vector<const char *> inside, outside;
    } cases[] = {
        {"10.0.0.250-10.0.1.5",
         {"10.0.0.250", "10.0.0.255", "10.0.1.5"},
         {"10.0.1.6", "10.0.0.249", "::ffff:10.0.0.251"}}, // other protocol
        {"2001:db8::ff00-2001:db8::1:0", {"2001:db8::ffff", "2001:db8::1:0"}, {"2001:db8::1:1", "10.0.0.1"}},
        {"255.255.255.0-255.255.255.255", {"255.255.255.128"}, {"1.0.0.0"}}, // unsigned comparison
        {"10.0.0.9-10.0.0.1", {}, {"10.0.0.1", "10.0.0.5", "10.0.0.9"}},     // backwards
        {"10.0.0.1-::1", {}, {"10.0.0.1", "::1"}},                           // mixed
    };
    for (const auto &c : cases) {
        common::UserRule rule;
        ASSERT_TRUE(rule.addEntry(QString::fromLatin1(c.range)));
        for (const char *a : c.inside)
            EXPECT_TRUE(rule.ranges.value(0).contains(QHostAddress(a))) << c.range << " " << a;
        for (const char *a : c.outside)
            EXPECT_FALSE(rule.ranges.value(0).contains(QHostAddress(a))) << c.range << " " << a;
    }
}

} // namespace
