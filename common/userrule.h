#pragma once

#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QString>

namespace common {

// One address entry of a rule. A negated entry holds for every address
// except the one (or the subnet, or the range) it names.
struct HostEntry
{
    QHostAddress address;
    bool negated = false;

    bool operator==(const HostEntry &o) const { return negated == o.negated && address == o.address; }
};

struct NetworkEntry
{
    QHostAddress address;
    int prefixLength = -1;
    bool negated = false;

    bool operator==(const NetworkEntry &o) const
    {
        return negated == o.negated && prefixLength == o.prefixLength && address == o.address;
    }
};

// low and high are kept as sent (never reordered): a range whose high lies
// below its low contains nothing.
struct RangeEntry
{
    QHostAddress low;
    QHostAddress high;
    bool negated = false;

    bool operator==(const RangeEntry &o) const { return negated == o.negated && low == o.low && high == o.high; }
    bool contains(const QHostAddress &address) const;
};

// One authentication rule of a firewall: which user (or "any") it is about,
// from which addresses, pass or block. Rules are ordered by id.
struct UserRule
{
    QString user;
    QList<HostEntry> hosts;
    QList<NetworkEntry> networks;
    QList<RangeEntry> ranges;
    bool pass = false;
    qint32 id = 0;

    // A user and at least one address entry.
    bool isValid() const;
    // "<id>: pass|block: <user> on (<entries>)", hosts, then networks, then ranges.
    QString toString() const;

    // Parses an address entry text ("[!]address", "[!]address/prefix",
    // "[!]address/dotted-mask", "[!]low-high") and adds it to the list of its
    // kind. The kind follows from the text alone. False, and nothing added,
    // when the text is not an address entry.
    bool addEntry(const QString &text);

    // Every field the same, entries in the same order; for tests and tools.
    bool operator==(const UserRule &o) const;
    bool operator!=(const UserRule &o) const { return !(*this == o); }
};

// A change of a firewall's rule set: add (kind 0) or delete (kind 1) the rule.
struct NewUserRule : UserRule
{
    enum Kind : qint32 { Add = 0, Delete = 1 };

    NewUserRule() = default;
    NewUserRule(const UserRule &rule, qint32 kind) : UserRule(rule), kind(kind) {}

    qint32 kind = Add;

    bool operator==(const NewUserRule &o) const { return kind == o.kind && UserRule::operator==(o); }
    bool operator!=(const NewUserRule &o) const { return !(*this == o); }
};

// Registers the rule lists under "QList<common::UserRule>" and
// "QList<common::NewUserRule>" for queued connections. Idempotent.
void registerRuleMetaTypes();

} // namespace common

Q_DECLARE_METATYPE(common::UserRule)
Q_DECLARE_METATYPE(common::NewUserRule)
