#include "eventsource/eventlogfile.h"
#include "support/evtwriter.h"
#include "support/tempinstance.h"

#include <QDir>
#include <QFile>
#include <QtEndian>
#include <gtest/gtest.h>
#include <vector>

using testsupport::EvtWriter;
using userCollector::EventLogFile;
using userCollector::EventLogRecord;
using userCollector::EventLogRecordReader;

namespace {

constexpr quint32 BufferSize = 0x7FFFF;

void setU32(QByteArray &bytes, int offset, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char((value >> (8 * i)) & 0xFF);
}
void setU16(QByteArray &bytes, int offset, quint16 value)
{
    bytes[offset] = char(value & 0xFF);
    bytes[offset + 1] = char(value >> 8);
}
quint32 u32(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

struct ParsedRecord
{
    quint32 number = 0;
    quint32 eventId = 0;
    QStringList strings;
    bool operator==(const ParsedRecord &o) const
    {
        return number == o.number && eventId == o.eventId && strings == o.strings;
    }
};

std::ostream &operator<<(std::ostream &out, const ParsedRecord &r)
{
    return out << "#" << r.number << " id " << r.eventId << " [" << r.strings.join('|').toStdString() << "]";
}

// Parses a read buffer from an exact-size heap copy, so that the address
// sanitizer sees any read past the data.
std::vector<ParsedRecord> parse(const QByteArray &bytes, QString *error = nullptr)
{
    std::vector<char> exact(bytes.begin(), bytes.end());
    EventLogRecordReader reader(exact.data(), quint32(exact.size()));
    std::vector<ParsedRecord> result;
    EventLogRecord record;
    while (reader.next(&record)) {
        ParsedRecord parsed{record.recordNumber, record.eventId, {}};
        QString why;
        if (!userCollector::eventLogRecordStrings(record, &parsed.strings, &why))
            parsed.strings = QStringList{QStringLiteral("refused: ") + why};
        result.push_back(parsed);
    }
    if (error)
        *error = reader.error();
    return result;
}

QByteArray sample(quint32 number, quint32 eventId = 4624)
{
    return EvtWriter::record(number, 1700000000 + number, eventId,
                             {QStringLiteral("user%1").arg(number), QStringLiteral("CORP")});
}

class EventLogFileTest : public ::testing::Test
{
protected:
    void SetUp() override { EventLogFile::setStoreRootForTest(instance.filePath(QStringLiteral("eventlog"))); }
    void TearDown() override { EventLogFile::setStoreRootForTest(QString()); }

    QString logPath(const QString &server = QStringLiteral("dc1")) const
    {
        return instance.filePath(QStringLiteral("eventlog/%1/Security.evt").arg(server));
    }
    // Points a server's store at a shared sample, read in place.
    void linkSample(const QString &server, const QString &file) const
    {
        QDir().mkpath(instance.filePath(QStringLiteral("eventlog/") + server));
        ASSERT_TRUE(
            QFile::link(testsupport::sharedDataPath(QStringLiteral("data/eventlogs/") + file), logPath(server)));
    }

    // Every record of the open log in one direction, read buffer by buffer.
    std::vector<ParsedRecord> readAll(EventLogFile &log, quint32 flags, quint32 start = 0, quint32 *lastError = nullptr)
    {
        std::vector<char> buffer(BufferSize);
        std::vector<ParsedRecord> records;
        quint32 got = 0;
        quint32 needed = 0;
        quint32 readFlags = flags;
        while (log.read(readFlags, start, buffer.data(), quint32(buffer.size()), &got, &needed)) {
            const auto parsed = parse(QByteArray(buffer.data(), int(got)));
            records.insert(records.end(), parsed.begin(), parsed.end());
            readFlags = (flags & ~quint32(EventLogFile::SeekRead)) | EventLogFile::SequentialRead;
        }
        if (lastError)
            *lastError = log.lastError();
        return records;
    }

    testsupport::TempInstance instance;
};

} // namespace

TEST(EventLogRecordReaderTest, HandsOutRecordsAndTheirStrings)
{
    QByteArray buffer = sample(7) + EvtWriter::record(8, 1, 672, {}) + sample(9, 540);
    QString error;
    const auto records = parse(buffer, &error);
    EXPECT_TRUE(error.isEmpty());
    const std::vector<ParsedRecord> expected{{7, 4624, {QStringLiteral("user7"), QStringLiteral("CORP")}},
                                             {8, 672, {}},
                                             {9, 540, {QStringLiteral("user9"), QStringLiteral("CORP")}}};
    EXPECT_EQ(records, expected);
}

// A record whose length cannot be trusted ends the buffer; those before it stay.
TEST(EventLogRecordReaderTest, RefusesUnsoundLengthsAndKeepsTheRecordsBefore)
{
    struct Case
    {
        const char *name;
        std::function<QByteArray(QByteArray)> damage; // applied to the third record
        const char *why;
    };
    const std::vector<Case> cases{
        {"zero",
         [](QByteArray r) {
             setU32(r, 0, 0);
             return r;
         },
         "is zero"},
        {"odd",
         [](QByteArray r) {
             setU32(r, 0, quint32(r.size()) - 1);
             return r;
         },
         "not a whole number"},
        {"not a word multiple",
         [](QByteArray r) {
             setU32(r, 0, quint32(r.size()) - 2);
             return r;
         },
         "not a whole number"},
        {"shorter than the fixed part",
         [](QByteArray r) {
             setU32(r, 0, 40);
             return r;
         },
         "shorter than the fixed part"},
        {"past the buffer",
         [](QByteArray r) {
             setU32(r, 0, quint32(r.size()) + 4);
             return r;
         },
         "runs past the end"},
        {"huge",
         [](QByteArray r) {
             setU32(r, 0, 0xFFFFFFFCu);
             return r;
         },
         "runs past the end"},
        {"cut short", [](QByteArray r) { return r.left(r.size() / 2); }, "runs past the end"},
        {"three bytes left", [](QByteArray r) { return r.left(3); }, "left over"},
        {"no signature",
         [](QByteArray r) {
             setU32(r, 4, 0);
             return r;
         },
         "no signature"},
    };
    for (const Case &c : cases) {
        const QByteArray buffer = sample(1) + sample(2) + c.damage(sample(3));
        QString error;
        const auto records = parse(buffer, &error);
        ASSERT_EQ(records.size(), 2u) << c.name;
        EXPECT_EQ(records[1].number, 2u) << c.name;
        EXPECT_TRUE(error.contains(QLatin1String(c.why))) << c.name << ": " << error.toStdString();
    }
}

TEST(EventLogRecordReaderTest, RefusesStringsOutsideTheRecord)
{
    struct Case
    {
        const char *name;
        std::function<void(QByteArray &)> damage;
        const char *why;
    };
    const std::vector<Case> cases{
        {"offset past the end", [](QByteArray &r) { setU32(r, 36, quint32(r.size()) + 100); }, "lies outside"},
        {"offset on the closing length", [](QByteArray &r) { setU32(r, 36, quint32(r.size()) - 4); }, "lies outside"},
        {"offset inside the fixed part", [](QByteArray &r) { setU32(r, 36, 8); }, "lies outside"},
        {"more strings than written", [](QByteArray &r) { setU16(r, 26, 40); }, "no terminating zero"},
        {"no terminating zero",
         [](QByteArray &r) {
             // Overwrite everything from the strings to the closing length with 'A'.
             for (int at = int(u32(r, 36)); at + 1 < r.size() - 4; at += 2)
                 setU16(r, at, 'A');
         },
         "no terminating zero"},
    };
    for (const Case &c : cases) {
        QByteArray damaged = sample(2);
        c.damage(damaged);
        const auto records = parse(sample(1) + damaged + sample(3));
        ASSERT_EQ(records.size(), 3u) << c.name;
        EXPECT_EQ(records[0].strings.size(), 2) << c.name;
        ASSERT_EQ(records[1].strings.size(), 1) << c.name;
        EXPECT_TRUE(records[1].strings[0].contains(QLatin1String(c.why)))
            << c.name << ": " << records[1].strings[0].toStdString();
        EXPECT_EQ(records[2].strings.size(), 2) << c.name;
    }
}

TEST_F(EventLogFileTest, OpenFailsWithoutStoreOrLog)
{
    EventLogFile log;
    EXPECT_FALSE(log.open(QStringLiteral("dc1"), QStringLiteral("Security")));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorServerUnavailable);
    EXPECT_FALSE(log.open(QStringLiteral("../eventlog"), QStringLiteral("Security")));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorServerUnavailable);
    QDir().mkpath(instance.filePath(QStringLiteral("eventlog/dc1")));
    EXPECT_FALSE(log.open(QStringLiteral("dc1"), QStringLiteral("Security")));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorFileNotFound);
    EXPECT_EQ(EventLogFile::errorText(1722), QStringLiteral("The RPC server is unavailable. (error: 1722)"));
}

TEST_F(EventLogFileTest, ReadsTheSamplesInBothDirections)
{
    linkSample(QStringLiteral("clean"), QStringLiteral("synthetic-app-5rec.evt"));
    linkSample(QStringLiteral("dirty"), QStringLiteral("synthetic-app-dirty.evt"));
    std::vector<ParsedRecord> forwards[2];
    int index = 0;
    for (const QString &server : {QStringLiteral("clean"), QStringLiteral("dirty")}) {
        EventLogFile log;
        ASSERT_TRUE(log.open(server, QStringLiteral("Security"))) << log.lastError();
        quint32 end = 0;
        forwards[index] = readAll(log, EventLogFile::SequentialRead | EventLogFile::ForwardsRead, 0, &end);
        EXPECT_EQ(end, EventLogFile::ErrorHandleEof);
        ASSERT_EQ(forwards[index].size(), 5u);
        for (quint32 i = 0; i < 5; ++i)
            EXPECT_EQ(forwards[index][i].number, i + 1);
        EXPECT_EQ(forwards[index][0].strings, QStringList{QStringLiteral("Test log entry, information")});
        ASSERT_TRUE(log.open(server, QStringLiteral("Security")));
        auto backwards = readAll(log, EventLogFile::SequentialRead | EventLogFile::BackwardsRead);
        std::reverse(backwards.begin(), backwards.end());
        EXPECT_EQ(backwards, forwards[index]);
        ++index;
    }
    // The dirty header holds nothing true; the end-of-file record does.
    EXPECT_EQ(forwards[0], forwards[1]);
}

TEST_F(EventLogFileTest, StoreEntryMayBeTheLogItself)
{
    QDir().mkpath(instance.filePath(QStringLiteral("eventlog")));
    ASSERT_TRUE(QFile::link(testsupport::sharedDataPath(QStringLiteral("data/eventlogs/synthetic-app-5rec.evt")),
                            instance.filePath(QStringLiteral("eventlog/synthetic-app-5rec.evt"))));
    EventLogFile log;
    ASSERT_TRUE(log.open(QStringLiteral("synthetic-app-5rec.evt"), QStringLiteral("Security")));
    EXPECT_EQ(readAll(log, EventLogFile::SequentialRead | EventLogFile::BackwardsRead).size(), 5u);
}

TEST_F(EventLogFileTest, ReadsAWrappedDirtySampleRecordByRecord)
{
    linkSample(QStringLiteral("xp"), QStringLiteral("xp-system-wrapped.evt"));
    EventLogFile log;
    ASSERT_TRUE(log.open(QStringLiteral("xp"), QStringLiteral("Security")));
    const auto backwards = readAll(log, EventLogFile::SequentialRead | EventLogFile::BackwardsRead);
    ASSERT_EQ(backwards.size(), 6063u);
    for (size_t i = 0; i < backwards.size(); ++i)
        ASSERT_EQ(backwards[i].number, 7454u - i);

    const auto forwards = readAll(log, EventLogFile::SeekRead | EventLogFile::ForwardsRead, 1392);
    ASSERT_EQ(forwards.size(), 6063u);
    EXPECT_TRUE(std::equal(forwards.begin(), forwards.end(), backwards.rbegin()));
    // The record split across the end of the file reads whole.
    const auto split =
        std::find_if(forwards.begin(), forwards.end(), [](const ParsedRecord &r) { return r.number == 0x624; });
    ASSERT_NE(split, forwards.end());
    EXPECT_EQ(split->eventId, 0x8000a000u);
    EXPECT_TRUE(
        split->strings.join(' ').contains(QLatin1String("no logon servers available to service the logon request")));
}

TEST_F(EventLogFileTest, ReadOutcomes)
{
    EvtWriter writer;
    for (int i = 0; i < 5; ++i)
        writer.append(4624, QDateTime::fromSecsSinceEpoch(1700000000 + i), {QStringLiteral("u%1").arg(i)});
    writer.save(logPath());
    EventLogFile log;
    ASSERT_TRUE(log.open(QStringLiteral("dc1"), QStringLiteral("Security")));

    std::vector<char> buffer(BufferSize);
    quint32 got = 0;
    quint32 needed = 0;
    const quint32 seekBack = EventLogFile::SeekRead | EventLogFile::BackwardsRead;
    // Too small for the first record: nothing read, the size needed told.
    EXPECT_FALSE(log.read(seekBack, 3, buffer.data(), 16, &got, &needed));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorInsufficientBuffer);
    EXPECT_EQ(needed, quint32(EvtWriter::record(3, 0, 4624, {QStringLiteral("u2")}).size()));
    // Room for exactly one record: one record.
    ASSERT_TRUE(log.read(seekBack, 3, buffer.data(), needed, &got, &needed));
    EXPECT_EQ(parse(QByteArray(buffer.data(), int(got))).at(0).number, 3u);
    // A sequential read goes on from there.
    ASSERT_TRUE(log.read(EventLogFile::SequentialRead | EventLogFile::BackwardsRead, 0, buffer.data(), BufferSize, &got,
                         &needed));
    const auto rest = parse(QByteArray(buffer.data(), int(got)));
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].number, 2u);
    EXPECT_FALSE(log.read(EventLogFile::SequentialRead | EventLogFile::BackwardsRead, 0, buffer.data(), BufferSize,
                          &got, &needed));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorHandleEof);
    // Record numbers the log does not hold, and flags that contradict each other.
    for (quint32 number : {0u, 6u, 1000u}) {
        EXPECT_FALSE(log.read(seekBack, number, buffer.data(), BufferSize, &got, &needed));
        EXPECT_EQ(log.lastError(), EventLogFile::ErrorInvalidParameter) << number;
    }
    EXPECT_FALSE(log.read(EventLogFile::SeekRead | EventLogFile::SequentialRead | EventLogFile::ForwardsRead, 2,
                          buffer.data(), BufferSize, &got, &needed));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorInvalidParameter);
}

TEST_F(EventLogFileTest, WrappedRingAndStaleHeader)
{
    EvtWriter writer(8 * 1024);
    std::vector<ParsedRecord> written;
    for (quint32 i = 0; i < 300; ++i) {
        // Lengths vary so that records split across the end of the ring at every position.
        const QStringList strings{QStringLiteral("user%1").arg(i), QString(int(i % 37), QLatin1Char('x'))};
        const quint32 number =
            writer.append(i % 2 ? 4624 : 4768, QDateTime::fromSecsSinceEpoch(1700000000 + i), strings);
        written.push_back({number, i % 2 ? 4624u : 4768u, strings});
    }
    ASSERT_TRUE(writer.wrapped());
    ASSERT_GT(writer.oldestRecord(), 1u);
    for (bool stale : {false, true}) {
        writer.setHeaderStale(stale);
        writer.save(logPath());
        EventLogFile log;
        ASSERT_TRUE(log.open(QStringLiteral("dc1"), QStringLiteral("Security")));
        const auto records = readAll(log, EventLogFile::SequentialRead | EventLogFile::ForwardsRead);
        const std::vector<ParsedRecord> held(written.begin() + (writer.oldestRecord() - 1), written.end());
        EXPECT_EQ(records, held) << "stale header " << stale;
        // A record given up to make room is no longer there.
        quint32 got = 0;
        quint32 needed = 0;
        std::vector<char> buffer(BufferSize);
        EXPECT_FALSE(log.read(EventLogFile::SeekRead | EventLogFile::ForwardsRead, writer.oldestRecord() - 1,
                              buffer.data(), BufferSize, &got, &needed));
        EXPECT_EQ(log.lastError(), EventLogFile::ErrorInvalidParameter);
    }
}

TEST_F(EventLogFileTest, EmptyAndClearedLogs)
{
    EvtWriter writer;
    writer.save(logPath());
    EventLogFile log;
    ASSERT_TRUE(log.open(QStringLiteral("dc1"), QStringLiteral("Security")));
    quint32 end = 0;
    EXPECT_TRUE(readAll(log, EventLogFile::SequentialRead | EventLogFile::BackwardsRead, 0, &end).empty());
    EXPECT_EQ(end, EventLogFile::ErrorHandleEof);

    for (int i = 0; i < 4; ++i)
        writer.append(4624, QDateTime::fromSecsSinceEpoch(1700000000), {});
    writer.clear();
    writer.append(540, QDateTime::fromSecsSinceEpoch(1700000000), {});
    writer.save(logPath());
    ASSERT_TRUE(log.open(QStringLiteral("dc1"), QStringLiteral("Security")));
    const auto records = readAll(log, EventLogFile::SeekRead | EventLogFile::BackwardsRead, 1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].eventId, 540u);
}

// A damaged record: those before it in the reading direction are handed
// out, then the read fails; nothing outside the file is touched.
TEST_F(EventLogFileTest, DamagedRecordsEndTheRead)
{
    struct Case
    {
        const char *name;
        int field; // offset inside record 6
        quint32 value;
    };
    const std::vector<Case> cases{
        {"signature", 4, 0},
        {"record number", 8, 99},
        {"zero length", 0, 0},
        {"odd length", 0, 0x101},
        {"length past the end", 0, 0x100000},
        {"huge length", 0, 0xFFFFFFFC},
    };
    for (const Case &c : cases) {
        EvtWriter writer;
        quint32 offset6 = 0;
        for (int i = 0; i < 10; ++i) {
            if (i == 5)
                offset6 = writer.endOffset();
            writer.append(4624, QDateTime::fromSecsSinceEpoch(1700000000 + i), {QStringLiteral("u%1").arg(i)});
        }
        QByteArray bytes = writer.bytes();
        setU32(bytes, int(offset6) + c.field, c.value);
        instance.writeFile(QStringLiteral("eventlog/dc1/Security.evt"), bytes);

        EventLogFile log;
        ASSERT_TRUE(log.open(QStringLiteral("dc1"), QStringLiteral("Security"))) << c.name;
        quint32 end = 0;
        const auto forwards = readAll(log, EventLogFile::SequentialRead | EventLogFile::ForwardsRead, 0, &end);
        ASSERT_EQ(forwards.size(), 5u) << c.name;
        EXPECT_EQ(forwards.back().number, 5u) << c.name;
        EXPECT_EQ(end, EventLogFile::ErrorFileCorrupt) << c.name;

        ASSERT_TRUE(log.open(QStringLiteral("dc1"), QStringLiteral("Security")));
        const auto backwards = readAll(log, EventLogFile::SequentialRead | EventLogFile::BackwardsRead, 0, &end);
        // Walking back, the record after the damage is only trusted when its own
        // fields agree, whatever the damaged one claims.
        ASSERT_GE(backwards.size(), 4u) << c.name;
        EXPECT_EQ(backwards.front().number, 10u) << c.name;
        EXPECT_EQ(backwards.back().number, 7u) << c.name;
        EXPECT_EQ(end, EventLogFile::ErrorFileCorrupt) << c.name;
    }
}

TEST_F(EventLogFileTest, RefusesHeadersThatLie)
{
    EvtWriter writer;
    for (int i = 0; i < 3; ++i)
        writer.append(4624, QDateTime::fromSecsSinceEpoch(1700000000 + i), {});
    const QByteArray good = writer.bytes();
    const quint32 eof = writer.endOffset();
    struct Case
    {
        const char *name;
        std::function<QByteArray()> make;
        bool opens;
    };
    const std::vector<Case> cases{
        {"header size",
         [&] {
             QByteArray b = good;
             setU32(b, 0, 0x40);
             return b;
         },
         false},
        {"closing header size",
         [&] {
             QByteArray b = good;
             setU32(b, 44, 0x20);
             return b;
         },
         false},
        {"signature",
         [&] {
             QByteArray b = good;
             setU32(b, 4, 0);
             return b;
         },
         false},
        {"shorter than a header", [&] { return good.left(60); }, false},
        {"no end-of-file record",
         [&] {
             QByteArray b = good;
             setU32(b, int(eof) + 4, 0);
             return b;
         },
         false},
        {"more records than fit",
         [&] {
             QByteArray b = good;
             setU32(b, int(eof) + 28, 0x7FFFFFFF);
             return b;
         },
         false},
        {"begin outside the file",
         [&] {
             QByteArray b = good;
             setU32(b, int(eof) + 20, 0x7FFFFFFF);
             return b;
         },
         false},
        {"end offset outside the file",
         [&] {
             QByteArray b = good;
             setU32(b, 20, 0xFFFFFFF0u);
             return b;
         },
         true}, // the end-of-file record is searched for
        {"maximum size",
         [&] {
             QByteArray b = good;
             setU32(b, 32, 0xFFFFFFF0u);
             return b;
         },
         true},
    };
    for (const Case &c : cases) {
        instance.writeFile(QStringLiteral("eventlog/dc1/Security.evt"), c.make());
        EventLogFile log;
        EXPECT_EQ(log.open(QStringLiteral("dc1"), QStringLiteral("Security")), c.opens) << c.name;
        if (!c.opens) {
            EXPECT_EQ(log.lastError(), EventLogFile::ErrorFileCorrupt) << c.name;
            continue;
        }
        EXPECT_EQ(readAll(log, EventLogFile::SequentialRead | EventLogFile::ForwardsRead).size(), 3u) << c.name;
    }
}
