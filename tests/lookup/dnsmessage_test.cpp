// Decoding of DNS and LLMNR answers and the names the resolvers may be asked.
#include "lookup/dnsmessage.h"
#include "support/dnsmessagebuilder.h"

#include <ares.h>
#include <gtest/gtest.h>

using testsupport::DnsReplyBuilder;

namespace {

QByteArray queryFor(const char *name, quint16 type)
{
    unsigned char *buffer = nullptr;
    int length = 0;
    EXPECT_EQ(ares_create_query(name, 1, type, 0x4242, 1, &buffer, &length, 0), ARES_SUCCESS);
    const QByteArray query(reinterpret_cast<const char *>(buffer), length);
    ares_free_string(buffer);
    return query;
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

int parse(const QByteArray &reply, QList<lookup::DnsRecord> *records)
{
    return lookup::parseDnsAnswer(bytes(reply), reply.size(), records);
}

} // namespace

TEST(DnsMessage, DecodesAddressAndNameRecords)
{
    const QByteArray reply = DnsReplyBuilder(queryFor("pc07.corp.test", 1))
                                 .addCname("pc07.corp.test", "real.corp.test")
                                 .addA("real.corp.test", QHostAddress("10.0.0.7"))
                                 .addAAAA("real.corp.test", QHostAddress("fd00::7"))
                                 .addPtr("7.0.0.10.in-addr.arpa", "pc07.corp.test")
                                 .addRaw("real.corp.test", 16, "\x03txt")
                                 .build();
    QList<lookup::DnsRecord> records;
    ASSERT_EQ(parse(reply, &records), ARES_SUCCESS);
    ASSERT_EQ(records.size(), 5);
    EXPECT_EQ(records.at(0).type, lookup::TypeCNAME);
    EXPECT_EQ(records.at(0).host, QStringLiteral("real.corp.test"));
    EXPECT_EQ(records.at(1).address, QHostAddress("10.0.0.7"));
    EXPECT_EQ(records.at(1).name, QStringLiteral("real.corp.test"));
    EXPECT_EQ(records.at(2).address, QHostAddress("fd00::7"));
    EXPECT_EQ(records.at(3).host, QStringLiteral("pc07.corp.test"));
    EXPECT_EQ(records.at(4).type, 16);
}

TEST(DnsMessage, StatusOfEveryBrokenOrNegativeReply)
{
    const QByteArray query = queryFor("pc07.corp.test", 1);
    const QByteArray good = DnsReplyBuilder(query).addA("pc07", QHostAddress("10.0.0.7")).build();
    QByteArray pointerLoop = DnsReplyBuilder(query).build();
    pointerLoop[7] = 1;
    pointerLoop.append("\xc0");
    pointerLoop.append(static_cast<char>(pointerLoop.size() - 1));
    pointerLoop.append(QByteArray("\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\x0a\x00\x00\x01", 14));
    QByteArray ptrOverrun = DnsReplyBuilder(query).addPtr("x", "host.corp.test").build();
    ptrOverrun[ptrOverrun.size() - 17] = 2; // rdlength 2, shorter than the name inside

    const QList<QPair<QByteArray, int>> cases = {
        {good, ARES_SUCCESS},
        {DnsReplyBuilder(query).build(), ARES_ENODATA},
        {DnsReplyBuilder(query).setRcode(3).build(), ARES_ENOTFOUND},
        {DnsReplyBuilder(query).setRcode(2).build(), ARES_ESERVFAIL},
        {DnsReplyBuilder(query).setRcode(5).build(), ARES_EREFUSED},
        {DnsReplyBuilder(query).setRcode(1).build(), ARES_EFORMERR},
        {DnsReplyBuilder(query).setRcode(4).build(), ARES_ENOTIMP},
        {DnsReplyBuilder(query).setRcode(9).build(), ARES_EBADRESP},
        {QByteArray(), ARES_EBADRESP},
        {good.left(11), ARES_EBADRESP},
        {good.left(20), ARES_EBADRESP},
        {good.chopped(1), ARES_EBADRESP},
        {DnsReplyBuilder(query).addRaw("x", 1, "\x01\x02").build(), ARES_EBADRESP},
        {DnsReplyBuilder(query).addRaw("x", 28, QByteArray(15, 'a')).build(), ARES_EBADRESP},
        {pointerLoop, ARES_EBADRESP},
        {ptrOverrun, ARES_EBADRESP},
    };
    for (int i = 0; i < cases.size(); ++i) {
        QList<lookup::DnsRecord> records;
        EXPECT_EQ(parse(cases.at(i).first, &records), cases.at(i).second) << "case " << i;
        EXPECT_EQ(records.isEmpty(), cases.at(i).second != ARES_SUCCESS) << "case " << i;
    }
}

TEST(DnsMessage, QuestionOfAReply)
{
    const QByteArray reply = DnsReplyBuilder(queryFor("PC07", 28)).build();
    QString name;
    quint16 type = 0;
    ASSERT_TRUE(lookup::parseDnsQuestion(bytes(reply), reply.size(), &name, &type));
    EXPECT_EQ(name, QStringLiteral("PC07"));
    EXPECT_EQ(type, 28);
    EXPECT_FALSE(lookup::parseDnsQuestion(bytes(reply), 14, &name, &type));
}

TEST(DnsMessage, ValidQueryNames)
{
    const QString label63(63, QLatin1Char('a'));
    // Four labels of 63 bytes and one of 61 fill 255 bytes of wire form exactly.
    const QString longest = QStringList{label63, label63, label63, QString(61, QLatin1Char('b'))}.join('.');
    const QList<QPair<QString, bool>> cases = {
        {QStringLiteral("pc07"), true},
        {QStringLiteral("PC-07.corp.example.com"), true},
        {QStringLiteral("pc_07.corp."), true},
        {QStringLiteral("20.1.168.192.in-addr.arpa."), true},
        {QString::fromUtf8("büro-pc.corp"), true},
        {label63, true},
        {longest, true},
        {longest + QStringLiteral("b"), false},
        {label63 + QStringLiteral("a"), false},
        {QString(), false},
        {QStringLiteral("."), false},
        {QStringLiteral(".."), false},
        {QStringLiteral("a..b"), false},
        {QStringLiteral(".a"), false},
        {QStringLiteral("with space"), false},
        {QStringLiteral("semi;colon"), false},
        {QStringLiteral("back\\slash"), false},
        {QStringLiteral("star*"), false},
        {QStringLiteral("tab\there"), false},
        {QStringLiteral("nul") + QChar(0) + QStringLiteral("x"), false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(lookup::isValidQueryName(c.first), c.second) << c.first.toStdString();
}
