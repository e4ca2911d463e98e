// Security.xml rotated under a running reader the ways collectors and
// logrotate do it, with a writer that keeps its file open like a real one.
// Every event reaches exactly one collection.
#include "common/clock.h"
#include "eventsource/apiwindowseventlog.h"
#include "log/applicationdebug.h"
#include "securityxml.h"
#include "support/tempinstance.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace userCollector;

namespace {

// A collector's output file: opened once for appending, written without buffering.
class Writer
{
public:
    explicit Writer(const QString &path, int flags = 0)
        : m_fd(::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | flags, 0644))
    {}
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;
    ~Writer() { ::close(m_fd); }
    void write(const QByteArray &bytes) const
    {
        ASSERT_EQ(::write(m_fd, bytes.constData(), static_cast<std::size_t>(bytes.size())), bytes.size());
    }

private:
    int m_fd;
};

class RotationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ApiWindowsEventLog::setStoreRootForTest(instance.filePath(QStringLiteral("eventlog")));
        ApplicationDebug::create(instance.filePath(QStringLiteral("log")));
        QDir().mkpath(instance.filePath(QStringLiteral("eventlog/dc01")));
        reader = std::make_unique<ApiWindowsEventLog>(QStringLiteral("dc01"), QStringList(), 900, QString(), QString());
    }
    void TearDown() override
    {
        reader.reset();
        ApplicationDebug::destroy();
        ApiWindowsEventLog::setStoreRootForTest(QString());
    }

    QString path(const char *name = "Security.xml") const
    {
        return instance.filePath(QStringLiteral("eventlog/dc01/") + QLatin1String(name));
    }
    static QByteArray event(quint64 recordId)
    {
        testsupport::SecurityEvent e;
        e.recordId = recordId;
        e.time = common::Clock::now().toUTC().addSecs(-10);
        e.user = QStringLiteral("user%1").arg(recordId);
        return testsupport::securityEventXml(e);
    }
    // The users of one collection, newest first, by their number.
    std::vector<int> collect()
    {
        std::vector<int> users;
        for (const common::Logon &logon : reader->collect())
            users.push_back(logon.user().mid(4).toInt());
        return users;
    }
    using Users = std::vector<int>;

    testsupport::TempInstance instance;
    std::unique_ptr<ApiWindowsEventLog> reader;
};

// logrotate's default: the log is renamed and a new one created; the writer
// goes on in the renamed file, half an event included, until it reopens.
TEST_F(RotationTest, RenamedAwayTheOldFileIsReadToItsEndThenTheNewOne)
{
    auto writer = std::make_unique<Writer>(path());
    writer->write(event(1) + event(2));
    EXPECT_EQ(collect(), (Users{2, 1}));

    const QByteArray fourth = event(4);
    writer->write(event(3) + fourth.left(200));
    ASSERT_TRUE(QFile::rename(path(), path("Security.xml.1")));
    EXPECT_EQ(collect(), (Users{3})) << "read on while its successor is not there";
    Writer(path()).write(QByteArray()); // logrotate's "create"
    EXPECT_EQ(collect(), Users{});
    writer->write(fourth.mid(200));
    EXPECT_EQ(collect(), (Users{4})) << "the writer finished its event in the old file";

    writer = std::make_unique<Writer>(path()); // told to reopen
    writer->write(event(5) + event(6));
    EXPECT_EQ(collect(), (Users{6, 5}));
    writer->write(event(7));
    EXPECT_EQ(collect(), (Users{7}));
    EXPECT_FALSE(testsupport::logFolderText(instance.path()).contains(QStringLiteral("EvtRender failed")));
}

// copytruncate: the log is copied, then cut to nothing in place; the writer
// appends on at the new end. What came between the last reading and the copy
// is read from the copy, an event cut in two by it is joined again.
TEST_F(RotationTest, CopiedAndTruncatedTheRestIsReadFromTheCopy)
{
    const Writer writer(path());
    writer.write(event(1) + event(2));
    EXPECT_EQ(collect(), (Users{2, 1}));
    writer.write(event(3));
    ASSERT_TRUE(QFile::copy(path(), path("Security.xml-20240301")));
    ASSERT_TRUE(QFile(path()).resize(0));
    writer.write(event(4) + event(5));
    EXPECT_EQ(collect(), (Users{5, 4, 3}));
    EXPECT_EQ(collect(), Users{});

    // Truncated again: a compressed older copy beside it is no copy to read.
    writer.write(event(6) + event(7));
    EXPECT_EQ(collect(), (Users{7, 6}));
    instance.writeFile(QStringLiteral("eventlog/dc01/Security.xml.2.gz"), QByteArray(64, 'z'));
    ASSERT_TRUE(QFile(path()).resize(0));
    writer.write(event(8));
    EXPECT_EQ(collect(), (Users{8}));

    // Copied while an event was half written: the writer finishes it in the
    // truncated file; its two halves make one event.
    const QByteArray tenth = event(10);
    writer.write(event(9) + tenth.left(300));
    ASSERT_TRUE(QFile::copy(path(), path("Security.xml-20240302")));
    ASSERT_TRUE(QFile(path()).resize(0));
    writer.write(tenth.mid(300) + event(11));
    EXPECT_EQ(collect(), (Users{11, 10, 9}));
    EXPECT_EQ(collect(), Users{});
    EXPECT_FALSE(testsupport::logFolderText(instance.path()).contains(QStringLiteral("EvtRender failed")));
}

// A collector restarted with a fresh file, removed and created anew or
// truncated in place, may begin with events already read: none comes twice.
TEST_F(RotationTest, RestartedWithAFreshFileNothingIsReturnedTwice)
{
    auto writer = std::make_unique<Writer>(path());
    writer->write(event(1) + event(2));
    EXPECT_EQ(collect(), (Users{2, 1}));

    writer.reset();
    ASSERT_TRUE(QFile::remove(path()));
    writer = std::make_unique<Writer>(path());
    writer->write(event(2) + event(3));
    EXPECT_EQ(collect(), (Users{3}));

    // Killed in the middle of an event, restarted writing everything again.
    writer->write(event(4) + event(5).left(300));
    EXPECT_EQ(collect(), (Users{4}));
    writer = std::make_unique<Writer>(path(), O_TRUNC);
    writer->write(event(1) + event(2) + event(3) + event(4) + event(5) + event(6));
    EXPECT_EQ(collect(), (Users{6, 5}));
    EXPECT_EQ(collect(), Users{});
}

// An EVTX export replaced whole by a later one: only what is new is read.
TEST_F(RotationTest, AnEvtxExportReplacedWholeYieldsOnlyTheNewEvents)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("ws-security-mixed-4624.evtx"));
    common::Clock::setNowForTest(QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC));
    QFile sample(testsupport::sampleLogPath(QStringLiteral("ws-security-mixed-4624.evtx")));
    ASSERT_TRUE(sample.open(QIODevice::ReadOnly));
    const QByteArray full = sample.readAll();
    // The machine itself, named by its address, logs on interactively.
    const QString server = QStringLiteral("192.0.2.10");
    QDir().mkpath(instance.filePath(QStringLiteral("eventlog/") + server));
    const QString evtx = instance.filePath(QStringLiteral("eventlog/%1/Security.evtx").arg(server));
    const auto exportAs = [&](const QByteArray &bytes) {
        instance.writeFile(QStringLiteral("eventlog/%1/Security.new").arg(server), bytes);
        QFile::remove(evtx);
        ASSERT_TRUE(QFile::rename(instance.filePath(QStringLiteral("eventlog/%1/Security.new").arg(server)), evtx));
    };
    const auto texts = [](const common::LogonList &logons) {
        QStringList list;
        for (const common::Logon &logon : logons)
            list.append(logon.toString());
        list.sort();
        return list;
    };
    const quint32 window = 10u * 365 * 86400;
    ApiWindowsEventLog r(server, QStringList(), window, QString(), QString());
    exportAs(full.left(0x1000 + 4 * 0x10000)); // an earlier export: its first chunks
    common::LogonList seen = r.collect();
    const int early = seen.size();
    exportAs(full);
    seen += r.collect();
    exportAs(full);
    seen += r.collect();
    const common::LogonList all = ApiWindowsEventLog(server, QStringList(), window, QString(), QString()).collect();
    common::Clock::resetForTest();

    EXPECT_GT(early, 0);
    EXPECT_LT(early, seen.size());
    EXPECT_EQ(all.size(), 19);
    EXPECT_EQ(texts(seen), texts(all)) << "each of the log's logons once";
}

} // namespace
