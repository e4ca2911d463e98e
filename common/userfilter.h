#pragma once

#include "common/logon.h"
#include "common/userrule.h"

#include <QObject>
#include <QVector>

namespace common {

// One firewall's rules: decides which logons and logoffs that firewall hears
// about. Rules are tried by ascending id; the first rule whose user applies
// (same name ignoring case, or exactly "any") and whose address test holds
// decides pass or block. When no rule decides, nothing is admitted, so an
// empty filter admits nothing. Main thread only, no locking.
class UserFilter : public QObject
{
    Q_OBJECT
public:
    explicit UserFilter(QObject *parent = nullptr) : QObject(parent) {}

    // A logoff is passed as its logon part.
    virtual bool match(const Logon &logon) const;
    // The admitted logons, in input order.
    virtual LogonList filter(const LogonList &logons) const;

    void addRule(const UserRule &rule);
    void clear();
    // Removes the first stored rule that equals rule: same user ignoring case,
    // same id and action, and every entry of the stored rule among rule's
    // entries. False when there is none.
    bool removeRule(const UserRule &rule);
    // The rules' text forms separated by ",", empty for an empty filter.
    QString toString() const;

    const QList<UserRule> &rules() const { return m_rules; }

private:
    void sortRules();
    static bool addressHolds(const UserRule &rule, const QHostAddress &address);
    static bool sameRule(const UserRule &stored, const UserRule &given);

    QList<UserRule> m_rules;       // always sorted by id, ascending
    QVector<QString> m_lowerUsers; // m_rules' users lower-cased, same order
};

// Admits everything whatever its rules; for test firewalls.
class MockUserFilter : public UserFilter
{
    Q_OBJECT
public:
    using UserFilter::UserFilter;

    bool match(const Logon &) const override { return true; }
    LogonList filter(const LogonList &logons) const override { return logons; }
};

} // namespace common
