#include "eventsource/eventstore.h"
#include "log/applicationdebug.h"
#include "securityxml.h"
#include "support/tempinstance.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace userCollector;

namespace {

const std::vector<quint16> Logons = {4624, 4768};

class EventStoreTest : public ::testing::Test
{
protected:
    QString root() const { return instance.filePath(QStringLiteral("eventlog")); }
    QString xmlPath() const { return instance.filePath(QStringLiteral("eventlog/dc01/Security.xml")); }

    void append(const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(xmlPath()).absolutePath());
        QFile file(xmlPath());
        ASSERT_TRUE(file.open(QIODevice::Append));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }
    static QByteArray event(quint64 recordId, quint32 eventId = 4624)
    {
        testsupport::SecurityEvent spec;
        spec.recordId = recordId;
        spec.eventId = eventId;
        spec.time = QDateTime::currentDateTimeUtc();
        return testsupport::securityEventXml(spec);
    }

    // Record ids of one query, in the order handed out; -1 for an unreadable event.
    std::vector<qint64> read(quint64 after = 0, quint32 *error = nullptr)
    {
        std::vector<qint64> ids;
        quint32 code = 0;
        auto session = store.openSession(QStringLiteral("dc01"), &code);
        auto query = session ? session->query(after, Logons, &code) : nullptr;
        if (error)
            *error = code;
        std::vector<RenderedEvent> batch;
        while (query && query->next(7, &batch) == 0) {
            for (const RenderedEvent &e : batch)
                ids.push_back(e.rendered ? static_cast<qint64>(e.values[ValueEventRecordId].number) : -1);
            batch.clear();
        }
        return ids;
    }
    using Ids = std::vector<qint64>;

    testsupport::TempInstance instance;
    EventStore store{instance.filePath(QStringLiteral("eventlog"))};
};

// A missing folder or log is the reader's to report (see its tests); names
// that would lead out of the root are unreachable servers.
TEST_F(EventStoreTest, ServerNamesNeverLeaveTheStoreRoot)
{
    instance.writeFile(QStringLiteral("Security.xml"), event(1)); // where a traversal would find a log
    QDir().mkpath(instance.filePath(QStringLiteral("eventlog/dc01")));
    for (const char *server : {"..", ".", "", "../eventlog", "a/b"}) {
        quint32 error = 0;
        EXPECT_EQ(store.openSession(QString::fromLatin1(server), &error), nullptr) << server;
        EXPECT_EQ(error, EventLogError::RpcServerUnavailable) << server;
    }
}

TEST_F(EventStoreTest, ReadsNewestFirstOnlyWantedEventsAboveTheBookmark)
{
    append(event(1) + event(2, 4625) + event(3, 4768) + event(4) + event(5, 4634));
    EXPECT_EQ(read(1), (Ids{4, 3}));
}

// Only what was appended since the last query is read, whatever the bookmark;
// an element still being written is left for the next query.
TEST_F(EventStoreTest, ReadsOnlyWhatWasAppendedSinceTheLastQuery)
{
    const QByteArray third = event(3);
    append(event(1) + event(2) + third.left(300));
    EXPECT_EQ(read(), (Ids{2, 1}));
    append(third.mid(300, 200));
    EXPECT_TRUE(read().empty());
    append(third.mid(500));
    EXPECT_EQ(read(), (Ids{3}));
    EXPECT_EQ(store.xmlOffsetForTest(), QFileInfo(xmlPath()).size());
    EXPECT_TRUE(read().empty());
}

// An abandoned or malformed element is reported once; garbage between elements loses no event.
TEST_F(EventStoreTest, AnAbandonedElementIsReportedOnceAndReadingGoesOn)
{
    append("<?xml version='1.0' encoding='utf-8'?>\n<Events>\n" + event(1).left(400) + "\n" + event(2) +
           "\x01\x02 junk > & ; \n<Event xmlns='x'><System><EventID>4624</Event>\n" + event(3) + "</Events>\n");
    EXPECT_EQ(read(), (Ids{3, -1, 2, -1}));
    EXPECT_TRUE(read().empty());
}

// A '<' just before an element's end is markup of the element, not a new start.
TEST_F(EventStoreTest, MarkupRightBeforeTheEndBelongsToTheElement)
{
    for (const char *tail : {"<a/>", "<b></b>", "<!---->", "<x />"}) {
        QByteArray e = event(2);
        e.insert(e.lastIndexOf("</Event>"), tail);
        instance.writeFile(QStringLiteral("eventlog/dc01/Security.xml"), event(1) + e + event(3));
        EventStore fresh(root());
        quint32 code = 0;
        auto query = fresh.openSession(QStringLiteral("dc01"), &code)->query(0, Logons, &code);
        std::vector<RenderedEvent> batch;
        ASSERT_EQ(query->next(10, &batch), 0u);
        ASSERT_EQ(batch.size(), 3u) << tail;
        for (const RenderedEvent &rendered : batch)
            EXPECT_TRUE(rendered.rendered) << tail << ": " << qPrintable(rendered.renderErrorText);
    }
}

// A writer that keeps giving up: a million starts that never end are read in
// one linear pass; the first few are reported, the rest summed up in one log
// line, and the events around them are still read.
TEST_F(EventStoreTest, AMillionAbandonedStartsAreReadInOnePassAndSummedUp)
{
    ApplicationDebug::create(instance.filePath(QStringLiteral("log")));
    QByteArray starts;
    starts.reserve(7 * 1000000);
    for (int i = 0; i < 1000000; ++i)
        starts.append("<Event>");
    append(event(1) + starts + "\n" + event(2));
    const Ids ids = read();
    ApplicationDebug::destroy();
    EXPECT_EQ(ids, (Ids{2, -1, -1, -1, -1, -1, 1}));
    EXPECT_TRUE(testsupport::logFolderText(instance.path())
                    .contains(QStringLiteral("dc01: 999995 more unreadable events skipped")))
        << qPrintable(testsupport::logFolderText(instance.path()));
    // Complete but broken elements are summed up the same way.
    QByteArray broken;
    for (int i = 0; i < 200000; ++i)
        broken.append("<Event><</Event>");
    append(broken + event(3));
    EXPECT_EQ(read(), (Ids{3, -1, -1, -1, -1, -1}));
}

TEST_F(EventStoreTest, AnOversizedElementIsSkippedWithoutBufferingItWhole)
{
    QByteArray huge = event(2);
    huge.insert(huge.indexOf("</EventData>"),
                "<Data Name='Padding'>" + QByteArray(static_cast<int>(EventStore::MaxEventBytes), 'x') + "</Data>");
    append(event(1) + huge + event(3));
    EXPECT_EQ(read(), (Ids{3, -1, 1}));
    // An element that never ends stops being waited for once it is too large.
    append(QByteArray("<Event xmlns='x'>") + QByteArray(static_cast<int>(EventStore::MaxEventBytes) + 10, 'y'));
    EXPECT_EQ(read(), (Ids{-1}));
    append(event(4));
    EXPECT_EQ(read(), (Ids{4}));
}

// A replaced (new inode), truncated or vanished log is read from its start.
TEST_F(EventStoreTest, AReplacedTruncatedOrVanishedLogIsReadFromItsStart)
{
    append(event(1) + event(2));
    EXPECT_EQ(read(), (Ids{2, 1}));
    instance.writeFile(QStringLiteral("eventlog/dc01/Security.new"), event(5));
    ASSERT_TRUE(QFile::remove(xmlPath()));
    ASSERT_TRUE(QFile::rename(instance.filePath(QStringLiteral("eventlog/dc01/Security.new")), xmlPath()));
    EXPECT_EQ(read(), (Ids{5}));
    QFile file(xmlPath());
    ASSERT_TRUE(file.resize(0));
    append(event(6));
    EXPECT_EQ(read(), (Ids{6}));
    ASSERT_TRUE(QDir(instance.filePath(QStringLiteral("eventlog/dc01"))).removeRecursively());
    quint32 error = 0;
    EXPECT_TRUE(read(0, &error).empty());
    EXPECT_EQ(error, EventLogError::RpcServerUnavailable);
    append(event(1) + event(2));
    EXPECT_EQ(read(1), (Ids{2}));
}

TEST_F(EventStoreTest, Utf16LogsAreRefusedWithAReason)
{
    QByteArray utf16("\xff\xfe");
    const QString text = QString::fromUtf8(event(1));
    utf16.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    instance.writeFile(QStringLiteral("eventlog/dc01/Security.xml"), utf16);
    quint32 error = 0;
    EXPECT_TRUE(read(0, &error).empty());
    EXPECT_EQ(error, EventLogError::InvalidData);
}

TEST_F(EventStoreTest, EvtxIsReadNewestFirstAndNotAgainWhileUnchanged)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("dc-mixed-4624-4768.evtx"));
    QDir().mkpath(instance.filePath(QStringLiteral("eventlog/dc01")));
    ASSERT_TRUE(QFile::copy(testsupport::sampleLogPath(QStringLiteral("dc-mixed-4624-4768.evtx")),
                            instance.filePath(QStringLiteral("eventlog/dc01/Security.evtx"))));
    const std::vector<qint64> ids = read();
    ASSERT_EQ(ids.size(), 5u);
    EXPECT_TRUE(std::is_sorted(ids.rbegin(), ids.rend()));
    EXPECT_TRUE(read().empty()) << "an unchanged file has nothing new";
}

// A log that has wrapped keeps its newest chunks before its oldest: read
// newest first all the same, and the same events as written in order.
TEST_F(EventStoreTest, AWrappedEvtxLogIsReadNewestFirstLikeAnExport)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("ws-security-mixed-4624.evtx"));
    QFile source(testsupport::sampleLogPath(QStringLiteral("ws-security-mixed-4624.evtx")));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray inOrder = source.readAll();
    const int header = 0x1000, chunk = 0x10000;
    // The chunks in use, from the file header.
    const int used = static_cast<unsigned char>(inOrder[42]) | static_cast<unsigned char>(inOrder[43]) << 8;
    ASSERT_GT(used, 3);
    // The first two chunks moved behind the others in use, as a ring that has wrapped stores them.
    QByteArray wrapped = inOrder;
    wrapped.replace(header, used * chunk,
                    inOrder.mid(header + 2 * chunk, (used - 2) * chunk) + inOrder.mid(header, 2 * chunk));
    std::vector<std::vector<qint64>> reads;
    for (const QByteArray &bytes : {inOrder, wrapped}) {
        instance.writeFile(QStringLiteral("eventlog/dc01/Security.evtx"), bytes);
        EventStore fresh(root());
        quint32 code = 0;
        auto query = fresh.openSession(QStringLiteral("dc01"), &code)->query(0, Logons, &code);
        std::vector<qint64> ids;
        std::vector<RenderedEvent> batch;
        while (query->next(100, &batch) == 0) {
            for (const RenderedEvent &e : batch)
                ids.push_back(e.rendered ? static_cast<qint64>(e.values[ValueEventRecordId].number) : -1);
            batch.clear();
        }
        EXPECT_TRUE(std::is_sorted(ids.rbegin(), ids.rend()));
        reads.push_back(ids);
    }
    EXPECT_EQ(reads[0].size(), 126u);
    EXPECT_EQ(reads[0], reads[1]);
}

TEST_F(EventStoreTest, CorruptOrTruncatedEvtxNeverCrashes)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("ws-security-mixed-4624.evtx"));
    QFile source(testsupport::sampleLogPath(QStringLiteral("ws-security-mixed-4624.evtx")));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray sample = source.readAll();
    ASSERT_GT(sample.size(), 200000);
    QByteArray garbled = sample;
    for (int i = 0x1000 + 0x10000 + 0x300; i < 0x1000 + 0x10000 + 0x2300; ++i)
        garbled[i] = static_cast<char>(i * 7);
    const QByteArray variants[] = {sample.left(0x1000 + 3 * 0x10000 + 777), sample.left(100), garbled,
                                   QByteArray("ElfFile") + QByteArray(1, '\0') + QByteArray(5000, '\xff')};
    for (const QByteArray &bytes : variants) {
        instance.writeFile(QStringLiteral("eventlog/dc01/Security.evtx"), bytes);
        quint32 error = 0;
        const std::vector<qint64> ids = read(0, &error);
        EXPECT_TRUE(error == 0 || error == EventLogError::InvalidData) << error;
        if (bytes.size() == sample.size()) {
            EXPECT_GT(std::count_if(ids.begin(), ids.end(), [](qint64 id) { return id > 0; }), 50);
        }
    }
}

} // namespace
