#include "common/userrule.h"

#include <QStringList>
#include <cstring>

namespace common {

bool RangeEntry::contains(const QHostAddress &address) const
{
    const auto protocol = address.protocol();
    // Both ends must speak the address's protocol; a mixed range holds nothing.
    if (protocol != low.protocol() || protocol != high.protocol())
        return false;
    if (protocol == QAbstractSocket::IPv4Protocol) {
        const quint32 a = address.toIPv4Address();
        return low.toIPv4Address() <= a && a <= high.toIPv4Address();
    }
    if (protocol == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR a = address.toIPv6Address();
        const Q_IPV6ADDR l = low.toIPv6Address();
        const Q_IPV6ADDR h = high.toIPv6Address();
        // Big-endian bytes: byte-wise comparison is numeric comparison.
        return std::memcmp(l.c, a.c, 16) <= 0 && std::memcmp(a.c, h.c, 16) <= 0;
    }
    return false;
}

bool UserRule::isValid() const
{
    return !user.isEmpty() && !(hosts.isEmpty() && networks.isEmpty() && ranges.isEmpty());
}

QString UserRule::toString() const
{
    QStringList entries;
    for (const HostEntry &h : hosts)
        entries.append((h.negated ? QStringLiteral("!") : QString()) + h.address.toString());
    for (const NetworkEntry &n : networks)
        // One pass: a scope such as "%1" in the address must not be taken for a placeholder.
        entries.append(QStringLiteral("%1%2/%3").arg(n.negated ? QStringLiteral("!") : QString(), n.address.toString(),
                                                     QString::number(n.prefixLength)));
    for (const RangeEntry &r : ranges)
        entries.append(QStringLiteral("%1%2-%3").arg(r.negated ? QStringLiteral("!") : QString(), r.low.toString(),
                                                     r.high.toString()));
    return QStringLiteral("%1: %2: %3 on (%4)")
        .arg(id)
        .arg(pass ? QStringLiteral("pass") : QStringLiteral("block"), user, entries.join(QLatin1Char(',')));
}

bool UserRule::addEntry(const QString &value)
{
    QString text = value.trimmed();
    if (text.isEmpty())
        return false;
    // The address parsers stop at a NUL and would accept what follows it.
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    bool negated = false;
    if (text.startsWith(QLatin1Char('!'))) {
        negated = true;
        text.remove(0, 1);
    }

    if (text.contains(QLatin1Char('-'))) {
        const QStringList parts = text.split(QLatin1Char('-'));
        if (parts.size() != 2)
            return false;
        RangeEntry range;
        if (!range.low.setAddress(parts.at(0)) || !range.high.setAddress(parts.at(1)))
            return false;
        range.negated = negated;
        ranges.append(range);
        return true;
    }

    if (text.contains(QLatin1Char('/'))) {
        const int slash = text.indexOf(QLatin1Char('/'));
        const QString address = text.left(slash).trimmed();
        const QString mask = text.mid(slash + 1).trimmed();
        // The subnet parser reads an empty address as 0.0.0.0 and lets a
        // prefix length wrap around (4294967295 becomes 0, "everything").
        if (address.isEmpty() || mask.isEmpty())
            return false;
        bool digits = true;
        for (QChar c : mask)
            digits = digits && c.isDigit() && c.unicode() < 0x80;
        if (digits && mask.size() > 3)
            return false;
        const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(address + QLatin1Char('/') + mask);
        const int maxPrefix = subnet.first.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
        if (subnet.first.isNull() || subnet.second < 0 || subnet.second > maxPrefix)
            return false;
        networks.append(NetworkEntry{subnet.first, subnet.second, negated});
        return true;
    }

    HostEntry host;
    if (!host.address.setAddress(text))
        return false;
    host.negated = negated;
    hosts.append(host);
    return true;
}

bool UserRule::operator==(const UserRule &o) const
{
    return id == o.id && pass == o.pass && user == o.user && hosts == o.hosts && networks == o.networks &&
           ranges == o.ranges;
}

void registerRuleMetaTypes()
{
    qRegisterMetaType<UserRule>("common::UserRule");
    qRegisterMetaType<NewUserRule>("common::NewUserRule");
    qRegisterMetaType<QList<UserRule>>("QList<common::UserRule>");
    qRegisterMetaType<QList<NewUserRule>>("QList<common::NewUserRule>");
}

namespace {
// Whoever links the rules gets them registered, so queued connections and
// signal spies know the rule lists without a call at start.
[[maybe_unused]] const bool rulesRegistered = (registerRuleMetaTypes(), true);
} // namespace

} // namespace common
