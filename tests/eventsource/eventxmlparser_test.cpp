#include "eventsource/eventxmlparser.h"
#include "securityxml.h"

#include <gtest/gtest.h>
#include <random>

using namespace userCollector;

namespace {

bool parse(const QByteArray &xml, RenderedEvent *event, QString *error = nullptr)
{
    QString ignored;
    return parseEventXml(xml.constData(), static_cast<std::size_t>(xml.size()), event, error ? error : &ignored);
}

QByteArray wrap(const QByteArray &system, const QByteArray &data)
{
    return "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>" + system +
           "</System><EventData>" + data + "</EventData></Event>";
}

const EventValue &value(const RenderedEvent &event, EventValueIndex index)
{
    return event.values[static_cast<std::size_t>(index)];
}

TEST(EventXmlParser, TakesTheElevenValuesWithTheirTypes)
{
    testsupport::SecurityEvent spec;
    spec.recordId = 237294534;
    spec.time = QDateTime(QDate(2021, 12, 14), QTime(14, 42, 49, 222), Qt::UTC);
    spec.logonProcess = QStringLiteral("NtLmSsp ");
    RenderedEvent event;
    ASSERT_TRUE(parse(testsupport::securityEventXml(spec), &event));
    EXPECT_EQ(value(event, ValueWorkstationName).text, QStringLiteral("PC07"));
    EXPECT_EQ(value(event, ValueTimeCreated).type, EventValueType::FileTime);
    // 2021-12-14T14:42:49.2224567Z in 100 ns units since 1601
    const quint64 seconds = static_cast<quint64>(spec.time.toSecsSinceEpoch()) + 11644473600ULL;
    EXPECT_EQ(value(event, ValueTimeCreated).number, seconds * 10000000ULL + 2224567ULL);
    EXPECT_EQ(value(event, ValueEventId).type, EventValueType::UInt16);
    EXPECT_EQ(value(event, ValueEventId).number, 4624u);
    EXPECT_EQ(value(event, ValueEventRecordId).type, EventValueType::UInt64);
    EXPECT_EQ(value(event, ValueEventRecordId).number, 237294534u);
    EXPECT_EQ(value(event, ValueIpAddress).text, QStringLiteral("10.0.0.5"));
    EXPECT_EQ(value(event, ValueTargetDomainName).text, QStringLiteral("CORP"));
    EXPECT_EQ(value(event, ValueTargetUserSid).type, EventValueType::Sid);
    EXPECT_EQ(value(event, ValueTargetUserSid).text, QStringLiteral("S-1-5-21-1-2-3-1104"));
    EXPECT_EQ(value(event, ValueTargetUserName).text, QStringLiteral("alice"));
    EXPECT_EQ(value(event, ValueLogonType).type, EventValueType::UInt32);
    EXPECT_EQ(value(event, ValueLogonType).number, 3u);
    EXPECT_EQ(value(event, ValueLogonProcessName).text, QStringLiteral("NtLmSsp ")); // the reader trims
    EXPECT_EQ(value(event, ValueStatus).type, EventValueType::Null);
}

TEST(EventXmlParser, ValuesOfAnotherFormAreAbsent)
{
    struct Case
    {
        const char *data;
        EventValueIndex index;
        EventValueType type;
        quint64 number;
    } cases[] = {
        {"<Data Name='LogonType'>3</Data>", ValueLogonType, EventValueType::UInt32, 3},
        {"<Data Name='LogonType'>x3</Data>", ValueLogonType, EventValueType::Null, 0},
        {"<Data Name='LogonType'>-3</Data>", ValueLogonType, EventValueType::Null, 0},
        {"<Data Name='LogonType'>4294967296</Data>", ValueLogonType, EventValueType::Null, 0},
        {"<Data Name='Status'>0x0</Data>", ValueStatus, EventValueType::HexInt32, 0},
        {"<Data Name='Status'>0x00000006</Data>", ValueStatus, EventValueType::HexInt32, 6},
        {"<Data Name='Status'>0xC000006A</Data>", ValueStatus, EventValueType::HexInt32, 0xC000006A},
        {"<Data Name='Status'>6</Data>", ValueStatus, EventValueType::Null, 0},
        {"<Data Name='Status'>0x100000000</Data>", ValueStatus, EventValueType::Null, 0},
        {"<Data Name='TargetUserSid'>S-1-5-18</Data>", ValueTargetUserSid, EventValueType::Sid, 0},
        {"<Data Name='TargetUserSid'>NULL SID</Data>", ValueTargetUserSid, EventValueType::Null, 0},
        {"<Data Name='TargetUserSid'>S-1-5-</Data>", ValueTargetUserSid, EventValueType::Null, 0},
        {"<Data Name='TargetUserName'/>", ValueTargetUserName, EventValueType::String, 0},
        {"<Data Name='TargetUserName'>a</Data><Data Name='TargetUserName'>b</Data>", ValueTargetUserName,
         EventValueType::String, 0},
        {"<Data Name='Other'>a</Data>", ValueTargetUserName, EventValueType::Null, 0},
    };
    for (const Case &c : cases) {
        RenderedEvent event;
        ASSERT_TRUE(parse(wrap("<EventID>4624</EventID>", c.data), &event)) << c.data;
        EXPECT_EQ(value(event, c.index).type, c.type) << c.data;
        EXPECT_EQ(value(event, c.index).number, c.number) << c.data;
    }
    RenderedEvent event;
    ASSERT_TRUE(parse(wrap("", "<Data Name='TargetUserName'>a</Data><Data Name='TargetUserName'>b</Data>"), &event));
    EXPECT_EQ(value(event, ValueTargetUserName).text, QStringLiteral("a")) << "the first element of a name wins";

    struct SystemCase
    {
        const char *system;
        EventValueIndex index;
        EventValueType type;
    } systemCases[] = {
        {"<EventID Qualifiers=''>4768</EventID>", ValueEventId, EventValueType::UInt16},
        {"<EventID>70000</EventID>", ValueEventId, EventValueType::Null},
        {"<EventRecordID>18446744073709551615</EventRecordID>", ValueEventRecordId, EventValueType::UInt64},
        {"<EventRecordID>18446744073709551616</EventRecordID>", ValueEventRecordId, EventValueType::Null},
        {"<TimeCreated SystemTime='2015-11-12T00:24:12.7Z'/>", ValueTimeCreated, EventValueType::FileTime},
        {"<TimeCreated SystemTime='2015-11-12 00:24:12'/>", ValueTimeCreated, EventValueType::FileTime},
        {"<TimeCreated SystemTime='2015-13-12T00:24:12Z'/>", ValueTimeCreated, EventValueType::Null},
        {"<TimeCreated SystemTime='yesterday'/>", ValueTimeCreated, EventValueType::Null},
        {"<TimeCreated/>", ValueTimeCreated, EventValueType::Null},
    };
    for (const SystemCase &c : systemCases) {
        ASSERT_TRUE(parse(wrap(c.system, ""), &event)) << c.system;
        EXPECT_EQ(value(event, c.index).type, c.type) << c.system;
    }
}

TEST(EventXmlParser, DecodesEntitiesAndKeepsControlCharacters)
{
    RenderedEvent event;
    ASSERT_TRUE(
        parse(wrap("", "<Data Name='TargetUserName'>a&amp;b&lt;&#x41;&#66;\x01<![CDATA[<c>]]></Data>"), &event));
    EXPECT_EQ(value(event, ValueTargetUserName).text, QStringLiteral("a&b<AB\x01<c>"));
    ASSERT_TRUE(parse(wrap("", "<Data Name='TargetUserName'>\xc3\xa9l\xc3\xa8ve</Data>"), &event));
    EXPECT_EQ(value(event, ValueTargetUserName).text, QString::fromUtf8("\xc3\xa9l\xc3\xa8ve"));
}

TEST(EventXmlParser, RefusesMalformedElements)
{
    const char *cases[] = {
        "",
        "<Event>",
        "<Event><System></Event>",
        "<Event><System><EventID>1</EventId></System></Event>",
        "<Event><EventData><Data Name=TargetUserName>a</Data></EventData></Event>",
        "<Event><EventData><Data Name='TargetUserName>a</Data></EventData></Event>",
        "<Event><EventData><Data Name='TargetUserName'>a &bogus; b</Data></EventData></Event>",
        "<Event><EventData><Data Name='TargetUserName'>a &#xD800; b</Data></EventData></Event>",
        "<Event><EventData><Data Name='TargetUserName'>a & b</Data></EventData></Event>",
        "<Event></Event><Event></Event>",
        "<Other></Other>",
        "<Event><!-- open comment</Event>",
        "<Event>< System/></Event>",
        "<Event><System a='1'b='2'/></Event>",
        "text<Event></Event>",
    };
    for (const char *xml : cases) {
        RenderedEvent event;
        QString error;
        EXPECT_FALSE(parse(QByteArray(xml), &event, &error)) << xml;
        EXPECT_FALSE(error.isEmpty()) << xml;
        EXPECT_FALSE(event.rendered);
    }
    RenderedEvent event;
    EXPECT_TRUE(parse("<?xml version='1.0'?>\n<!-- x --><e:Event xmlns:e='u'><e:System><e:EventID>4624</e:EventID>"
                      "</e:System></e:Event>\n",
                      &event));
    EXPECT_EQ(value(event, ValueEventId).number, 4624u);
}

TEST(EventXmlParser, DeepNestingIsRefusedNotOverflowed)
{
    QByteArray xml = "<Event>";
    for (int i = 0; i < 10000; ++i)
        xml += "<a>";
    RenderedEvent event;
    EXPECT_FALSE(parse(xml, &event));
}

TEST(EventXmlParser, MutatedEventsNeverCrashTheParser)
{
    testsupport::SecurityEvent spec;
    spec.time = QDateTime::currentDateTimeUtc();
    const QByteArray original = testsupport::securityEventXml(spec);
    std::mt19937 random(20240301);
    const char specials[] = "<>&;'\"/=!?[]-x\x01\xff";
    int rendered = 0;
    for (int round = 0; round < 4000; ++round) {
        QByteArray xml = original;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < edits; ++i) {
            const int at = static_cast<int>(random() % static_cast<unsigned>(xml.size()));
            switch (random() % 4) {
            case 0:
                xml[at] = specials[random() % (sizeof(specials) - 1)];
                break;
            case 1:
                xml.insert(at, specials[random() % (sizeof(specials) - 1)]);
                break;
            case 2:
                xml.remove(at, 1 + static_cast<int>(random() % 20));
                break;
            default:
                xml.truncate(at);
                break;
            }
            if (xml.isEmpty())
                break;
        }
        RenderedEvent event;
        QString error;
        if (parse(xml, &event, &error)) {
            ++rendered;
        } else {
            EXPECT_FALSE(error.isEmpty());
        }
        EventValue id;
        EventValue record;
        peekEventXml(xml.constData(), static_cast<std::size_t>(xml.size()), &id, &record);
    }
    // Edits inside texts leave the element well formed; edits of markup do not.
    EXPECT_GT(rendered, 100);
    EXPECT_LT(rendered, 3900);
}

} // namespace
