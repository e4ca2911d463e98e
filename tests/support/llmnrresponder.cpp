#include "support/llmnrresponder.h"

#include "support/dnsmessagebuilder.h"

namespace testsupport {

QString ptrNameOf(const QHostAddress &address)
{
    QString name;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v = address.toIPv4Address();
        for (int shift = 0; shift < 32; shift += 8)
            name += QStringLiteral("%1.").arg((v >> shift) & 0xff);
        return name + QStringLiteral("in-addr.arpa");
    }
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 15; i >= 0; --i)
        name += QStringLiteral("%1.%2.").arg(bytes.c[i] & 0xf, 0, 16).arg(bytes.c[i] >> 4, 0, 16);
    return name + QStringLiteral("ip6.arpa");
}

LlmnrResponder::LlmnrResponder(const QHash<QString, QList<QHostAddress>> &hosts, const QHostAddress &address)
    : m_hosts([&hosts] {
          QHash<QString, QList<QHostAddress>> lowered;
          for (auto it = hosts.cbegin(); it != hosts.cend(); ++it)
              lowered.insert(it.key().toLower(), it.value());
          return lowered;
      }()),
      m_server([this](const QByteArray &query) { return answer(query); }, address)
{}

UdpResponder::Reply LlmnrResponder::answer(const QByteArray &query) const
{
    const DnsQuestion question = parseDnsQuery(query);
    DnsReplyBuilder reply(query);
    int records = 0;
    for (auto it = m_hosts.cbegin(); question.valid && it != m_hosts.cend(); ++it) {
        for (const QHostAddress &address : it.value()) {
            const bool v4 = address.protocol() == QAbstractSocket::IPv4Protocol;
            if (question.type == 12 && ptrNameOf(address) == question.name.toLower())
                reply.addPtr(question.name, it.key());
            else if (it.key() == question.name.toLower() && question.type == 1 && v4)
                reply.addA(question.name, address);
            else if (it.key() == question.name.toLower() && question.type == 28 && !v4)
                reply.addAAAA(question.name, address);
            else
                continue;
            ++records;
        }
    }
    return records == 0 ? UdpResponder::Reply() : UdpResponder::Reply{reply.build(), 0};
}

} // namespace testsupport
