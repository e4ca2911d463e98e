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
    // 2021-12-14T14:42:49.2224567Z in 100 ns units since 1601
    const quint64 time = (static_cast<quint64>(spec.time.toSecsSinceEpoch()) + 11644473600ULL) * 10000000ULL + 2224567;
    const std::vector<std::tuple<EventValueIndex, EventValueType, quint64, QString>> expected{
        {ValueWorkstationName, EventValueType::String, 0, QStringLiteral("PC07")},
        {ValueTimeCreated, EventValueType::FileTime, time, QString()},
        {ValueEventId, EventValueType::UInt16, 4624, QString()},
        {ValueEventRecordId, EventValueType::UInt64, 237294534, QString()},
        {ValueIpAddress, EventValueType::String, 0, QStringLiteral("10.0.0.5")},
        {ValueTargetDomainName, EventValueType::String, 0, QStringLiteral("CORP")},
        {ValueTargetUserSid, EventValueType::Sid, 0, QStringLiteral("S-1-5-21-1-2-3-1104")},
        {ValueTargetUserName, EventValueType::String, 0, QStringLiteral("alice")},
        {ValueLogonType, EventValueType::UInt32, 3, QString()},
        {ValueLogonProcessName, EventValueType::String, 0, QStringLiteral("NtLmSsp ")}, // the reader trims
        {ValueStatus, EventValueType::Null, 0, QString()},
    };
    for (const auto &[index, type, number, text] : expected) {
        EXPECT_EQ(value(event, index).type, type) << index;
        if (text.isNull()) {
            EXPECT_EQ(value(event, index).number, number) << index;
        } else {
            EXPECT_EQ(value(event, index).text, text) << index;
        }
    }
}

TEST(EventXmlParser, ValuesOfAnotherFormAreAbsent)
{
    const QByteArray id = "<EventID>4624</EventID>";
    // System part, event data, the value looked at, its type and number.
    const std::vector<std::tuple<QByteArray, const char *, EventValueIndex, EventValueType, quint64>> cases{
        {id, "<Data Name='LogonType'>3</Data>", ValueLogonType, EventValueType::UInt32, 3},
        {id, "<Data Name='LogonType'>x3</Data>", ValueLogonType, EventValueType::Null, 0},
        {id, "<Data Name='LogonType'>-3</Data>", ValueLogonType, EventValueType::Null, 0},
        {id, "<Data Name='LogonType'>4294967296</Data>", ValueLogonType, EventValueType::Null, 0},
        // A number in several pieces, with blanks or references is read as text.
        {id, "<Data Name='LogonType'> 3\n</Data>", ValueLogonType, EventValueType::UInt32, 3},
        {id, "<Data Name='LogonType'>1<!-- x -->0</Data>", ValueLogonType, EventValueType::UInt32, 10},
        {id, "<Data Name='LogonType'>1<![CDATA[1]]></Data>", ValueLogonType, EventValueType::UInt32, 11},
        {id, "<Data Name='LogonType'>&#x31;2</Data>", ValueLogonType, EventValueType::UInt32, 12},
        {id, "<Data Name='LogonType'>+3</Data>", ValueLogonType, EventValueType::Null, 0},
        {id, "<Data Name='LogonType'>\xd9\xa3</Data>", ValueLogonType, EventValueType::Null, 0},
        {id, "<Data Name='LogonType'>3 3</Data>", ValueLogonType, EventValueType::Null, 0},
        {id, "<Data Name='LogonType'></Data>", ValueLogonType, EventValueType::Null, 0},
        {id, "<Data Name='Status'> 0X1f\t</Data>", ValueStatus, EventValueType::HexInt32, 0x1f},
        {id, "<Data Name='Status'>0x0</Data>", ValueStatus, EventValueType::HexInt32, 0},
        {id, "<Data Name='Status'>0x00000006</Data>", ValueStatus, EventValueType::HexInt32, 6},
        {id, "<Data Name='Status'>0xC000006A</Data>", ValueStatus, EventValueType::HexInt32, 0xC000006A},
        {id, "<Data Name='Status'>6</Data>", ValueStatus, EventValueType::Null, 0},
        {id, "<Data Name='Status'>0x100000000</Data>", ValueStatus, EventValueType::Null, 0},
        {id, "<Data Name='TargetUserSid'>S-1-5-18</Data>", ValueTargetUserSid, EventValueType::Sid, 0},
        {id, "<Data Name='TargetUserSid'>NULL SID</Data>", ValueTargetUserSid, EventValueType::Null, 0},
        {id, "<Data Name='TargetUserSid'>S-1-5-</Data>", ValueTargetUserSid, EventValueType::Null, 0},
        {id, "<Data Name='TargetUserName'/>", ValueTargetUserName, EventValueType::String, 0},
        {id, "<Data Name='Other'>a</Data>", ValueTargetUserName, EventValueType::Null, 0},
        {"<EventID Qualifiers=''>4768</EventID>", "", ValueEventId, EventValueType::UInt16, 4768},
        {"<EventID>70000</EventID>", "", ValueEventId, EventValueType::Null, 0},
        {"<EventRecordID>18446744073709551615</EventRecordID>", "", ValueEventRecordId, EventValueType::UInt64,
         18446744073709551615ULL},
        {"<EventRecordID>18446744073709551616</EventRecordID>", "", ValueEventRecordId, EventValueType::Null, 0},
        {"<EventRecordID>000000000000000000001</EventRecordID>", "", ValueEventRecordId, EventValueType::Null, 0},
        {"<e:EventRecordID>7</e:EventRecordID>", "", ValueEventRecordId, EventValueType::UInt64, 7},
        {"<TimeCreated SystemTime='2015-13-12T00:24:12Z'/>", "", ValueTimeCreated, EventValueType::Null, 0},
        {"<TimeCreated SystemTime='yesterday'/>", "", ValueTimeCreated, EventValueType::Null, 0},
        {"<TimeCreated/>", "", ValueTimeCreated, EventValueType::Null, 0},
    };
    for (const auto &[system, data, index, type, number] : cases) {
        RenderedEvent event;
        ASSERT_TRUE(parse(wrap(system, data), &event)) << system.constData() << data;
        EXPECT_EQ(value(event, index).type, type) << system.constData() << data;
        EXPECT_EQ(value(event, index).number, number) << system.constData() << data;
    }
    // Times without the fraction's full length or with a blank for the T are read.
    for (const char *time : {"2015-11-12T00:24:12.7Z", "2015-11-12 00:24:12"}) {
        RenderedEvent event;
        ASSERT_TRUE(parse(wrap(QByteArray("<TimeCreated SystemTime='") + time + "'/>", ""), &event)) << time;
        EXPECT_EQ(value(event, ValueTimeCreated).type, EventValueType::FileTime) << time;
    }
}

TEST(EventXmlParser, DecodesEntitiesKeepsControlCharactersAndTheFirstElementOfAName)
{
    const std::vector<std::pair<const char *, QString>> cases{
        {"<Data Name='TargetUserName'>a&amp;b&lt;&#x41;&#66;\x01<![CDATA[<c>]]></Data>",
         QStringLiteral("a&b<AB\x01<c>")},
        {"<Data Name='TargetUserName'>\xc3\xa9l\xc3\xa8ve</Data>", QString::fromUtf8("\xc3\xa9l\xc3\xa8ve")},
        {"<Data Name='TargetUserName'>a</Data><Data Name='TargetUserName'>b</Data>", QStringLiteral("a")},
    };
    for (const auto &[data, text] : cases) {
        RenderedEvent event;
        ASSERT_TRUE(parse(wrap("", data), &event)) << data;
        EXPECT_EQ(value(event, ValueTargetUserName).text, text) << data;
    }
}

TEST(EventXmlParser, RefusesMalformedElements)
{
    QByteArray deep = "<Event>"; // refused, not a stack overflow
    for (int i = 0; i < 10000; ++i)
        deep += "<a>";
    const QByteArray cases[] = {
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
        deep,
    };
    for (const QByteArray &xml : cases) {
        RenderedEvent event;
        QString error;
        EXPECT_FALSE(parse(xml, &event, &error)) << xml.left(80).constData();
        EXPECT_FALSE(error.isEmpty()) << xml.left(80).constData();
        EXPECT_FALSE(event.rendered);
    }
    RenderedEvent event;
    EXPECT_TRUE(parse("<?xml version='1.0'?>\n<!-- x --><e:Event xmlns:e='u'><e:System><e:EventID>4624</e:EventID>"
                      "</e:System></e:Event>\n",
                      &event));
    EXPECT_EQ(value(event, ValueEventId).number, 4624u);
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
            const unsigned kind = random() % 4;
            const char special = specials[random() % (sizeof(specials) - 1)];
            if (kind == 0)
                xml[at] = special;
            else if (kind == 1)
                xml.insert(at, special);
            else if (kind == 2)
                xml.remove(at, 1 + static_cast<int>(random() % 20));
            else
                xml.truncate(at);
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
        // Asking on the way through agrees with reading the whole event.
        RenderedEvent filtered;
        QString filteredError;
        const EventParse result = parseWantedEventXml(
            xml.constData(), static_cast<std::size_t>(xml.size()),
            [](const EventValue &id, const EventValue &) { return id.number == 4624; }, &filtered, &filteredError);
        if (result == EventParse::Wanted) {
            EXPECT_EQ(filtered.values[ValueTargetUserName].text, event.values[ValueTargetUserName].text);
        } else if (result == EventParse::Malformed) {
            EXPECT_FALSE(filteredError.isEmpty());
        }
    }
    // Edits inside texts leave the element well formed; edits of markup do not.
    EXPECT_GT(rendered, 100);
    EXPECT_LT(rendered, 3900);
}

} // namespace
