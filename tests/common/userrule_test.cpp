#include "common/userrule.h"

#include <gtest/gtest.h>
#include <ostream>

namespace {

// What an address entry text became, in a comparable form.
struct Parsed
{
    bool accepted = false;
    std::string kind; // "host", "network", "range"
    std::string first;
    std::string second; // prefix length or high end
    bool negated = false;

    bool operator==(const Parsed &o) const
    {
        return accepted == o.accepted && kind == o.kind && first == o.first && second == o.second &&
               negated == o.negated;
    }
};

std::ostream &operator<<(std::ostream &os, const Parsed &p)
{
    if (!p.accepted)
        return os << "rejected";
    return os << (p.negated ? "!" : "") << p.kind << " " << p.first << " " << p.second;
}

Parsed parse(const char *text)
{
    common::UserRule rule;
    Parsed p;
    p.accepted = rule.addEntry(QString::fromUtf8(text));
    const int total = rule.hosts.size() + rule.networks.size() + rule.ranges.size();
    if (!p.accepted) {
        EXPECT_EQ(total, 0) << text;
        return p;
    }
    EXPECT_EQ(total, 1) << text;
    if (!rule.hosts.isEmpty()) {
        p = {true, "host", rule.hosts[0].address.toString().toStdString(), "", rule.hosts[0].negated};
    } else if (!rule.networks.isEmpty()) {
        p = {true, "network", rule.networks[0].address.toString().toStdString(),
             std::to_string(rule.networks[0].prefixLength), rule.networks[0].negated};
    } else {
        p = {true, "range", rule.ranges[0].low.toString().toStdString(), rule.ranges[0].high.toString().toStdString(),
             rule.ranges[0].negated};
    }
    return p;
}

TEST(UserRule, AddressEntryTable)
{
    const Parsed rejected;
    const struct
    {
        const char *text;
        Parsed expected;
    } cases[] = {
        {"10.0.0.5", {true, "host", "10.0.0.5", "", false}},
        {"  !10.0.0.5 ", {true, "host", "10.0.0.5", "", true}},
        {"::1", {true, "host", "::1", "", false}},
        {"10.0.0.1-10.0.0.9", {true, "range", "10.0.0.1", "10.0.0.9", false}},
        {"!10.0.0.9-10.0.0.1", {true, "range", "10.0.0.9", "10.0.0.1", true}},
        {"fe80::1-fe80::ff", {true, "range", "fe80::1", "fe80::ff", false}},
        {"10.0.0.0/8", {true, "network", "10.0.0.0", "8", false}},
        {"10.0.0.0/255.255.255.0", {true, "network", "10.0.0.0", "24", false}},
        {"!2001:db8::/32", {true, "network", "2001:db8::", "32", true}},
        {"", rejected},
        {"   ", rejected},
        {"!", rejected},
        {"!!10.0.0.5", rejected},
        {"host.example.com", rejected},
        {"10.0.0.256", rejected},
        {"10.0.0.1-", rejected},
        {"-10.0.0.1", rejected},
        {"10.0.0.1-10.0.0.2-10.0.0.3", rejected},
        {"10.0.0.0/33", rejected},
        {"10.0.0.0/", rejected},
        {"10.0.0.0/8/8", rejected},
        {"10.0.0.0/255.0.255.0", rejected},
        {"10.0.0.0/-1", rejected},
        {"caf\xc3\xa9", rejected},
        {"10.0.0.1\x01", rejected},
        {"/24", rejected},
        {"10.0.0.0/4294967295", rejected},
        {"10.0.0.0/2433333330", rejected},
        {"10.0.0.0/0032", rejected},
        {"0.0.0.0/0", {true, "network", "0.0.0.0", "0", false}},
        {"::/0", {true, "network", "::", "0", false}},
        {"10.0.0.5/24", {true, "network", "10.0.0.0", "24", false}},
    };
    // Address parsers stop at a NUL: what follows must not slip through.
    common::UserRule rule;
    EXPECT_FALSE(rule.addEntry(QString::fromLatin1("10.0.0.1\0garbage", 16)));
    EXPECT_FALSE(rule.addEntry(QString::fromLatin1("2001\0:x/16", 10)));
    for (const auto &c : cases)
        EXPECT_EQ(parse(c.text), c.expected) << "text: \"" << c.text << "\"";
}

TEST(UserRule, ValidityAndTextForm)
{
    common::UserRule rule;
    rule.id = 2;
    rule.user = QStringLiteral("any");
    EXPECT_FALSE(rule.isValid()); // no entry
    ASSERT_TRUE(rule.addEntry(QStringLiteral("10.0.0.0/8")));
    ASSERT_TRUE(rule.addEntry(QStringLiteral("!10.1.1.1-10.1.1.9")));
    ASSERT_TRUE(rule.addEntry(QStringLiteral("10.2.0.1")));
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
    auto range = [](const char *text) {
        common::UserRule rule;
        EXPECT_TRUE(rule.addEntry(QString::fromLatin1(text)));
        return rule.ranges.value(0);
    };
    auto in = [](const common::RangeEntry &r, const char *address) { return r.contains(QHostAddress(address)); };

    const auto v4 = range("10.0.0.250-10.0.1.5");
    EXPECT_TRUE(in(v4, "10.0.0.250"));
    EXPECT_TRUE(in(v4, "10.0.0.255"));
    EXPECT_TRUE(in(v4, "10.0.1.5"));
    EXPECT_FALSE(in(v4, "10.0.1.6"));
    EXPECT_FALSE(in(v4, "10.0.0.249"));
    EXPECT_FALSE(in(v4, "::ffff:10.0.0.251")); // other protocol

    const auto v6 = range("2001:db8::ff00-2001:db8::1:0");
    EXPECT_TRUE(in(v6, "2001:db8::ffff"));
    EXPECT_TRUE(in(v6, "2001:db8::1:0"));
    EXPECT_FALSE(in(v6, "2001:db8::1:1"));
    EXPECT_FALSE(in(v6, "10.0.0.1"));

    const auto high = range("255.255.255.0-255.255.255.255"); // unsigned, not signed, comparison
    EXPECT_TRUE(in(high, "255.255.255.128"));
    EXPECT_FALSE(in(high, "1.0.0.0"));

    const auto backwards = range("10.0.0.9-10.0.0.1");
    for (const char *a : {"10.0.0.1", "10.0.0.5", "10.0.0.9"})
        EXPECT_FALSE(in(backwards, a)) << a;

    const auto mixed = range("10.0.0.1-::1");
    EXPECT_FALSE(in(mixed, "10.0.0.1"));
    EXPECT_FALSE(in(mixed, "::1"));
}

} // namespace
