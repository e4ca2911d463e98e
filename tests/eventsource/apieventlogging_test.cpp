#include "common/clock.h"
#include "eventsource/apieventlogging.h"
#include "log/applicationdebug.h"
#include "support/evtwriter.h"
#include "support/tempinstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    QString path(const QString &server = Server) const
    {
        return instance.filePath(QStringLiteral("eventlog/%1/Security.evt").arg(server));
    }
    // Appends a network logon of user, ageSeconds old, from an address of its own.
    void logon(EvtWriter &writer, const QString &user, qint64 ageSeconds, const QByteArray &data = QByteArray()) const
    {
        const quint32 n = writer.currentRecord();
        writer.append(4624, ago(ageSeconds),
                      event4624(user, QStringLiteral("10.0.%1.%2").arg(n / 200).arg(n % 200 + 1)), data);
    }
    QString logText() const { return testsupport::logFolderText(instance.path()); }
    QDateTime ago(qint64 seconds) const { return now.addSecs(-seconds); }

    const QDateTime now = QDateTime::fromSecsSinceEpoch(1700000000);
    testsupport::TempInstance instance;
};

} // namespace

// What each event kind yields; the filters themselves are LogonRules' and tested there.
TEST_F(ApiEventLoggingTest, TakesTheFieldsOfEachEventKind)
{
    // Event id, insertion strings, the logon as "user@address workstation sid" (nullptr: no logon).
    const std::vector<std::tuple<quint32, QStringList, const char *>> rows{
        {4624, event4624("alice", "10.1.2.3"), "alice@10.1.2.3 WS1 sid"},
        {4624, event4624("amy", "::ffff:10.1.2.4"), "amy@10.1.2.4 WS1 sid"},
        {4624, event4624("local", "127.0.0.1", "2", "User32 "), "local@10.0.0.5 WS1 sid"},
        {4624, event4624("unlock", "10.1.2.6", "7", "Kerberos", "-", "Corp.Example.Com"), "unlock@10.1.2.6  sid"},
        {4624, event4624("ntlm", "10.1.2.8", "3", "NtLmSsp "), nullptr},
        {4624, event4624("short", "10.1.2.9", "3", "Kerberos", "WS1", "CORP", 18), nullptr},
        {4768, event4768("bob", "0x0", "::ffff:10.1.3.1"), "bob@10.1.3.1  sid"},
        {4768, event4768("refused", "0x6", "::ffff:10.1.3.2"), nullptr},
        {4768, event4768("short", "0x0", "10.1.3.3", 9), nullptr},
        {672, event672("carol", "%{S-1-5-21-1-2-3-1104}", "-", "10.1.4.1"), "carol@10.1.4.1  sid"},
        {672, event672("failed", Sid, "0x18", "10.1.4.2"), nullptr},
        {540, event540("dave", "2", "User32 ", "10.1.5.1"), "dave@10.1.5.1 WS540 "},
        {540, event540("ntlm540", "3", "NtLmSsp", "10.1.5.2"), nullptr},
        {540, event540("short540", "2", "User32", "10.1.5.3", 13), nullptr},
        {4625, event4624("failure", "10.1.6.1"), nullptr},
    };
    EvtWriter writer;
    QStringList expected;
    for (const auto &[eventId, strings, logon] : rows) {
        writer.append(eventId, ago(60), strings);
        if (logon)
            expected.prepend(QString::fromLatin1(logon)); // newest first
    }
    writer.save(path());

    auto reader = source();
    const common::LogonList logons = reader->collect();
    QStringList seen;
    for (const Logon &l : logons) {
        seen << QStringLiteral("%1@%2 %3 %4")
                    .arg(l.user(), l.ip().toString(), l.workstation(),
                         l.sid() == Sid ? QStringLiteral("sid") : l.sid());
        EXPECT_EQ(l.domain(), QStringLiteral("CORP")) << l;
        EXPECT_EQ(l.fqdn(), QStringLiteral("corp.example.com")) << l;
        EXPECT_EQ(l.time(), ago(60)) << l;
    }
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(reader->failureTime().isValid());
    EXPECT_EQ(reader->eventsReadForTest(), quint32(rows.size()));

    const QString log = logText();
    for (const char *minimum : {"19", "10", "14"})
        EXPECT_TRUE(log.contains(QStringLiteral("warning: Number of strings in event < ") + minimum)) << minimum;
    EXPECT_TRUE(log.contains(QStringLiteral("%1: Number of events read: %2").arg(Server).arg(rows.size())));
    EXPECT_TRUE(log.contains(QStringLiteral("%1: Number of logons found: %2").arg(Server).arg(expected.size())));
}

TEST_F(ApiEventLoggingTest, FirstReadStopsOnceABufferReachesPastTheCutoff)
{
    // About 1,800 of these records fill one read buffer.
    EvtWriter writer(4 * 1024 * 1024);
    const int total = 6000;
    for (int i = 1; i <= total; ++i)
        logon(writer, QStringLiteral("u%1").arg(i), i <= total / 2 ? 7200 : 60);
    writer.save(path());
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

TEST_F(ApiEventLoggingTest, ClearedLogStartsAFirstReadAgain)
{
    EvtWriter writer;
    for (int i = 1; i <= 5; ++i)
        logon(writer, QStringLiteral("old%1").arg(i), 60);
    writer.save(path());
    auto reader = source();
    EXPECT_EQ(reader->collect().size(), 5);

    writer.clear();
    writer.append(4768, ago(30), event4768(QStringLiteral("new1"), QStringLiteral("0x0"), QStringLiteral("10.0.2.1")));
    logon(writer, QStringLiteral("new2"), 20);
    writer.save(path());
    EXPECT_TRUE(reader->collect().isEmpty());
    EXPECT_FALSE(reader->failureTime().isValid());
    EXPECT_EQ(reader->newestRecordForTest(), 0u);
    EXPECT_TRUE(logText().contains(QStringLiteral("%1: Invalid parameters : admin has clear the log ?").arg(Server)));

    EXPECT_EQ(users(reader->collect()), (QStringList{"new2", "new1"}));
    EXPECT_EQ(reader->newestRecordForTest(), 2u);
    logon(writer, QStringLiteral("new3"), 10);
    writer.save(path());
    EXPECT_EQ(users(reader->collect()), (QStringList{"new2", "new3"}));
}

// Later collections read forwards from the newest record of the last one (read
// again), across the wrap of the circular buffer.
TEST_F(ApiEventLoggingTest, LaterCollectionsReadForwardsAcrossTheWrap)
{
    EvtWriter writer(10 * 1024);
    int n = 0;
    auto add = [&](int count) {
        for (int i = 0; i < count; ++i)
            logon(writer, QStringLiteral("u%1").arg(++n), 60);
        writer.save(path());
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
    EXPECT_EQ(reader->eventsReadForTest(), 21u);
    EXPECT_EQ(reader->newestRecordForTest(), 50u);
    EXPECT_EQ(users(reader->collect()), QStringList{"u50"});

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
    logon(writer, QStringLiteral("before"), 60);
    logon(writer, QStringLiteral("large"), 60, QByteArray(700000, 'd'));
    logon(writer, QStringLiteral("after"), 60);
    writer.save(path());
    auto reader = source();
    EXPECT_EQ(users(reader->collect()), (QStringList{"after", "large", "before"}));
    EXPECT_TRUE(logText().contains(QStringLiteral("%1: Insufficient buffer allocate a new one : ").arg(Server)));
    EXPECT_GT(reader->bytesReadForTest(), 700000u);
}

TEST_F(ApiEventLoggingTest, DamagedRecordsAreLoggedAndWhatCameBeforeIsKept)
{
    EvtWriter writer;
    logon(writer, QStringLiteral("u1"), 60);
    auto reader = source();
    writer.save(path());
    EXPECT_EQ(reader->collect().size(), 1);

    // Strings that run off the record (200 of them), and a string offset outside
    // the record: those records are refused alone.
    const quint32 at = quint32(ago(50).toSecsSinceEpoch());
    QByteArray unterminated =
        EvtWriter::record(2, at, 4624, event4624(QStringLiteral("bad1"), QStringLiteral("10.0.1.2")));
    unterminated.replace(26, 2, QByteArray("\xc8\x00", 2));
    writer.appendRaw(unterminated);
    QByteArray outside = EvtWriter::record(3, at, 4624, event4624(QStringLiteral("bad2"), QStringLiteral("10.0.1.3")));
    for (int i = 0, farAway = outside.size() * 2; i < 4; ++i)
        outside[36 + i] = char((farAway >> (8 * i)) & 0xFF);
    writer.appendRaw(outside);
    logon(writer, QStringLiteral("u4"), 40);
    // Record 5 is damaged in the file itself; records after it cannot be reached.
    const quint32 offset5 = writer.endOffset();
    logon(writer, QStringLiteral("u5"), 30);
    logon(writer, QStringLiteral("u6"), 20);
    instance.writeFile(QStringLiteral("eventlog/%1/Security.evt").arg(Server),
                       writer.bytes().replace(int(offset5) + 4, 4, QByteArray(4, '\0')));

    EXPECT_EQ(users(reader->collect()), (QStringList{"u1", "u4"}));
    EXPECT_TRUE(reader->failureTime().isValid());
    const QString log = logText();
    for (const QString &line :
         {QStringLiteral("Event record 2 refused: string "), QStringLiteral("has no terminating zero"),
          QStringLiteral("Event record 3 refused: string offset"), QStringLiteral("record 5 at offset"),
          QStringLiteral("%1: unable to read event log: The event log file is corrupted. (error: 1500).").arg(Server)})
        EXPECT_TRUE(log.contains(line)) << line.toStdString();
}

TEST_F(ApiEventLoggingTest, UnreachableLogAndStop)
{
    auto reader = source();
    EXPECT_TRUE(reader->collect().isEmpty());
    EXPECT_EQ(reader->failureTime(), now);
    EXPECT_FALSE(reader->testConnection());
    const QString log = logText();
    const QString why = QStringLiteral("The RPC server is unavailable. (error: 1722)");
    EXPECT_TRUE(log.contains(QStringLiteral("%1: opening event log failed with server (%2)").arg(Server, why)));
    EXPECT_TRUE(log.contains(QStringLiteral("%1: Unable to open event log: %2").arg(Server, why)));

    EvtWriter writer;
    logon(writer, QStringLiteral("u1"), 60);
    writer.save(path());
    EXPECT_TRUE(reader->testConnection());
    EXPECT_EQ(reader->failureTime(), now); // a connection test changes nothing
    reader->stop();
    EXPECT_TRUE(reader->collect().isEmpty());
    EXPECT_FALSE(reader->failureTime().isValid());
    EXPECT_EQ(reader->bytesReadForTest(), 0u);
    EXPECT_EQ(reader->newestRecordForTest(), 0u);
}

// Everything since 1970 is recent enough: the whole log is read, newest first
// down to its oldest record; the next collection reads only the newest again.
TEST_F(ApiEventLoggingTest, SampleLogsYieldNoLogons)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("xp-system-wrapped.evt"), QStringLiteral("synthetic-app-5rec.evt"),
                            QStringLiteral("synthetic-app-dirty.evt"));
    // Sample, events read, oldest and newest record.
    const std::vector<std::tuple<const char *, quint32, quint32, quint32>> cases{
        {"xp-system-wrapped.evt", 6063, 1392, 7454},
        {"synthetic-app-5rec.evt", 5, 1, 5},
        {"synthetic-app-dirty.evt", 5, 1, 5}};
    for (const auto &[file, events, oldest, newest] : cases) {
        const QString server = QString::fromLatin1(file).section('.', 0, 0);
        QDir().mkpath(QFileInfo(path(server)).absolutePath());
        ASSERT_TRUE(QFile::link(testsupport::sampleLogPath(QLatin1String(file)), path(server)));
        auto reader = source(0xFFFFFFFFu, server);
        EXPECT_TRUE(reader->collect().isEmpty()) << file;
        EXPECT_FALSE(reader->failureTime().isValid()) << file;
        EXPECT_EQ(reader->eventsReadForTest(), events) << file;
        EXPECT_EQ(reader->oldestRecordForTest(), oldest) << file;
        EXPECT_EQ(reader->newestRecordForTest(), newest) << file;
        EXPECT_TRUE(reader->collect().isEmpty());
        EXPECT_EQ(reader->eventsReadForTest(), 1u) << file;
    }
}
