#include "support/llmnrresponder.h"

#include "support/dnsmessagebuilder.h"

namespace testsupport {

namespace {
QHash<QString, QList<QHostAddress>> lowerCased(const QHash<QString, QList<QHostAddress>> &hosts)
{
    QHash<QString, QList<QHostAddress>> result;
    for (auto it = hosts.cbegin(); it != hosts.cend(); ++it)
        result.insert(it.key().toLower(), it.value());
    return result;
}
} // namespace

QString ptrNameOf(const QHostAddress &address)
{
    QString name;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v = address.toIPv4Address();
        return QStringLiteral("%1.%2.%3.%4.in-addr.arpa")
            .arg(v & 0xff)
            .arg((v >> 8) & 0xff)
            .arg((v >> 16) & 0xff)
            .arg(v >> 24);
    }
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 15; i >= 0; --i)
        name += QStringLiteral("%1.%2.").arg(bytes.c[i] & 0xf, 0, 16).arg(bytes.c[i] >> 4, 0, 16);
    return name + QStringLiteral("ip6.arpa");
}

LlmnrResponder::LlmnrResponder(const QHash<QString, QList<QHostAddress>> &hosts, const QHostAddress &address)
    : m_hosts(lowerCased(hosts)), m_server([this](const QByteArray &query) { return answer(query); }, address)
{}

UdpResponder::Reply LlmnrResponder::answer(const QByteArray &query) const
{
    const DnsQuestion question = parseDnsQuery(query);
    if (!question.valid)
        return {};
    DnsReplyBuilder reply(query);
    int records = 0;
    const QString name = question.name.toLower();
    if (question.type == 12) {
        for (auto it = m_hosts.cbegin(); it != m_hosts.cend(); ++it) {
            for (const QHostAddress &address : it.value()) {
                if (ptrNameOf(address) == name) {
                    reply.addPtr(question.name, it.key());
                    ++records;
                }
            }
        }
    } else if (m_hosts.contains(name)) {
        for (const QHostAddress &address : m_hosts.value(name)) {
            if (question.type == 1 && address.protocol() == QAbstractSocket::IPv4Protocol) {
                reply.addA(question.name, address);
                ++records;
            } else if (question.type == 28 && address.protocol() == QAbstractSocket::IPv6Protocol) {
                reply.addAAAA(question.name, address);
                ++records;
            }
        }
    }
    if (records == 0)
        return {};
    return {reply.build(), 0};
}

} // namespace testsupport
