#include "support/dnsmessagebuilder.h"

#include <QtEndian>

namespace testsupport {

namespace {
void put16(QByteArray *out, quint16 value)
{
    out->append(static_cast<char>(value >> 8)).append(static_cast<char>(value & 0xff));
}
quint16 get16(const QByteArray &data, int pos)
{
    return qFromBigEndian<quint16>(data.constData() + pos);
}
} // namespace

DnsQuestion parseDnsQuery(const QByteArray &query)
{
    DnsQuestion question;
    if (query.size() < 12 || get16(query, 4) != 1)
        return question;
    int pos = 12;
    QStringList labels;
    while (pos < query.size()) {
        const int length = static_cast<quint8>(query.at(pos++));
        if (length == 0)
            break;
        if (length > 63 || pos + length > query.size())
            return question;
        labels.append(QString::fromUtf8(query.mid(pos, length)));
        pos += length;
    }
    if (pos + 4 > query.size())
        return question;
    return {get16(query, 0), labels.join(QLatin1Char('.')), get16(query, pos), true};
}

QByteArray DnsReplyBuilder::encodeName(const QString &name)
{
    QByteArray out;
    for (const QString &label : name.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        const QByteArray bytes = label.toUtf8();
        out.append(static_cast<char>(bytes.size())).append(bytes);
    }
    return out.append('\0');
}

DnsReplyBuilder &DnsReplyBuilder::addRaw(const QString &owner, quint16 type, const QByteArray &data)
{
    m_answers.append(encodeName(owner));
    put16(&m_answers, type);
    put16(&m_answers, 1); // IN
    m_answers.append(QByteArray("\0\0\0\x3c", 4));
    put16(&m_answers, static_cast<quint16>(data.size()));
    m_answers.append(data);
    ++m_answerCount;
    return *this;
}

DnsReplyBuilder &DnsReplyBuilder::addA(const QString &owner, const QHostAddress &address)
{
    QByteArray data(4, '\0');
    qToBigEndian<quint32>(address.toIPv4Address(), data.data());
    return addRaw(owner, 1, data);
}

QByteArray DnsReplyBuilder::build() const
{
    QByteArray reply = m_query.left(12);
    reply.resize(12);
    // Response bit, opcode and RD copied, TC as asked; RA off; rcode as asked.
    reply[2] = static_cast<char>(0x80 | (reply.at(2) & 0x79) | (m_truncated ? 0x02 : 0));
    reply[3] = static_cast<char>(m_rcode & 0x0f);
    reply[6] = static_cast<char>(m_answerCount >> 8);
    reply[7] = static_cast<char>(m_answerCount & 0xff);
    reply[8] = reply[9] = reply[10] = reply[11] = 0;
    return reply + m_query.mid(12) + m_answers;
}

} // namespace testsupport
