#include "common/userfilter.h"

#include <algorithm>

namespace common {

void UserFilter::sortRules()
{
    // Stable, so rules sharing an id keep the order they were added in.
    std::stable_sort(m_rules.begin(), m_rules.end(), [](const UserRule &a, const UserRule &b) { return a.id < b.id; });
    m_lowerUsers.clear();
    m_lowerUsers.reserve(m_rules.size());
    for (const UserRule &rule : m_rules)
        m_lowerUsers.append(rule.user.toLower());
}

void UserFilter::addRule(const UserRule &rule)
{
    m_rules.append(rule);
    sortRules();
}

void UserFilter::clear()
{
    m_rules.clear();
    m_lowerUsers.clear();
}

bool UserFilter::sameRule(const UserRule &stored, const UserRule &given)
{
    if (stored.user.toUpper() != given.user.toUpper() || stored.id != given.id || stored.pass != given.pass)
        return false;
    for (const HostEntry &h : stored.hosts)
        if (!given.hosts.contains(h))
            return false;
    for (const NetworkEntry &n : stored.networks)
        if (!given.networks.contains(n))
            return false;
    for (const RangeEntry &r : stored.ranges)
        if (!given.ranges.contains(r))
            return false;
    return true;
}

bool UserFilter::removeRule(const UserRule &rule)
{
    for (int i = 0; i < m_rules.size(); ++i) {
        if (sameRule(m_rules.at(i), rule)) {
            m_rules.removeAt(i);
            sortRules();
            return true;
        }
    }
    return false;
}

QString UserFilter::toString() const
{
    QString text;
    for (const UserRule &rule : m_rules)
        text += rule.toString() + QLatin1Char(',');
    text.chop(1);
    return text;
}

bool UserFilter::addressHolds(const UserRule &rule, const QHostAddress &address)
{
    for (const HostEntry &h : rule.hosts)
        if ((address == h.address) != h.negated)
            return true;
    for (const NetworkEntry &n : rule.networks)
        if (address.isInSubnet(n.address, n.prefixLength) != n.negated)
            return true;
    for (const RangeEntry &r : rule.ranges)
        if (r.contains(address) != r.negated)
            return true;
    return false;
}

bool UserFilter::match(const Logon &logon) const
{
    const QString user = logon.user().toLower();
    for (int i = 0; i < m_rules.size(); ++i) {
        const UserRule &rule = m_rules.at(i);
        const bool applies = rule.user == QLatin1String("any") || m_lowerUsers.at(i) == user;
        if (applies && addressHolds(rule, logon.ip()))
            return rule.pass;
    }
    return false;
}

LogonList UserFilter::filter(const LogonList &logons) const
{
    LogonList admitted;
    for (const Logon &logon : logons)
        if (match(logon))
            admitted.append(logon);
    return admitted;
}

} // namespace common
