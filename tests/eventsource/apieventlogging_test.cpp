#include "common/clock.h"
#include "eventsource/apieventlogging.h"
#include "log/applicationdebug.h"
#include "support/evtwriter.h"
#include "support/tempinstance.h"

#include <QDir>
#include <QFile>
#include <QtEndian>
#include <gtest/gtest.h>
#include <memory>

using common::Logon;
using testsupport::EvtWriter;
using userCollector::ApiEventLogging;
using userCollector::EventLogFile;

namespace {

const QString Server = QStringLiteral("10.0.0.5");
const QString Sid = QStringLiteral("S-1-5-21-1-2-3-1104");

// Insertion strings of each kind of logon event, with the fields the reader
// takes at their positions and "-" elsewhere.
QStringList strings(int count, const QMap<int, QString> &fields)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << fields.value(i, QStringLiteral("-"));
    return list;
}

QStringList event4624(const QString &user, const QString &address, const QString &type = QStringLiteral("3"),
                      const QString &process = QStringLiteral("Kerberos"),
                      const QString &workstation = QStringLiteral("WS1"),
                      const QString &domain = QStringLiteral("CORP"), int count = 21)
{
    return strings(count,
                   {{4, Sid}, {5, user}, {6, domain}, {8, type}, {9, process}, {11, workstation}, {18, address}});
}

QStringList event4768(const QString &user, const QString &status, const QString &address, int count = 11)
{
    return strings(count, {{0, user}, {1, QStringLiteral("corp.example.com")}, {2, Sid}, {6, status}, {9, address}});
}

QStringList event672(const QString &user, const QString &sid, const QString &status, const QString &address)
{
    return strings(10, {{0, user}, {1, QStringLiteral("CORP")}, {2, sid}, {6, status}, {9, address}});
}

QStringList event540(const QString &user, const QString &type, const QString &process, const QString &address,
                     int count = 15)
{
    return strings(
        count,
        {{0, user}, {1, QStringLiteral("CORP")}, {3, type}, {4, process}, {6, QStringLiteral("WS540")}, {13, address}});
}

// The fields of a logon that the reader fills, for comparison and printing.
struct Seen
{
    QString user;
    QString address;
    QString workstation;
    QString domain;
    QString fqdn;
    QString sid;
    bool operator==(const Seen &o) const
    {
        return user == o.user && address == o.address && workstation == o.workstation && domain == o.domain &&
               fqdn == o.fqdn && sid == o.sid;
    }
};

std::ostream &operator<<(std::ostream &out, const Seen &s)
{
    return out << s.user.toStdString() << "@" << s.address.toStdString() << " ws=" << s.workstation.toStdString() << " "
               << s.domain.toStdString() << "/" << s.fqdn.toStdString() << " " << s.sid.toStdString();
}

std::vector<Seen> seen(const common::LogonList &logons)
{
    std::vector<Seen> result;
    for (const Logon &l : logons)
        result.push_back({l.user(), l.ip().toString(), l.workstation(), l.domain(), l.fqdn(), l.sid()});
    return result;
}

QStringList users(const common::LogonList &logons)
{
    QStringList result;
    for (const Logon &l : logons)
        result << l.user();
    return result;
}

class ApiEventLoggingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        EventLogFile::setStoreRootForTest(instance.filePath(QStringLiteral("eventlog")));
        ApplicationDebug::create(instance.filePath(QStringLiteral("log")));
        common::Clock::setNowForTest(now);
    }
    void TearDown() override
    {
        common::Clock::resetForTest();
        ApplicationDebug::destroy();
        EventLogFile::setStoreRootForTest(QString());
    }

    std::unique_ptr<ApiEventLogging> source(quint32 maxSecondToRead = 3600, const QString &server = Server) const
    {
        return std::make_unique<ApiEventLogging>(server, QStringList{QStringLiteral("administrator")}, maxSecondToRead,
                                                 QStringLiteral("corp.example.com"), QStringLiteral("CORP"));
    }
    void save(const EvtWriter &writer, const QString &server = Server) const
    {
        writer.save(instance.filePath(QStringLiteral("eventlog/%1/Security.evt").arg(server)));
    }
    QString logText() const
    {
        QString text;
        const QDir dir(instance.filePath(QStringLiteral("log")));
        for (const QString &name : dir.entryList({QStringLiteral("*.log")}, QDir::Files)) {
            QFile file(dir.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                text += QString::fromUtf8(file.readAll());
        }
        return text;
    }
    QDateTime ago(qint64 seconds) const { return now.addSecs(-seconds); }

    const QDateTime now = QDateTime::fromSecsSinceEpoch(1700000000);
    testsupport::TempInstance instance;
};

} // namespace

TEST_F(ApiEventLoggingTest, TakesTheFieldsOfEachEventKind)
{
    struct Row
    {
        quint32 eventId;
        QStringList strings;
        bool logon;
        Seen expected;
    };
    const QString corp = QStringLiteral("CORP");
    const QString dns = QStringLiteral("corp.example.com");
    const std::vector<Row> rows{
        {4624, event4624("alice", "10.1.2.3"), true, {"alice", "10.1.2.3", "WS1", corp, dns, Sid}},
        {4624, event4624("amy", "::ffff:10.1.2.4"), true, {"amy", "10.1.2.4", "WS1", corp, dns, Sid}},
        {4624, event4624("local", "127.0.0.1", "2", "User32 "), true, {"local", Server, "WS1", corp, dns, Sid}},
        {4624,
         event4624("unlock", "10.1.2.6", "7", "Kerberos", "-", "Corp.Example.Com"),
         true,
         {"unlock", "10.1.2.6", "", corp, dns, Sid}},
        {4624, event4624("rdp", "10.1.2.7", "10"), false, {}},
        {4624, event4624("ntlm", "10.1.2.8", "3", "NtLmSsp "), false, {}},
        {4624, event4624("short", "10.1.2.9", "3", "Kerberos", "WS1", "CORP", 18), false, {}},
        {4624, event4624("Administrator", "10.1.2.10"), false, {}},
        {4624, event4624("WS1$", "10.1.2.11"), false, {}},
        {4624, event4624("nowhere", "-"), false, {}},
        {4768, event4768("bob", "0x0", "::ffff:10.1.3.1"), true, {"bob", "10.1.3.1", "", corp, dns, Sid}},
        {4768, event4768("refused", "0x6", "::ffff:10.1.3.2"), false, {}},
        {4768, event4768("short", "0x0", "10.1.3.3", 9), false, {}},
        {672,
         event672("carol", "%{S-1-5-21-1-2-3-1104}", "-", "10.1.4.1"),
         true,
         {"carol", "10.1.4.1", "", corp, dns, Sid}},
        {672, event672("failed", Sid, "0x18", "10.1.4.2"), false, {}},
        {540, event540("dave", "2", "User32 ", "10.1.5.1"), true, {"dave", "10.1.5.1", "WS540", corp, dns, ""}},
        {540, event540("ntlm540", "3", "NtLmSsp", "10.1.5.2"), false, {}},
        {540, event540("short540", "2", "User32", "10.1.5.3", 13), false, {}},
        {4625, event4624("failure", "10.1.6.1"), false, {}},
    };
    EvtWriter writer;
    for (const Row &row : rows)
        writer.append(row.eventId, ago(60), row.strings);
    save(writer);

    auto reader = source();
    const common::LogonList logons = reader->collect();
    std::vector<Seen> expected;
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) { // newest first
        if (row->logon)
            expected.push_back(row->expected);
    }
    EXPECT_EQ(seen(logons), expected);
    for (const Logon &logon : logons)
        EXPECT_EQ(logon.time(), ago(60));
    EXPECT_FALSE(reader->failureTime().isValid());
    EXPECT_EQ(reader->eventsReadForTest(), quint32(rows.size()));

    const QString log = logText();
    EXPECT_TRUE(log.contains(QLatin1String("warning: Number of strings in event < 19")));
    EXPECT_TRUE(log.contains(QLatin1String("warning: Number of strings in event < 10")));
    EXPECT_TRUE(log.contains(QLatin1String("warning: Number of strings in event < 14")));
    EXPECT_TRUE(log.contains(QStringLiteral("%1: Number of events read: %2").arg(Server).arg(rows.size())));
    EXPECT_TRUE(log.contains(QStringLiteral("%1: Number of logons found: %2").arg(Server).arg(expected.size())));
}

TEST_F(ApiEventLoggingTest, LaterCollectionsReadForwardsFromTheNewestRecord)
{
    EvtWriter writer;
    for (int i = 1; i <= 3; ++i)
        writer.append(4624, ago(100 - i), event4624(QStringLiteral("u%1").arg(i), QStringLiteral("10.0.1.%1").arg(i)));
    save(writer);
    auto reader = source();
    EXPECT_EQ(users(reader->collect()), (QStringList{"u3", "u2", "u1"}));
    EXPECT_EQ(reader->newestRecordForTest(), 3u);

    for (int i = 4; i <= 5; ++i)
        writer.append(4624, ago(10), event4624(QStringLiteral("u%1").arg(i), QStringLiteral("10.0.1.%1").arg(i)));
    save(writer);
    // The newest record of the last collection is read again.
    EXPECT_EQ(users(reader->collect()), (QStringList{"u3", "u4", "u5"}));
    EXPECT_EQ(reader->eventsReadForTest(), 3u);
    EXPECT_EQ(users(reader->collect()), QStringList{"u5"});
    EXPECT_EQ(reader->newestRecordForTest(), 5u);
}

TEST_F(ApiEventLoggingTest, FirstReadStopsOnceABufferReachesPastTheCutoff)
{
    // About 1,800 of these records fill one read buffer.
    EvtWriter writer(4 * 1024 * 1024);
    const int total = 6000;
    for (int i = 1; i <= total; ++i) {
        const QDateTime time = i <= total / 2 ? ago(7200) : ago(60);
        writer.append(
            4624, time,
            event4624(QStringLiteral("u%1").arg(i), QStringLiteral("10.1.%1.%2").arg(i / 250).arg(i % 250 + 1)));
    }
    save(writer);
    auto reader = source(900);
    const common::LogonList logons = reader->collect();
    QStringList names = users(logons);
    // Every recent record, some older ones from the last buffer, not the oldest.
    for (int i = total / 2 + 1; i <= total; ++i)
        ASSERT_TRUE(names.contains(QStringLiteral("u%1").arg(i))) << i;
    EXPECT_GT(logons.size(), total / 2);
    EXPECT_FALSE(names.contains(QStringLiteral("u1")));
    EXPECT_LT(reader->eventsReadForTest(), quint32(total));
    EXPECT_EQ(reader->eventsReadForTest(), quint32(logons.size())); // each record parsed once
    EXPECT_EQ(names.removeDuplicates(), 0);
    EXPECT_EQ(reader->newestRecordForTest(), quint32(total));
    EXPECT_GT(reader->oldestRecordForTest(), 1u);
}

TEST_F(ApiEventLoggingTest, FirstReadOfAShortLogReadsItAll)
{
    EvtWriter writer;
    for (int i = 1; i <= 4; ++i)
        writer.append(4624, ago(60), event4624(QStringLiteral("u%1").arg(i), QStringLiteral("10.0.1.%1").arg(i)));
    save(writer);
    auto reader = source(0xFFFFFFFFu);
    EXPECT_EQ(users(reader->collect()), (QStringList{"u4", "u3", "u2", "u1"}));
    EXPECT_EQ(reader->oldestRecordForTest(), 1u);
    EXPECT_EQ(reader->eventsReadForTest(), 4u);
}

TEST_F(ApiEventLoggingTest, ClearedLogStartsAFirstReadAgain)
{
    EvtWriter writer;
    for (int i = 1; i <= 5; ++i)
        writer.append(4624, ago(60), event4624(QStringLiteral("old%1").arg(i), QStringLiteral("10.0.1.%1").arg(i)));
    save(writer);
    auto reader = source();
    EXPECT_EQ(reader->collect().size(), 5);

    writer.clear();
    writer.append(4768, ago(30), event4768(QStringLiteral("new1"), QStringLiteral("0x0"), QStringLiteral("10.0.2.1")));
    writer.append(4624, ago(20), event4624(QStringLiteral("new2"), QStringLiteral("10.0.2.2")));
    save(writer);
    EXPECT_TRUE(reader->collect().isEmpty());
    EXPECT_FALSE(reader->failureTime().isValid());
    EXPECT_EQ(reader->newestRecordForTest(), 0u);
    EXPECT_TRUE(logText().contains(QStringLiteral("%1: Invalid parameters : admin has clear the log ?").arg(Server)));

    EXPECT_EQ(users(reader->collect()), (QStringList{"new2", "new1"}));
    EXPECT_EQ(reader->newestRecordForTest(), 2u);
    writer.append(4624, ago(10), event4624(QStringLiteral("new3"), QStringLiteral("10.0.2.3")));
    save(writer);
    EXPECT_EQ(users(reader->collect()), (QStringList{"new2", "new3"}));
}

TEST_F(ApiEventLoggingTest, ReadsAcrossTheWrapOfTheCircularBuffer)
{
    EvtWriter writer(10 * 1024);
    int n = 0;
    auto add = [&](int count) {
        for (int i = 0; i < count; ++i) {
            ++n;
            writer.append(
                4624, ago(60),
                event4624(QStringLiteral("u%1").arg(n), QStringLiteral("10.0.%1.%2").arg(n / 200).arg(n % 200 + 1)));
        }
        save(writer);
    };
    add(30);
    auto reader = source();
    EXPECT_EQ(reader->collect().size(), 30);
    add(20);
    ASSERT_TRUE(writer.wrapped());
    ASSERT_LE(writer.oldestRecord(), 30u);
    const common::LogonList logons = reader->collect();
    ASSERT_EQ(logons.size(), 21);
    EXPECT_EQ(logons.first().user(), QStringLiteral("u30"));
    EXPECT_EQ(logons.last().user(), QStringLiteral("u50"));

    // So many new records that the newest one read is gone: read afresh.
    add(200);
    ASSERT_GT(writer.oldestRecord(), 50u);
    EXPECT_TRUE(reader->collect().isEmpty());
    const common::LogonList again = reader->collect();
    EXPECT_EQ(quint32(again.size()), writer.currentRecord() - writer.oldestRecord());
    EXPECT_EQ(again.first().user(), QStringLiteral("u250"));
}

TEST_F(ApiEventLoggingTest, GrowsTheBufferForALargeRecord)
{
    EvtWriter writer(2 * 1024 * 1024);
    writer.append(4624, ago(60), event4624(QStringLiteral("before"), QStringLiteral("10.0.1.1")));
    writer.append(4624, ago(60), event4624(QStringLiteral("large"), QStringLiteral("10.0.1.2")),
                  QByteArray(700000, 'd'));
    writer.append(4624, ago(60), event4624(QStringLiteral("after"), QStringLiteral("10.0.1.3")));
    save(writer);
    auto reader = source();
    EXPECT_EQ(users(reader->collect()), (QStringList{"after", "large", "before"}));
    EXPECT_TRUE(logText().contains(QStringLiteral("%1: Insufficient buffer allocate a new one : ").arg(Server)));
    EXPECT_GT(reader->bytesReadForTest(), 700000u);
}

TEST_F(ApiEventLoggingTest, DamagedRecordsAreLoggedAndWhatCameBeforeIsKept)
{
    EvtWriter writer;
    writer.append(4624, ago(60), event4624(QStringLiteral("u1"), QStringLiteral("10.0.1.1")));
    auto reader = source();
    save(writer);
    EXPECT_EQ(reader->collect().size(), 1);

    // Strings that run off the record, and an offset outside it: those records are refused alone.
    QByteArray unterminated = EvtWriter::record(2, quint32(ago(50).toSecsSinceEpoch()), 4624,
                                                event4624(QStringLiteral("bad1"), QStringLiteral("10.0.1.2")));
    unterminated[26] = char(200);
    unterminated[27] = 0;
    writer.appendRaw(unterminated);
    QByteArray outside = EvtWriter::record(3, quint32(ago(50).toSecsSinceEpoch()), 4624,
                                           event4624(QStringLiteral("bad2"), QStringLiteral("10.0.1.3")));
    const quint32 farAway = quint32(outside.size()) * 2;
    for (int i = 0; i < 4; ++i)
        outside[36 + i] = char((farAway >> (8 * i)) & 0xFF);
    writer.appendRaw(outside);
    writer.append(4624, ago(40), event4624(QStringLiteral("u4"), QStringLiteral("10.0.1.4")));
    // Record 5 is damaged in the file itself; records after it cannot be reached.
    const quint32 offset5 = writer.endOffset();
    writer.append(4624, ago(30), event4624(QStringLiteral("u5"), QStringLiteral("10.0.1.5")));
    writer.append(4624, ago(20), event4624(QStringLiteral("u6"), QStringLiteral("10.0.1.6")));
    QByteArray bytes = writer.bytes();
    bytes.replace(int(offset5) + 4, 4, QByteArray(4, '\0'));
    instance.writeFile(QStringLiteral("eventlog/%1/Security.evt").arg(Server), bytes);

    EXPECT_EQ(users(reader->collect()), (QStringList{"u1", "u4"}));
    EXPECT_TRUE(reader->failureTime().isValid());
    const QString log = logText();
    EXPECT_TRUE(log.contains(QLatin1String("Event record 2 refused: string ")));
    EXPECT_TRUE(log.contains(QLatin1String("has no terminating zero")));
    EXPECT_TRUE(log.contains(QLatin1String("Event record 3 refused: string offset")));
    EXPECT_TRUE(log.contains(
        QStringLiteral("%1: unable to read event log: The event log file is corrupted. (error: 1500).").arg(Server)));
    EXPECT_TRUE(log.contains(QLatin1String("record 5 at offset")));
}

TEST_F(ApiEventLoggingTest, UnreachableLogAndStop)
{
    auto reader = source();
    EXPECT_TRUE(reader->collect().isEmpty());
    EXPECT_EQ(reader->failureTime(), now);
    EXPECT_FALSE(reader->testConnection());
    const QString log = logText();
    EXPECT_TRUE(log.contains(
        QStringLiteral("%1: opening event log failed with server (The RPC server is unavailable. (error: 1722))")
            .arg(Server)));
    EXPECT_TRUE(log.contains(
        QStringLiteral("%1: Unable to open event log: The RPC server is unavailable. (error: 1722)").arg(Server)));

    EvtWriter writer;
    writer.append(4624, ago(60), event4624(QStringLiteral("u1"), QStringLiteral("10.0.1.1")));
    save(writer);
    EXPECT_TRUE(reader->testConnection());
    EXPECT_EQ(reader->failureTime(), now); // a connection test changes nothing
    reader->stop();
    EXPECT_TRUE(reader->collect().isEmpty());
    EXPECT_FALSE(reader->failureTime().isValid());
    EXPECT_EQ(reader->bytesReadForTest(), 0u);
    EXPECT_EQ(reader->newestRecordForTest(), 0u);
}

TEST_F(ApiEventLoggingTest, SampleLogsYieldNoLogons)
{
    struct Case
    {
        const char *file;
        quint32 events;
        quint32 oldest;
        quint32 newest;
    };
    const std::vector<Case> cases{{"xp-system-wrapped.evt", 6063, 1392, 7454},
                                  {"synthetic-app-5rec.evt", 5, 1, 5},
                                  {"synthetic-app-dirty.evt", 5, 1, 5}};
    for (const Case &c : cases) {
        const QString server = QString::fromLatin1(c.file).section('.', 0, 0);
        QDir().mkpath(instance.filePath(QStringLiteral("eventlog/") + server));
        ASSERT_TRUE(QFile::link(testsupport::sharedDataPath(QStringLiteral("data/eventlogs/") + QLatin1String(c.file)),
                                instance.filePath(QStringLiteral("eventlog/%1/Security.evt").arg(server))));
        // Everything since 1970 is recent enough: the whole log is read.
        auto reader = source(0xFFFFFFFFu, server);
        EXPECT_TRUE(reader->collect().isEmpty()) << c.file;
        EXPECT_FALSE(reader->failureTime().isValid()) << c.file;
        EXPECT_EQ(reader->eventsReadForTest(), c.events) << c.file;
        EXPECT_EQ(reader->oldestRecordForTest(), c.oldest) << c.file;
        EXPECT_EQ(reader->newestRecordForTest(), c.newest) << c.file;
        // The next collection only reads the newest record again.
        EXPECT_TRUE(reader->collect().isEmpty());
        EXPECT_EQ(reader->eventsReadForTest(), 1u) << c.file;
    }
}
