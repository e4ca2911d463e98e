#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

namespace testsupport {

// The question of a DNS or LLMNR query as a test server sees it.
struct DnsQuestion
{
    quint16 id = 0;
    QString name; // without the final dot, as sent
    quint16 type = 0;
    bool valid = false;
};

DnsQuestion parseDnsQuery(const QByteArray &query);

// Builds a reply to a query: same id and question, response bit set, then
// whatever records a test wants, well-formed or not.
class DnsReplyBuilder
{
public:
    explicit DnsReplyBuilder(const QByteArray &query) : m_query(query) {}

    DnsReplyBuilder &setRcode(int rcode)
    {
        m_rcode = rcode;
        return *this;
    }
    DnsReplyBuilder &setTruncatedBit()
    {
        m_truncated = true;
        return *this;
    }
    DnsReplyBuilder &addA(const QString &owner, const QHostAddress &address);
    DnsReplyBuilder &addAAAA(const QString &owner, const QHostAddress &address)
    {
        return addRaw(owner, 28, QByteArray(reinterpret_cast<const char *>(address.toIPv6Address().c), 16));
    }
    DnsReplyBuilder &addPtr(const QString &owner, const QString &host) { return addRaw(owner, 12, encodeName(host)); }
    DnsReplyBuilder &addCname(const QString &owner, const QString &target)
    {
        return addRaw(owner, 5, encodeName(target));
    }
    // A record with arbitrary type and data.
    DnsReplyBuilder &addRaw(const QString &owner, quint16 type, const QByteArray &data);

    QByteArray build() const;

    static QByteArray encodeName(const QString &name);

private:
    QByteArray m_query;
    QByteArray m_answers;
    int m_answerCount = 0;
    int m_rcode = 0;
    bool m_truncated = false;
};

} // namespace testsupport
