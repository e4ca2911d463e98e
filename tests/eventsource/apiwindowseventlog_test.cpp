#include "common/clock.h"
#include "eventsource/apiwindowseventlog.h"
#include "eventsource/eventxmlparser.h"
#include "log/applicationdebug.h"
#include "securityxml.h"
#include "support/tempinstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <functional>
#include <gtest/gtest.h>

using namespace userCollector;
using testsupport::SecurityEvent;

namespace {

const QDateTime Now = QDateTime(QDate(2024, 3, 1), QTime(8, 15, 2), Qt::LocalTime);

class ReaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        common::Clock::setNowForTest(Now);
        ApiWindowsEventLog::setStoreRootForTest(instance.filePath(QStringLiteral("eventlog")));
        ApplicationDebug::create(instance.filePath(QStringLiteral("log")));
    }
    void TearDown() override
    {
        ApplicationDebug::destroy();
        ApiWindowsEventLog::setStoreRootForTest(QString());
        common::Clock::resetForTest();
    }

    QString log() const { return testsupport::logFolderText(instance.path()); }
    static std::unique_ptr<ApiWindowsEventLog> reader(const QString &server = QStringLiteral("dc01"),
                                                      quint32 window = 900,
                                                      std::unique_ptr<IEventLogPlatform> platform = nullptr)
    {
        if (platform)
            return std::make_unique<ApiWindowsEventLog>(server, QStringList(), window, QString(), QString(),
                                                        std::move(platform));
        return std::make_unique<ApiWindowsEventLog>(server, QStringList(), window, QString(), QString());
    }

    // An event ageSeconds old with the given record number, changed by edit.
    static SecurityEvent event(quint64 recordId, qint64 ageSeconds = 10,
                               const std::function<void(SecurityEvent &)> &edit = nullptr)
    {
        SecurityEvent e;
        e.recordId = recordId;
        e.time = Now.addSecs(-ageSeconds).toUTC();
        if (edit)
            edit(e);
        return e;
    }

    void append(const QString &server, const QList<SecurityEvent> &events)
    {
        const QString path = instance.filePath(QStringLiteral("eventlog/%1/Security.xml").arg(server));
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::Append));
        for (const SecurityEvent &e : events)
            file.write(testsupport::securityEventXml(e));
    }
    // A real exported log as server's store.
    void copySample(const char *file, const QString &server) const
    {
        QDir().mkpath(instance.filePath(QStringLiteral("eventlog/") + server));
        ASSERT_TRUE(QFile::copy(testsupport::sampleLogPath(QLatin1String(file)),
                                instance.filePath(QStringLiteral("eventlog/%1/Security.evtx").arg(server))));
    }

    testsupport::TempInstance instance;
};

SecurityEvent &ticket(SecurityEvent &e, const QString &status)
{
    e.eventId = 4768;
    e.status = status;
    return e;
}

// How the reader turns an event's values into a logon candidate; the filters
// themselves are LogonRules' and tested there.
TEST_F(ReaderTest, TakesTheValuesOfEachEventKind)
{
    using Edit = std::function<void(SecurityEvent &)>;
    // Name, change to the event, the logon's text form without its time (nullptr: no logon).
    const std::vector<std::tuple<const char *, Edit, const char *>> cases{
        {"plain", nullptr, "user: CORP\\alice from 10.0.0.5 domain corp.example.com on PC07 sid: S-1-5-21-1-2-3-1104"},
        {"mapped", [](SecurityEvent &e) { e.ip = QStringLiteral("::ffff:10.1.2.3"); }, "from 10.1.2.3 "},
        {"no address", [](SecurityEvent &e) { e.ip = QString(); }, nullptr},
        {"loopback mapped", [](SecurityEvent &e) { e.ip = QStringLiteral("::ffff:127.0.0.1"); }, "from 192.0.2.10 "},
        {"logon type not a number", [](SecurityEvent &e) { e.logonType = QStringLiteral("three"); }, nullptr},
        {"ntlm with a blank", [](SecurityEvent &e) { e.logonProcess = QStringLiteral("NtLmSsp "); }, nullptr},
        {"no sid", [](SecurityEvent &e) { e.sid = QStringLiteral("NULL SID"); },
         "user: CORP\\alice from 10.0.0.5 domain corp.example.com on PC07"},
        {"ticket granted", [](SecurityEvent &e) { ticket(e, QStringLiteral("0x0")); },
         "user: CORP\\alice from 10.0.0.5 domain corp.example.com"},
        {"ticket granted, zero padded", [](SecurityEvent &e) { ticket(e, QStringLiteral("0x00000000")); }, "alice"},
        {"ticket refused", [](SecurityEvent &e) { ticket(e, QStringLiteral("0x6")); }, nullptr},
        {"ticket without status", [](SecurityEvent &e) { ticket(e, QString()); }, nullptr},
        {"status on a logon event is ignored", [](SecurityEvent &e) { e.status = QStringLiteral("0x0"); }, "alice"},
    };
    for (const auto &[name, edit, expected] : cases) {
        const QString server = QStringLiteral("192.0.2.10");
        QDir(instance.filePath(QStringLiteral("eventlog"))).removeRecursively();
        append(server, {event(1, 10, edit)});
        ApiWindowsEventLog reader(server, {QStringLiteral("administrator")}, 900, QStringLiteral("corp.example.com"),
                                  QStringLiteral("CORP"));
        const common::LogonList logons = reader.collect();
        EXPECT_FALSE(reader.failureTime().isValid()) << name;
        ASSERT_EQ(logons.size(), expected ? 1 : 0) << name << ": " << (logons.isEmpty() ? common::Logon() : logons[0]);
        if (expected) {
            EXPECT_TRUE(logons.first().toString().contains(QString::fromLatin1(expected))) << name << ": " << logons[0];
            EXPECT_EQ(logons.first().time(), Now.addSecs(-10)) << name;
        }
        EXPECT_EQ(reader.lastRecordId(), 1u) << name << ": every event in the window moves the bookmark";
    }
    EXPECT_TRUE(log().contains(QStringLiteral("Type: 20, value: 6"))) << "the refused ticket's status";
}

TEST_F(ReaderTest, ReadingStopsAtTheFirstEventOlderThanTheWindow)
{
    // Newest first: record 3 (100 s), then record 2 (901 s) ends the reading,
    // although record 1 before it in the log is recent.
    append(QStringLiteral("dc01"), {event(1, 5), event(2, 901), event(3, 100)});
    auto r = reader();
    const common::LogonList logons = r->collect();
    ASSERT_EQ(logons.size(), 1);
    EXPECT_EQ(logons.first().time(), Now.addSecs(-100));
    EXPECT_EQ(r->lastRecordId(), 3u);
    EXPECT_TRUE(log().contains(QStringLiteral("dc01: 3 events found.")));
    // Exactly at the window's edge still counts.
    append(QStringLiteral("dc01"), {event(4, 900)});
    EXPECT_EQ(r->collect().size(), 1);
}

TEST_F(ReaderTest, TheBookmarkKeepsEveryEventToOneCollection)
{
    append(QStringLiteral("dc01"), {event(4990), event(5000, 8)});
    auto r = reader();
    EXPECT_EQ(r->collect().size(), 2);
    EXPECT_EQ(r->lastRecordId(), 5000u);
    EXPECT_TRUE(r->collect().isEmpty());
    // A forwarder that repeats an old event, then a new one.
    append(QStringLiteral("dc01"),
           {event(4999, 5), event(5001, 4, [](SecurityEvent &e) { e.user = QStringLiteral("bob"); })});
    const common::LogonList logons = r->collect();
    ASSERT_EQ(logons.size(), 1);
    EXPECT_EQ(logons.first().user(), QStringLiteral("bob"));
    EXPECT_EQ(r->lastRecordId(), 5001u);
}

TEST_F(ReaderTest, UnreachableStoresAreLoggedAndRetried)
{
    auto r = reader();
    EXPECT_TRUE(r->collect().isEmpty());
    EXPECT_EQ(r->failureTime(), Now);
    EXPECT_TRUE(log().contains(QStringLiteral("dc01: Failed to connect to remote computer. Error code is 1722.")));
    EXPECT_FALSE(r->testConnection());

    QDir().mkpath(instance.filePath(QStringLiteral("eventlog/dc01")));
    EXPECT_TRUE(r->collect().isEmpty());
    EXPECT_TRUE(r->failureTime().isValid());
    EXPECT_TRUE(log().contains(QStringLiteral("dc01: The channel was not found.")));
    EXPECT_FALSE(r->testConnection());

    append(QStringLiteral("dc01"), {event(7)});
    EXPECT_TRUE(r->testConnection());
    EXPECT_EQ(r->lastRecordId(), 0u) << "testing reads nothing";
    EXPECT_EQ(r->collect().size(), 1);
    EXPECT_FALSE(r->failureTime().isValid());

    // The folder goes away and comes back with the old events and a new one.
    QDir(instance.filePath(QStringLiteral("eventlog/dc01"))).removeRecursively();
    EXPECT_TRUE(r->collect().isEmpty());
    EXPECT_TRUE(r->failureTime().isValid());
    append(QStringLiteral("dc01"), {event(7), event(8)});
    EXPECT_EQ(r->collect().size(), 1);
    EXPECT_FALSE(r->failureTime().isValid());
}

TEST_F(ReaderTest, BadEventsAreLoggedAndSkipped)
{
    QByteArray noTime = testsupport::securityEventXml(event(4));
    noTime.replace("<TimeCreated", "<Time");
    instance.writeFile(
        QStringLiteral("eventlog/dc01/Security.xml"),
        testsupport::securityEventXml(event(1)) +
            "<Event xmlns='x'><System><EventID>4624</EventID><EventRecordID>2</EventRecordID></System>"
            "<EventData><Data Name='TargetUserName'>a & b</Data></EventData></Event>\n" +
            testsupport::securityEventXml(event(
                3, 10,
                [](SecurityEvent &e) { e.user = QStringLiteral("ctrl\x01") + QString(100000, QLatin1Char('x')); })) +
            noTime +
            testsupport::securityEventXml(event(5, 10, [](SecurityEvent &e) { e.user = QStringLiteral("carol"); })));

    auto r = reader();
    const common::LogonList logons = r->collect();
    ASSERT_EQ(logons.size(), 3);
    EXPECT_EQ(logons.at(0).user(), QStringLiteral("carol"));
    EXPECT_EQ(logons.at(1).user().size(), 100005);
    EXPECT_EQ(logons.at(2).user(), QStringLiteral("alice"));
    EXPECT_EQ(r->lastRecordId(), 5u) << "the malformed record 2 does not move the bookmark, record 5 does";
    const QString text = log();
    EXPECT_TRUE(text.contains(QStringLiteral("dc01: EvtRender failed with malformed event at offset")))
        << qPrintable(text);
    EXPECT_TRUE(text.contains(QStringLiteral("(error: 13).")));
    EXPECT_TRUE(text.contains(QStringLiteral("dc01: event 4 has no creation time, skipped")));
}

// A platform layer that answers as told, for the failures a store cannot produce.
class ScriptedPlatform : public IEventLogPlatform
{
public:
    quint32 queryError = 0;
    std::vector<std::vector<RenderedEvent>> batches;
    quint32 errorAfterBatches = 0; // 0: end normally
    std::vector<quint64> queriedAfter;

    struct Query : IEventLogQuery
    {
        explicit Query(ScriptedPlatform *p) : p(p) {}
        quint32 next(int max, std::vector<RenderedEvent> *events) override
        {
            EXPECT_EQ(max, 100);
            if (p->errorAfterBatches && served == p->errorAfterBatches)
                return 1460;
            if (served >= p->batches.size())
                return EventLogError::NoMoreItems;
            *events = p->batches[served++];
            return 0;
        }
        ScriptedPlatform *p;
        std::size_t served = 0;
    };
    struct Session : IEventLogSession
    {
        explicit Session(ScriptedPlatform *p) : p(p) {}
        std::unique_ptr<IEventLogQuery> query(quint64 after, const std::vector<quint16> &ids, quint32 *error) override
        {
            EXPECT_EQ(ids, (std::vector<quint16>{4624, 4768}));
            p->queriedAfter.push_back(after);
            *error = p->queryError;
            return p->queryError ? nullptr : std::make_unique<Query>(p);
        }
        quint32 testQuery() override { return p->queryError; }
        ScriptedPlatform *p;
    };
    std::unique_ptr<IEventLogSession> openSession(const QString &, quint32 *error) override
    {
        *error = 0;
        return std::make_unique<Session>(this);
    }
};

RenderedEvent rendered(const SecurityEvent &e)
{
    const QByteArray xml = testsupport::securityEventXml(e);
    RenderedEvent event;
    QString error;
    EXPECT_TRUE(parseEventXml(xml.constData(), static_cast<std::size_t>(xml.size()), &event, &error));
    return event;
}

TEST_F(ReaderTest, QueryFailuresHaveTheirMessages)
{
    const std::vector<std::pair<quint32, const char *>> cases{
        {15007, "srv: The channel was not found."},
        {15001, "srv: The query is not valid."},
        {1722, "srv: EvtQuery failed. Error 1722. To connect to the remote computer, the remote computer must enable "
               "the \"Remote Event Log Management\" Windows Firewall exception."},
        {5, "srv: EvtQuery failed. Error 5."},
    };
    for (const auto &[code, message] : cases) {
        auto platform = std::make_unique<ScriptedPlatform>();
        platform->queryError = code;
        auto r = reader(QStringLiteral("srv"), 900, std::move(platform));
        EXPECT_TRUE(r->collect().isEmpty());
        EXPECT_EQ(r->failureTime(), Now);
        EXPECT_FALSE(r->testConnection());
        EXPECT_EQ(log().count(QString::fromLatin1(message)), 2) << message;
    }
}

TEST_F(ReaderTest, AFetchErrorKeepsWhatWasFoundAndTheBookmark)
{
    auto platform = std::make_unique<ScriptedPlatform>();
    ScriptedPlatform *script = platform.get();
    script->batches = {{rendered(event(5000)), rendered(event(4999))}, {rendered(event(4998))}};
    script->errorAfterBatches = 1;
    auto r = reader(QStringLiteral("srv"), 900, std::move(platform));
    EXPECT_EQ(r->collect().size(), 2);
    EXPECT_FALSE(r->failureTime().isValid());
    EXPECT_TRUE(log().contains(QStringLiteral("srv: EvtNext failed with 1460.")));
    EXPECT_TRUE(log().contains(QStringLiteral("srv: 2 events found.")));
    script->errorAfterBatches = 0;
    script->batches.clear();
    r->collect();
    EXPECT_EQ(script->queriedAfter, (std::vector<quint64>{0, 5000}));
}

// The sample logs: which events become logons, each once. Window: everything back to 2000.
TEST_F(ReaderTest, RealSecurityLogs)
{
    SSO_REQUIRE_SAMPLE_LOGS(
        QStringLiteral("dc-kerberos-bruteforce-4768.evtx"), QStringLiteral("dc-kerberos-spray-4768.evtx"),
        QStringLiteral("dc-mixed-4624-4768.evtx"), QStringLiteral("dc-replication-4624.evtx"),
        QStringLiteral("dc-samaccount-spoof-4624-4768.evtx"), QStringLiteral("srv-schtask-4624-ctrlchar.evtx"),
        QStringLiteral("ws-interactive-4624-4625.evtx"), QStringLiteral("ws-rdp-tunnel-4624.evtx"),
        QStringLiteral("ws-runas-4624.evtx"), QStringLiteral("ws-security-mixed-4624.evtx"));
    common::Clock::setNowForTest(QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC));
    // Sample (or the address naming the mixed workstation log's machine), logons, the newest one's text after its time.
    const std::vector<std::tuple<const char *, int, const char *>> samples{
        // 50 ticket requests: 47 refused (status 0x6, unknown names), 3 granted.
        {"dc-kerberos-bruteforce-4768.evtx", 3,
         "user: OFFSEC.LAN\\HealthMailboxf49e2c8 from 10.23.42.16 domain offsec.lan"},
        {"dc-kerberos-spray-4768.evtx", 2, "user: THREEBEESCO.COM\\normal from 172.16.66.1 domain threebeesco.com"},
        // A network logon with the account's SID, and a ticket (its event has TargetSid, not TargetUserSid).
        {"dc-mixed-4624-4768.evtx", 2,
         "user: OFFSEC\\admmhorvath from 10.23.123.11 domain offsec sid: "
         "S-1-5-21-4230534742-2542757381-3142984815-1243"},
        {"dc-replication-4624.evtx", 10,
         "user: OFFSEC.LAN\\admmig from 10.23.23.9 domain offsec.lan sid: "
         "S-1-5-21-4230534742-2542757381-3142984815-1111"},
        {"dc-samaccount-spoof-4624-4768.evtx", 3,
         "user: THREEBEESCO.COM\\01566s-win16-ir from 172.16.66.19 domain threebeesco.com"},
        // NtLmSsp with a trailing blank, ANONYMOUS LOGON and Advapi service logons only.
        {"srv-schtask-4624-ctrlchar.evtx", 0, nullptr},
        // Interactive logons without an address ("-").
        {"ws-interactive-4624-4625.evtx", 0, nullptr},
        {"ws-rdp-tunnel-4624.evtx", 0, nullptr},
        {"ws-runas-4624.evtx", 0, nullptr},
        // Only "-" and 127.0.0.1 addresses: no logon while the server is a host name...
        {"ws-security-mixed-4624.evtx", 0, nullptr},
        // ...but 19 interactive and unlock logons (User32 with a trailing blank) of the machine itself
        // when it is named by its address.
        {"192.0.2.10", 19,
         "user: WIN-L0ZZQ76PMUF\\Administrator from 192.0.2.10 domain win-l0zzq76pmuf on "
         "WIN-L0ZZQ76PMUF sid: S-1-5-21-3848053756-3249532031-1848221756-500"},
    };
    for (const auto &[sample, count, first] : samples) {
        const bool byAddress = !QHostAddress(QString::fromLatin1(sample)).isNull();
        const char *file = byAddress ? "ws-security-mixed-4624.evtx" : sample;
        const QString server = byAddress ? QString::fromLatin1(sample)
                                         : QStringLiteral("dc-") + QString::fromLatin1(file).section('.', 0, 0);
        copySample(file, server);
        auto r = reader(server, 24u * 365 * 86400);
        const common::LogonList logons = r->collect();
        EXPECT_FALSE(r->failureTime().isValid()) << sample;
        ASSERT_EQ(logons.size(), count) << sample;
        if (first) {
            EXPECT_TRUE(logons.first().toString().endsWith(QString::fromLatin1(first))) << sample << ": " << logons[0];
        }
        // The periodic export copied over again (a new file) yields nothing new: the
        // bookmark is the events' own EventRecordID, not the file's record number.
        ASSERT_TRUE(QFile::remove(instance.filePath(QStringLiteral("eventlog/%1/Security.evtx").arg(server))));
        copySample(file, server);
        EXPECT_TRUE(r->collect().isEmpty()) << sample << ": nothing is returned twice";
        EXPECT_FALSE(r->failureTime().isValid()) << sample;
    }
    EXPECT_FALSE(log().contains(QStringLiteral("EvtRender failed"))) << qPrintable(log());
}

TEST_F(ReaderTest, TheWindowAppliesToRealLogsToo)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("dc-replication-4624.evtx"));
    // The replication log spans 12:02:34 to 12:04:09 UTC on 2020-08-02.
    common::Clock::setNowForTest(QDateTime(QDate(2020, 8, 2), QTime(12, 4, 40), Qt::UTC));
    copySample("dc-replication-4624.evtx", QStringLiteral("dc"));
    const common::LogonList logons = reader(QStringLiteral("dc"), 60)->collect();
    ASSERT_EQ(logons.size(), 6);
    for (const common::Logon &logon : logons)
        EXPECT_GE(logon.time(), QDateTime(QDate(2020, 8, 2), QTime(12, 3, 40), Qt::UTC));
}

} // namespace
