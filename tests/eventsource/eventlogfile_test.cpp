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

namespace {

constexpr quint32 BufferSize = 0x7FFFF;
constexpr quint32 Forwards = EventLogFile::SequentialRead | EventLogFile::ForwardsRead;
constexpr quint32 Backwards = EventLogFile::SequentialRead | EventLogFile::BackwardsRead;
constexpr quint32 SeekBack = EventLogFile::SeekRead | EventLogFile::BackwardsRead;

// A copy of bytes with the little-endian value of 4 (or 2) bytes at offset replaced.
QByteArray with(QByteArray bytes, int offset, quint32 value, int size = 4)
{
    for (int i = 0; i < size; ++i)
        bytes[offset + i] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}

struct ParsedRecord
{
    quint32 number = 0;
    quint32 eventId = 0;
    QStringList strings;
    bool operator==(const ParsedRecord &o) const
    {
        return std::tie(number, eventId, strings) == std::tie(o.number, o.eventId, o.strings);
    }
};

std::ostream &operator<<(std::ostream &out, const ParsedRecord &r)
{
    return out << "#" << r.number << " id " << r.eventId << " [" << r.strings.join('|').toStdString() << "]";
}

// Parses a read buffer from an exact-size heap copy, so that the address
// sanitizer sees any read past the data. A record whose strings are refused
// holds "refused: <why>".
std::vector<ParsedRecord> parse(const QByteArray &bytes, QString *error = nullptr)
{
    std::vector<char> exact(bytes.begin(), bytes.end());
    userCollector::EventLogRecordReader reader(exact.data(), quint32(exact.size()));
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

EvtWriter writerWith(int records, quint32 maxSize = 64 * 1024)
{
    EvtWriter writer(maxSize);
    for (int i = 0; i < records; ++i)
        writer.append(4624, QDateTime::fromSecsSinceEpoch(1700000000 + i), {QStringLiteral("u%1").arg(i)});
    return writer;
}

class EventLogFileTest : public ::testing::Test
{
protected:
    void SetUp() override { EventLogFile::setStoreRootForTest(instance.filePath(QStringLiteral("eventlog"))); }
    void TearDown() override { EventLogFile::setStoreRootForTest(QString()); }

    void write(const QByteArray &bytes) const
    {
        instance.writeFile(QStringLiteral("eventlog/dc1/Security.evt"), bytes);
    }
    static bool open(EventLogFile &log, const QString &server = QStringLiteral("dc1"))
    {
        return log.open(server, QStringLiteral("Security"));
    }
    // Points a store entry (a server folder's log, or with an empty server the entry itself) at a shared sample.
    void linkSample(const QString &server, const QString &file) const
    {
        const QString entry = server.isEmpty() ? file : server + QStringLiteral("/Security.evt");
        QDir().mkpath(QFileInfo(instance.filePath(QStringLiteral("eventlog/") + entry)).absolutePath());
        ASSERT_TRUE(
            QFile::link(testsupport::sampleLogPath(file), instance.filePath(QStringLiteral("eventlog/") + entry)));
    }

    // Every record of the open log in one direction, read buffer by buffer.
    // The reason it stopped is left in lastError().
    static std::vector<ParsedRecord> readAll(EventLogFile &log, quint32 flags, quint32 start = 0)
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
        return records;
    }

    testsupport::TempInstance instance;
};

} // namespace

TEST(EventLogRecordReaderTest, HandsOutRecordsAndTheirStrings)
{
    QString error;
    const auto records = parse(sample(7) + EvtWriter::record(8, 1, 672, {}) + sample(9, 540), &error);
    EXPECT_TRUE(error.isEmpty());
    const std::vector<ParsedRecord> expected{{7, 4624, {QStringLiteral("user7"), QStringLiteral("CORP")}},
                                             {8, 672, {}},
                                             {9, 540, {QStringLiteral("user9"), QStringLiteral("CORP")}}};
    EXPECT_EQ(records, expected);
}

// A record whose length cannot be trusted ends the buffer; those before it stay.
TEST(EventLogRecordReaderTest, RefusesUnsoundLengthsAndKeepsTheRecordsBefore)
{
    const QByteArray r = sample(3);
    const quint32 n = quint32(r.size());
    const std::vector<std::tuple<const char *, QByteArray, const char *>> cases{
        {"zero", with(r, 0, 0), "is zero"},
        {"odd", with(r, 0, n - 1), "not a whole number"},
        {"not a word multiple", with(r, 0, n - 2), "not a whole number"},
        {"shorter than the fixed part", with(r, 0, 40), "shorter than the fixed part"},
        {"past the buffer", with(r, 0, n + 4), "runs past the end"},
        {"huge", with(r, 0, 0xFFFFFFFCu), "runs past the end"},
        {"cut short", r.left(r.size() / 2), "runs past the end"},
        {"three bytes left", r.left(3), "left over"},
        {"no signature", with(r, 4, 0), "no signature"},
    };
    for (const auto &[name, third, why] : cases) {
        QString error;
        const auto records = parse(sample(1) + sample(2) + third, &error);
        ASSERT_EQ(records.size(), 2u) << name;
        EXPECT_EQ(records[1].number, 2u) << name;
        EXPECT_TRUE(error.contains(QLatin1String(why))) << name << ": " << error.toStdString();
    }
}

// Strings outside their record refuse that record alone.
TEST(EventLogRecordReaderTest, RefusesStringsOutsideTheRecord)
{
    const QByteArray r = sample(2);
    const quint32 n = quint32(r.size());
    QByteArray unterminated = r; // everything from the strings to the closing length is 'A'
    for (int at = int(qFromLittleEndian<quint32>(r.constData() + 36)); at + 1 < r.size() - 4; at += 2)
        unterminated = with(unterminated, at, 'A', 2);
    const std::vector<std::tuple<const char *, QByteArray, const char *>> cases{
        {"offset past the end", with(r, 36, n + 100), "lies outside"},
        {"offset on the closing length", with(r, 36, n - 4), "lies outside"},
        {"offset inside the fixed part", with(r, 36, 8), "lies outside"},
        {"more strings than written", with(r, 26, 40, 2), "no terminating zero"},
        {"no terminating zero", unterminated, "no terminating zero"},
    };
    for (const auto &[name, damaged, why] : cases) {
        const auto records = parse(sample(1) + damaged + sample(3));
        ASSERT_EQ(records.size(), 3u) << name;
        EXPECT_EQ(records[0].strings.size(), 2) << name;
        const QString refused = records[1].strings.join('|');
        EXPECT_TRUE(refused.startsWith("refused: ") && refused.contains(why)) << name << ": " << refused.toStdString();
        EXPECT_EQ(records[2].strings.size(), 2) << name;
    }
}

TEST_F(EventLogFileTest, OpenFailsWithoutStoreOrLog)
{
    EventLogFile log;
    EXPECT_FALSE(open(log));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorServerUnavailable);
    EXPECT_FALSE(open(log, QStringLiteral("../eventlog")));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorServerUnavailable);
    QDir().mkpath(instance.filePath(QStringLiteral("eventlog/dc1")));
    EXPECT_FALSE(open(log));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorFileNotFound);
}

// A clean and a dirty sample read alike both ways (the dirty header holds
// nothing true; the end-of-file record does); a store entry may be the log itself.
TEST_F(EventLogFileTest, ReadsTheSamplesInBothDirections)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("synthetic-app-5rec.evt"), QStringLiteral("synthetic-app-dirty.evt"));
    linkSample(QStringLiteral("clean"), QStringLiteral("synthetic-app-5rec.evt"));
    linkSample(QStringLiteral("dirty"), QStringLiteral("synthetic-app-dirty.evt"));
    linkSample(QString(), QStringLiteral("synthetic-app-5rec.evt"));
    std::vector<ParsedRecord> first;
    for (const QString &server :
         {QStringLiteral("clean"), QStringLiteral("dirty"), QStringLiteral("synthetic-app-5rec.evt")}) {
        EventLogFile log;
        ASSERT_TRUE(open(log, server)) << log.lastError();
        const auto forwards = readAll(log, Forwards);
        EXPECT_EQ(log.lastError(), EventLogFile::ErrorHandleEof);
        ASSERT_EQ(forwards.size(), 5u) << server.toStdString();
        for (quint32 i = 0; i < 5; ++i)
            EXPECT_EQ(forwards[i].number, i + 1);
        EXPECT_EQ(forwards[0].strings, QStringList{QStringLiteral("Test log entry, information")});
        ASSERT_TRUE(open(log, server));
        auto backwards = readAll(log, Backwards);
        std::reverse(backwards.begin(), backwards.end());
        EXPECT_EQ(backwards, forwards) << server.toStdString();
        if (first.empty())
            first = forwards;
        EXPECT_EQ(forwards, first) << server.toStdString();
    }
}

TEST_F(EventLogFileTest, ReadsAWrappedDirtySampleRecordByRecord)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("xp-system-wrapped.evt"));
    linkSample(QStringLiteral("xp"), QStringLiteral("xp-system-wrapped.evt"));
    EventLogFile log;
    ASSERT_TRUE(open(log, QStringLiteral("xp")));
    const auto backwards = readAll(log, Backwards);
    ASSERT_EQ(backwards.size(), 6063u);
    for (size_t i = 0; i < backwards.size(); ++i)
        ASSERT_EQ(backwards[i].number, 7454u - i);
    const auto forwards = readAll(log, EventLogFile::SeekRead | EventLogFile::ForwardsRead, 1392);
    ASSERT_EQ(forwards.size(), 6063u);
    EXPECT_TRUE(std::equal(forwards.begin(), forwards.end(), backwards.rbegin()));
    // The record split across the end of the file reads whole.
    const ParsedRecord &split = forwards[0x624 - 1392];
    EXPECT_EQ(split.number, 0x624u);
    EXPECT_EQ(split.eventId, 0x8000a000u);
    EXPECT_TRUE(
        split.strings.join(' ').contains(QLatin1String("no logon servers available to service the logon request")));
}

TEST_F(EventLogFileTest, ReadOutcomes)
{
    writerWith(5).save(instance.filePath(QStringLiteral("eventlog/dc1/Security.evt")));
    EventLogFile log;
    ASSERT_TRUE(open(log));
    std::vector<char> buffer(BufferSize);
    quint32 got = 0;
    quint32 needed = 0;
    const auto read = [&](quint32 flags, quint32 number, quint32 size = BufferSize) {
        return log.read(flags, number, buffer.data(), size, &got, &needed);
    };
    // Too small for the first record: nothing read, the size needed told.
    EXPECT_FALSE(read(SeekBack, 3, 16));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorInsufficientBuffer);
    EXPECT_EQ(needed, quint32(EvtWriter::record(3, 0, 4624, {QStringLiteral("u2")}).size()));
    // Room for exactly one record: one record; a sequential read goes on from there.
    ASSERT_TRUE(read(SeekBack, 3, needed));
    EXPECT_EQ(parse(QByteArray(buffer.data(), int(got))).at(0).number, 3u);
    ASSERT_TRUE(read(Backwards, 0));
    const auto rest = parse(QByteArray(buffer.data(), int(got)));
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].number, 2u);
    EXPECT_FALSE(read(Backwards, 0));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorHandleEof);
    // Record numbers the log does not hold, and flags that contradict each other.
    for (quint32 number : {0u, 6u, 1000u}) {
        EXPECT_FALSE(read(SeekBack, number));
        EXPECT_EQ(log.lastError(), EventLogFile::ErrorInvalidParameter) << number;
    }
    EXPECT_FALSE(read(EventLogFile::SeekRead | Forwards, 2));
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorInvalidParameter);
}

TEST_F(EventLogFileTest, WrappedRingAndStaleHeader)
{
    EvtWriter writer(8 * 1024);
    std::vector<ParsedRecord> written;
    for (quint32 i = 0; i < 300; ++i) {
        // Lengths vary so that records split across the end of the ring at every position.
        const QStringList strings{QStringLiteral("user%1").arg(i), QString(int(i % 37), QLatin1Char('x'))};
        const quint32 id = i % 2 ? 4624 : 4768;
        written.push_back({writer.append(id, QDateTime::fromSecsSinceEpoch(1700000000 + i), strings), id, strings});
    }
    ASSERT_TRUE(writer.wrapped());
    ASSERT_GT(writer.oldestRecord(), 1u);
    const std::vector<ParsedRecord> held(written.begin() + (writer.oldestRecord() - 1), written.end());
    for (bool stale : {false, true}) {
        writer.setHeaderStale(stale);
        write(writer.bytes());
        EventLogFile log;
        ASSERT_TRUE(open(log));
        EXPECT_EQ(readAll(log, Forwards), held) << "stale header " << stale;
        // A record given up to make room is no longer there.
        EXPECT_TRUE(
            readAll(log, EventLogFile::SeekRead | EventLogFile::ForwardsRead, writer.oldestRecord() - 1).empty());
        EXPECT_EQ(log.lastError(), EventLogFile::ErrorInvalidParameter);
    }
}

TEST_F(EventLogFileTest, EmptyAndClearedLogs)
{
    EvtWriter writer = writerWith(0);
    write(writer.bytes());
    EventLogFile log;
    ASSERT_TRUE(open(log));
    EXPECT_TRUE(readAll(log, Backwards).empty());
    EXPECT_EQ(log.lastError(), EventLogFile::ErrorHandleEof);

    writer = writerWith(4);
    writer.clear();
    writer.append(540, QDateTime::fromSecsSinceEpoch(1700000000), {});
    write(writer.bytes());
    ASSERT_TRUE(open(log));
    const auto records = readAll(log, SeekBack, 1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].eventId, 540u);
}

// A damaged record: those before it in the reading direction are handed
// out, then the read fails; nothing outside the file is touched.
TEST_F(EventLogFileTest, DamagedRecordsEndTheRead)
{
    // Name, offset inside record 6, value written there.
    const std::vector<std::tuple<const char *, int, quint32>> cases{
        {"signature", 4, 0},
        {"record number", 8, 99},
        {"zero length", 0, 0},
        {"odd length", 0, 0x101},
        {"length past the end", 0, 0x100000},
        {"huge length", 0, 0xFFFFFFFC},
    };
    EvtWriter writer = writerWith(5);
    const quint32 offset6 = writer.endOffset();
    for (int i = 5; i < 10; ++i)
        writer.append(4624, QDateTime::fromSecsSinceEpoch(1700000000 + i), {QStringLiteral("u%1").arg(i)});
    for (const auto &[name, field, value] : cases) {
        write(with(writer.bytes(), int(offset6) + field, value));
        EventLogFile log;
        ASSERT_TRUE(open(log)) << name;
        const auto forwards = readAll(log, Forwards);
        EXPECT_EQ(log.lastError(), EventLogFile::ErrorFileCorrupt) << name;
        ASSERT_EQ(forwards.size(), 5u) << name;
        EXPECT_EQ(forwards.back().number, 5u) << name;

        ASSERT_TRUE(open(log));
        const auto backwards = readAll(log, Backwards);
        EXPECT_EQ(log.lastError(), EventLogFile::ErrorFileCorrupt) << name;
        // Walking back, the record after the damage is only trusted when its own
        // fields agree, whatever the damaged one claims.
        ASSERT_GE(backwards.size(), 4u) << name;
        EXPECT_EQ(backwards.front().number, 10u) << name;
        EXPECT_EQ(backwards.back().number, 7u) << name;
    }
}

TEST_F(EventLogFileTest, RefusesHeadersThatLie)
{
    const EvtWriter writer = writerWith(3);
    const QByteArray good = writer.bytes();
    const int eof = int(writer.endOffset());
    const std::vector<std::tuple<const char *, QByteArray, bool>> cases{
        // name, file, whether it opens
        {"header size", with(good, 0, 0x40), false},
        {"closing header size", with(good, 44, 0x20), false},
        {"signature", with(good, 4, 0), false},
        {"shorter than a header", good.left(60), false},
        {"no end-of-file record", with(good, eof + 4, 0), false},
        {"more records than fit", with(good, eof + 28, 0x7FFFFFFF), false},
        {"begin outside the file", with(good, eof + 20, 0x7FFFFFFF), false},
        {"end offset outside the file", with(good, 20, 0xFFFFFFF0u), true}, // the end-of-file record is searched for
        {"maximum size", with(good, 32, 0xFFFFFFF0u), true},
    };
    for (const auto &[name, bytes, opens] : cases) {
        write(bytes);
        EventLogFile log;
        EXPECT_EQ(open(log), opens) << name;
        EXPECT_EQ(opens ? readAll(log, Forwards).size() : log.lastError(), opens ? 3u : EventLogFile::ErrorFileCorrupt)
            << name;
    }
}
