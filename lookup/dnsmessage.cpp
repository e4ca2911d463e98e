#include "lookup/dnsmessage.h"

#include <ares.h>
#include <arpa/nameser.h>
#include <cstring>

namespace lookup {

namespace {

constexpr int HeaderSize = 12;
constexpr int FixedRecordSize = 10; // type, class, ttl, rdlength

quint16 read16(const unsigned char *p)
{
    return static_cast<quint16>((p[0] << 8) | p[1]);
}

// Expands the name at pos; *next is the position after it. False when the
// name runs out of the reply or loops.
bool expandName(const unsigned char *reply, int length, int pos, QString *name, int *next)
{
    if (pos < 0 || pos >= length)
        return false;
    char *text = nullptr;
    long encodedLength = 0;
    if (ares_expand_name(reply + pos, reply, length, &text, &encodedLength) != ARES_SUCCESS)
        return false;
    if (name)
        *name = QString::fromUtf8(text);
    ares_free_string(text);
    if (encodedLength <= 0 || pos + encodedLength > length)
        return false;
    *next = pos + static_cast<int>(encodedLength);
    return true;
}

int statusOfRcode(int rcode)
{
    switch (rcode) {
    case ns_r_noerror:
        return ARES_SUCCESS;
    case ns_r_formerr:
        return ARES_EFORMERR;
    case ns_r_servfail:
        return ARES_ESERVFAIL;
    case ns_r_nxdomain:
        return ARES_ENOTFOUND;
    case ns_r_notimpl:
        return ARES_ENOTIMP;
    case ns_r_refused:
        return ARES_EREFUSED;
    default:
        return ARES_EBADRESP;
    }
}

bool skipQuestions(const unsigned char *reply, int length, int count, int *pos)
{
    for (int i = 0; i < count; ++i) {
        if (!expandName(reply, length, *pos, nullptr, pos))
            return false;
        if (*pos + 4 > length)
            return false;
        *pos += 4;
    }
    return true;
}

} // namespace

QString dnsTypeName(quint16 type)
{
    switch (type) {
    case TypeA:
        return QStringLiteral("A");
    case TypeAAAA:
        return QStringLiteral("AAAA");
    case TypePTR:
        return QStringLiteral("PTR");
    default:
        return QString::number(type);
    }
}

int parseDnsAnswer(const unsigned char *reply, int length, QList<DnsRecord> *records)
{
    records->clear();
    if (!reply || length < HeaderSize)
        return ARES_EBADRESP;
    const int rcode = reply[3] & 0x0f;
    const int questions = read16(reply + 4);
    const int answers = read16(reply + 6);
    if (rcode != ns_r_noerror)
        return statusOfRcode(rcode);
    int pos = HeaderSize;
    if (!skipQuestions(reply, length, questions, &pos))
        return ARES_EBADRESP;
    QList<DnsRecord> found;
    for (int i = 0; i < answers; ++i) {
        DnsRecord record;
        if (!expandName(reply, length, pos, &record.name, &pos) || pos + FixedRecordSize > length)
            return ARES_EBADRESP;
        record.type = read16(reply + pos);
        const int dataLength = read16(reply + pos + 8);
        pos += FixedRecordSize;
        if (pos + dataLength > length)
            return ARES_EBADRESP;
        const unsigned char *data = reply + pos;
        switch (record.type) {
        case TypeA:
            if (dataLength != 4)
                return ARES_EBADRESP;
            record.address =
                QHostAddress(static_cast<quint32>((data[0] << 24) | (data[1] << 16) | (data[2] << 8) | data[3]));
            break;
        case TypeAAAA: {
            if (dataLength != 16)
                return ARES_EBADRESP;
            Q_IPV6ADDR bytes;
            std::memcpy(bytes.c, data, 16);
            record.address = QHostAddress(bytes);
            break;
        }
        case TypePTR:
        case TypeCNAME: {
            int end = 0;
            if (!expandName(reply, length, pos, &record.host, &end) || end > pos + dataLength)
                return ARES_EBADRESP;
            break;
        }
        default:
            break;
        }
        pos += dataLength;
        found.append(record);
    }
    if (found.isEmpty())
        return ARES_ENODATA;
    *records = found;
    return ARES_SUCCESS;
}

bool parseDnsQuestion(const unsigned char *reply, int length, QString *name, quint16 *type)
{
    if (!reply || length < HeaderSize || read16(reply + 4) != 1)
        return false;
    int pos = HeaderSize;
    if (!expandName(reply, length, pos, name, &pos) || pos + 4 > length)
        return false;
    *type = read16(reply + pos);
    return true;
}

bool isValidQueryName(const QString &name)
{
    QByteArray bytes = name.toUtf8();
    if (bytes.endsWith('.'))
        bytes.chop(1);
    if (bytes.isEmpty())
        return false;
    int wireLength = 1; // the root label
    for (const QByteArray &label : bytes.split('.')) {
        if (label.isEmpty() || label.size() > 63)
            return false;
        for (const char c : label) {
            const unsigned char u = static_cast<unsigned char>(c);
            const bool allowed = (u >= 0x80) || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                                 (u >= '0' && u <= '9') || u == '-' || u == '_';
            if (!allowed)
                return false;
        }
        wireLength += label.size() + 1;
    }
    return wireLength <= 255;
}

} // namespace lookup
