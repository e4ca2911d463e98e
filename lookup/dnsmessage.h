#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

namespace lookup {

// Record types the look-up asks for or meets in answers.
enum DnsType : quint16 { TypeA = 1, TypeCNAME = 5, TypePTR = 12, TypeAAAA = 28 };

// One resource record of an answer section, decoded as far as the look-up needs:
// an address for A and AAAA, a host name for PTR and CNAME.
struct DnsRecord
{
    QString name;
    quint16 type = 0;
    QHostAddress address;
    QString host;
};

// "A", "AAAA", "PTR", or the number for any other type.
QString dnsTypeName(quint16 type);

// Decodes the answer section of a DNS or LLMNR reply. Returns a c-ares status:
// ARES_SUCCESS with at least one record, ARES_ENODATA for an empty answer,
// the status of a failure rcode, or ARES_EBADRESP for a reply that is
// truncated, malformed, or has records of impossible length.
int parseDnsAnswer(const unsigned char *reply, int length, QList<DnsRecord> *records);

// Reads the single question of a reply (name without the final dot, type).
// False when the reply has not exactly one well-formed question.
bool parseDnsQuestion(const unsigned char *reply, int length, QString *name, quint16 *type);

// True for a name the resolvers can be asked: not empty, labels of 1 to 63
// bytes of letters, digits, "-", "_" or non-ASCII text, at most 255 bytes
// in wire form, an optional final dot.
bool isValidQueryName(const QString &name);

} // namespace lookup
