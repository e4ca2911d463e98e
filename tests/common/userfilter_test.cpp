#include "common/userfilter.h"

#include <gtest/gtest.h>

namespace {

using common::UserRule;

UserRule rule(qint32 id, bool pass, const QString &user, const QStringList &entries)
{
    UserRule r;
    r.id = id;
    r.pass = pass;
    r.user = user;
    for (const QString &e : entries)
        EXPECT_TRUE(r.addEntry(e)) << e.toStdString();
    return r;
}

common::Logon logon(const QString &user, const char *ip)
{
    return common::Logon(user, QHostAddress(QString::fromLatin1(ip)), QDateTime(), QString(), QStringLiteral("CORP"),
                         QString(), QStringLiteral("corp.example.com"));
}

struct MatchCase
{
    const char *user;
    const char *ip;
    bool admitted;
};

void expectMatches(const common::UserFilter &filter, std::initializer_list<MatchCase> cases)
{
    for (const MatchCase &c : cases)
        EXPECT_EQ(filter.match(logon(QString::fromUtf8(c.user), c.ip)), c.admitted) << c.user << "@" << c.ip;
}

TEST(UserFilter, RulesAreTriedByAscendingIdAndShownInThatOrder)
{
    common::UserFilter filter;
    EXPECT_FALSE(filter.match(logon("alice", "10.0.0.5"))); // empty: admits nothing
    EXPECT_EQ(filter.toString(), QString());
    filter.addRule(rule(5, false, "alice", {"10.0.0.5"}));
    filter.addRule(rule(2, true, "any", {"!::1", "10.0.0.0/8"}));
    expectMatches(filter, {{"alice", "10.0.0.5", true}});
    // Block wins when it comes first.
    filter.addRule(rule(1, false, "alice", {"10.0.0.5"}));
    expectMatches(filter, {{"alice", "10.0.0.5", false}, {"alice", "10.0.0.6", true}});
    EXPECT_EQ(filter.toString(), QStringLiteral("1: block: alice on (10.0.0.5),2: pass: any on (!::1,10.0.0.0/8),"
                                                "5: block: alice on (10.0.0.5)"));
    filter.clear();
    EXPECT_EQ(filter.toString(), QString());
    EXPECT_FALSE(filter.match(logon("alice", "10.0.0.6")));
}

TEST(UserFilter, UserCaseRules)
{
    common::UserFilter filter;
    filter.addRule(rule(1, true, "Alice", {"10.0.0.0/8"}));
    filter.addRule(rule(2, true, "ANY", {"10.0.0.0/8"}));
    filter.addRule(rule(3, true, QString::fromUtf8("J\xc3\x89R\xc3\x94ME"), {"10.0.0.0/8"}));
    expectMatches(filter, {{"alice", "10.0.0.1", true},
                           {"ALICE", "10.0.0.1", true},
                           {"bob", "10.0.0.1", false}, // "ANY" is not the wildcard
                           {"any", "10.0.0.1", true},
                           {"Any", "10.0.0.1", true},
                           {"j\xc3\xa9r\xc3\xb4me", "10.0.0.1", true},
                           {"alice", "192.168.0.1", false}});
}

TEST(UserFilter, NegatedEntriesAndFallThrough)
{
    common::UserFilter filter;
    filter.addRule(rule(1, true, "bob", {"!10.0.0.5"}));
    expectMatches(filter, {{"bob", "10.0.0.6", true}, {"bob", "10.0.0.5", false}, {"bob", "::1", true}});
    // The negated entry does not decide for 10.0.0.5: the next rule does.
    filter.addRule(rule(9, true, "any", {"10.0.0.5"}));
    expectMatches(filter, {{"bob", "10.0.0.5", true}});

    common::UserFilter nets;
    nets.addRule(rule(1, false, "any", {"!10.0.0.0/8"}));
    nets.addRule(rule(2, true, "any", {"!10.0.0.1-10.0.0.9"}));
    expectMatches(nets, {
                            {"carol", "192.168.1.1", false}, // outside 10/8: blocked by rule 1
                            {"carol", "10.0.0.20", true},    // inside 10/8, outside the range
                            {"carol", "10.0.0.5", false},    // nothing decides
                        });
}

TEST(UserFilter, AddressKindsAndProtocols)
{
    common::UserFilter filter;
    filter.addRule(rule(1, true, "any",
                        {"2001:db8::/32", "fe80::10-fe80::20", QStringLiteral("192.168.1.0/255.255.255.0"),
                         QStringLiteral("10.9.9.9")}));
    filter.addRule(rule(2, true, "any", {"10.0.0.9-10.0.0.1"}));
    expectMatches(filter, {{"u", "2001:db8:1::5", true},
                           {"u", "2001:db9::5", false},
                           {"u", "fe80::15", true},
                           {"u", "fe80::21", false},
                           {"u", "192.168.1.200", true},
                           {"u", "192.168.2.1", false},
                           {"u", "10.9.9.9", true},
                           {"u", "10.0.0.5", false}, // backwards range holds nothing
                           {"u", "::ffff:192.168.1.5", false}});
    // A logon without an address matches no positive entry.
    EXPECT_FALSE(filter.match(common::Logon()));

    // filter() keeps the admitted logons in their input order.
    const common::LogonList out =
        filter.filter({logon("c", "10.9.9.9"), logon("x", "10.1.0.1"), logon("a", "fe80::11")});
    ASSERT_EQ(out.size(), 2);
    EXPECT_EQ(out[0].user(), QStringLiteral("c"));
    EXPECT_EQ(out[1].user(), QStringLiteral("a"));
}

TEST(UserFilter, RemoveRuleEquality)
{
    common::UserFilter filter;
    filter.addRule(rule(3, true, "alice", {"10.0.0.5", "10.0.0.0/8"}));
    filter.addRule(rule(4, false, "bob", {"10.0.0.1-10.0.0.3"}));
    const UserRule notStored[] = {
        rule(4, true, "ALICE", {"10.0.0.5", "10.0.0.0/8"}), rule(3, false, "ALICE", {"10.0.0.5", "10.0.0.0/8"}),
        rule(3, true, "ALICE", {"10.0.0.5"}), // stored network missing
        rule(3, true, "ALICE", {"!10.0.0.5", "10.0.0.0/8"}), rule(4, false, "Bob", {"10.0.0.1-10.0.0.4"})};
    for (const UserRule &given : notStored)
        EXPECT_FALSE(filter.removeRule(given)) << given.toString().toStdString();
    EXPECT_EQ(filter.rules().size(), 2);

    // Same user in another case, same id and action, a superset of the entries.
    EXPECT_TRUE(filter.removeRule(rule(3, true, "ALICE", {"10.0.0.0/8", "10.0.0.5", "10.0.0.6"})));
    ASSERT_EQ(filter.rules().size(), 1);
    EXPECT_EQ(filter.rules().first().id, 4);
    EXPECT_FALSE(filter.match(logon("alice", "10.0.0.5")));
    // The lower-cased user cache follows removals.
    EXPECT_FALSE(filter.match(logon("bob", "10.0.0.2")));
    EXPECT_TRUE(filter.removeRule(rule(4, false, "bob", {"10.0.0.1-10.0.0.3"})));
    EXPECT_TRUE(filter.rules().isEmpty());
}

TEST(UserRule, ListsCrossThreadsUnderTheirSignalNames)
{
    for (const char *name : {"QList<common::UserRule>", "QList<common::NewUserRule>"})
        EXPECT_NE(QMetaType::type(name), int(QMetaType::UnknownType)) << name;
    const QVariant v = QVariant::fromValue(
        QList<common::NewUserRule>{common::NewUserRule(rule(3, true, "a", {"10.0.0.1"}), common::NewUserRule::Delete)});
    EXPECT_EQ(v.value<QList<common::NewUserRule>>().first().kind, common::NewUserRule::Delete);
}

TEST(UserFilter, MockAdmitsEverything)
{
    common::MockUserFilter mock;
    mock.addRule(rule(1, false, "any", {"0.0.0.0/0"}));
    common::UserFilter &asBase = mock;
    EXPECT_TRUE(asBase.match(logon("a", "10.0.0.1")));
    EXPECT_EQ(asBase.filter({logon("a", "10.0.0.1"), logon(QString(), "::1"), common::Logon()}).size(), 3);
}

} // namespace
