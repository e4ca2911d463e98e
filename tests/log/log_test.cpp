#include "log/applicationdebug.h"
#include "log/log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeSized(const QString &path, qint64 size)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(QByteArray(size, 'x')), size);
}

void setModified(const QString &path, const QDateTime &time)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(time, QFileDevice::FileModificationTime));
}

class ApplicationDebugTest : public ::testing::Test
{
protected:
    void TearDown() override { ApplicationDebug::destroy(); }
    QString logFile() const { return dir.filePath(QStringLiteral("log/log_test.log")); }
    QTemporaryDir dir;
};

} // namespace

TEST(LogLimits, ConstructorClampsFilesAndSize)
{
    struct Case
    {
        int maxFiles;
        int maxSize;
        int maxIndex;
        int size;
    };
    const Case cases[] = {{100, 0x100000, 99, 0x100000},
                          {3, 5, 2, 0x100000},
                          {2, 0x200000, 2, 0x200000},
                          {0, -1, 2, 0x100000},
                          {-7, 0xFFFFF, 2, 0x100000}};
    for (const Case &c : cases) {
        Log log(QString(), true, c.maxFiles, c.maxSize);
        EXPECT_EQ(log.maxIndex(), c.maxIndex) << c.maxFiles;
        EXPECT_EQ(log.maxSize(), c.size) << c.maxSize;
    }
}

TEST_F(ApplicationDebugTest, NothingHappensWithoutAnInstance)
{
    EXPECT_FALSE(ApplicationDebug::logLow(QStringLiteral("lost")));
    EXPECT_FALSE(ApplicationDebug::logHigh(QStringLiteral("lost")));
    ApplicationDebug::setLevel(1, true);
    ApplicationDebug::create(dir.filePath(QStringLiteral("log")));
    ApplicationDebug::destroy();
    EXPECT_EQ(ApplicationDebug::instance(), nullptr);
    EXPECT_FALSE(ApplicationDebug::logLow(QStringLiteral("lost")));
    EXPECT_FALSE(QFile::exists(logFile()));
}

TEST_F(ApplicationDebugTest, LineFormatAndFileName)
{
    ApplicationDebug::create(dir.filePath(QStringLiteral("log")));
    ASSERT_TRUE(ApplicationDebug::logLow(QStringLiteral("first %1 line")));
    ASSERT_TRUE(ApplicationDebug::logHigh(QStringLiteral("zweite Zeile \u00e9")));
    const QString text = QString::fromUtf8(readAll(logFile()));
    const QRegularExpression form(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d: first %1 line\r\n\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d: "
        "zweite Zeile \u00e9\r\n$"));
    EXPECT_TRUE(form.match(text).hasMatch()) << text.toStdString();
}

// Text from outside can neither forge a line nor reach a terminal: control
// characters are written as escapes; a dump keeps its own line breaks only.
TEST_F(ApplicationDebugTest, ControlCharactersAreWrittenAsEscapes)
{
    const std::vector<std::pair<QString, QString>> cases{
        {QStringLiteral("plain CORP\\alice \u00e9"), QStringLiteral("plain CORP\\alice \u00e9")},
        {QStringLiteral("x\r\n2024-01-01T00:00:00: stopped"), QStringLiteral("x\\r\\n2024-01-01T00:00:00: stopped")},
        {QStringLiteral("\x1b[2J\tbell\x07"), QStringLiteral("\\x1b[2J\\tbell\\x07")},
        {QString(QLatin1String("cut\0here", 8)), QStringLiteral("cut\\x00here")},
        {QStringLiteral("del\x7f csi\u009b"), QStringLiteral("del\\x7f csi\\x9b")},
    };
    for (const auto &[text, printable] : cases)
        EXPECT_EQ(ApplicationDebug::printable(text), printable) << printable.toStdString();

    ApplicationDebug::create(dir.filePath(QStringLiteral("log")));
    ASSERT_TRUE(ApplicationDebug::logLow(cases[1].first));
    ASSERT_TRUE(ApplicationDebug::logHighLines({QStringLiteral("    [Ack]"), QStringLiteral("    entries=1\r\x1b")}));
    const QStringList lines = QString::fromUtf8(readAll(logFile())).split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 4) << lines.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(": x\\r\\n2024-01-01T00:00:00: stopped")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(":     [Ack]")));
    EXPECT_EQ(lines[2], QStringLiteral("    entries=1\\r\\x1b"));
    EXPECT_EQ(lines[3], QString());
}

TEST_F(ApplicationDebugTest, VerbosityMasks)
{
    ApplicationDebug::create(dir.filePath(QStringLiteral("log")));
    struct Case
    {
        int level;
        bool low;
        bool high;
    };
    // Before any level is applied both kinds are written.
    EXPECT_TRUE(ApplicationDebug::logLow(QStringLiteral("low before")));
    EXPECT_TRUE(ApplicationDebug::logHigh(QStringLiteral("high before")));
    const Case cases[] = {{1, true, false}, {0, false, false}, {2, true, true}, {7, false, false}, {1, true, false}};
    for (const Case &c : cases) {
        ApplicationDebug::applyVerboseLevel(c.level);
        EXPECT_EQ(ApplicationDebug::logLow(QStringLiteral("low %1").arg(c.level)), c.low) << c.level;
        EXPECT_EQ(ApplicationDebug::logHigh(QStringLiteral("high %1").arg(c.level)), c.high) << c.level;
    }
    const QByteArray text = readAll(logFile());
    EXPECT_EQ(text.count("\r\n"), 2 + 1 + 2 + 1);
    EXPECT_FALSE(text.contains("high 1"));
    EXPECT_TRUE(text.contains("high 2"));
}

TEST_F(ApplicationDebugTest, ConcurrentLinesNeverInterleave)
{
    // The first stamps of a process are the fragile ones, so each round runs in
    // a fresh child process whose threads all start logging at the same moment.
    const int rounds = 80, threads = 64, lines = 4;
    for (int round = 0; round < rounds; ++round) {
        QTemporaryDir roundDir;
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            ApplicationDebug::create(roundDir.filePath(QStringLiteral("log")));
            std::atomic<int> ready{0};
            std::vector<QThread *> workers;
            for (int t = 0; t < threads; ++t)
                workers.push_back(QThread::create([t, &ready] {
                    ready.fetch_add(1);
                    while (ready.load() < threads)
                        std::this_thread::yield();
                    for (int i = 0; i < lines; ++i)
                        ApplicationDebug::logLow(QStringLiteral("thread %1 line %2 ").arg(t).arg(i) +
                                                 QString(40, QLatin1Char('=')));
                }));
            for (QThread *worker : workers)
                worker->start();
            for (QThread *worker : workers)
                worker->wait();
            ApplicationDebug::destroy();
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;

        const QList<QByteArray> written = readAll(roundDir.filePath(QStringLiteral("log/log_test.log"))).split('\n');
        ASSERT_EQ(written.size(), threads * lines + 1) << "round " << round;
        const QRegularExpression form(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d: thread \\d+ line \\d+ ={40}\r$"));
        for (int i = 0; i < threads * lines; ++i)
            ASSERT_TRUE(form.match(QString::fromUtf8(written.at(i))).hasMatch())
                << "round " << round << ": " << written.at(i).toStdString();
    }
}

class RotationTest : public ::testing::Test
{
protected:
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

TEST_F(RotationTest, FullFileIsMovedAsideBeforeTheNextLine)
{
    writeSized(path("agent.log"), 0x100000 - 1);
    Log log(path("agent.log"), true, 100, 0);
    ASSERT_TRUE(log.write(QStringLiteral("fits")));
    EXPECT_FALSE(QFile::exists(path("agent_1.log"))) << "below the limit nothing rotates";

    writeSized(path("agent.log"), 0x100000);
    Log full(path("agent.log"), true, 100, 0);
    ASSERT_TRUE(full.write(QStringLiteral("first of a fresh file")));
    EXPECT_EQ(readAll(path("agent.log")), QByteArray("first of a fresh file\r\n"));
    EXPECT_EQ(QFileInfo(path("agent_1.log")).size(), 0x100000);

    writeSized(path("agent.log"), 0x100000 + 10);
    Log again(path("agent.log"), true, 100, 0);
    ASSERT_TRUE(again.write(QStringLiteral("next")));
    EXPECT_TRUE(QFile::exists(path("agent_2.log")));
}

TEST_F(RotationTest, NumberingContinuesAfterTheHighestUpTo99)
{
    for (int i = 1; i <= 98; ++i)
        writeSized(path(QStringLiteral("agent_%1.log").arg(i)), 1);
    writeSized(path("agent.log"), 0x100000);
    Log log(path("agent.log"), true, 100, 0);
    ASSERT_TRUE(log.write(QStringLiteral("line")));
    EXPECT_EQ(QFileInfo(path("agent_99.log")).size(), 0x100000);
    EXPECT_FALSE(QFile::exists(path("agent_100.log")));
}

TEST_F(RotationTest, AtTheLimitTheLeastRecentlyModifiedFileIsReused)
{
    const QDateTime base = QDateTime::currentDateTime().addDays(-1);
    for (int i = 1; i <= 99; ++i) {
        writeSized(path(QStringLiteral("agent_%1.log").arg(i)), 1);
        setModified(path(QStringLiteral("agent_%1.log").arg(i)), base.addSecs(i == 42 ? -3600 : i));
    }
    writeSized(path("agent.log"), 0x100000);
    Log log(path("agent.log"), true, 100, 0);
    ASSERT_TRUE(log.write(QStringLiteral("line")));
    EXPECT_EQ(QFileInfo(path("agent_42.log")).size(), 0x100000);
    EXPECT_EQ(QDir(dir.path()).entryList({"agent_*.log"}, QDir::Files).size(), 99);
    EXPECT_EQ(readAll(path("agent.log")), QByteArray("line\r\n"));
}

TEST_F(RotationTest, NonNumericSuffixCountsAsZeroButCanBeTheOldest)
{
    // With a small maxFiles the limit is reached quickly: maxIndex is 2.
    writeSized(path("agent_old.log"), 1);
    setModified(path("agent_old.log"), QDateTime::currentDateTime().addDays(-10));
    writeSized(path("agent_1.log"), 1);
    writeSized(path("agent.log"), 0x100000);
    {
        Log log(path("agent.log"), true, 2, 0);
        ASSERT_TRUE(log.write(QStringLiteral("one")));
    }
    EXPECT_TRUE(QFile::exists(path("agent_2.log"))) << "agent_old counts as 0, so 1 is the highest";

    writeSized(path("agent.log"), 0x100000);
    Log log(path("agent.log"), true, 2, 0);
    ASSERT_TRUE(log.write(QStringLiteral("two")));
    EXPECT_EQ(QFileInfo(path("agent_old.log")).size(), 0x100000) << "the oldest file is reused whatever its name";
}

TEST_F(RotationTest, MissingFolderIsCreatedAndUnwritableFileReportsFailure)
{
    Log log(path("deep/er/agent.log"), false, 10, 0);
    EXPECT_TRUE(QDir(path("deep/er")).exists());
    EXPECT_TRUE(log.write(QStringLiteral("ok")));

    QDir().mkpath(path("adir.log"));
    Log onDirectory(path("adir.log"), false, 10, 0);
    EXPECT_FALSE(onDirectory.write(QStringLiteral("lost")));
}

// Logs name users and addresses: the folder is 0750 and its files 0640,
// also a file an older version left readable by everyone.
TEST_F(ApplicationDebugTest, FolderAndFilesAreNotForEveryone)
{
    const QString older = dir.filePath(QStringLiteral("old/log_test.log"));
    QDir().mkpath(QFileInfo(older).absolutePath());
    writeSized(older, 10);
    ASSERT_EQ(::chmod(QFile::encodeName(older).constData(), 0666), 0);
    const struct
    {
        const char *folder;
        mode_t folderMode; // 0: not created by the log
    } cases[] = {{"log", 0750}, {"old", 0}};
    for (const auto &c : cases) {
        ApplicationDebug::create(dir.filePath(QString::fromLatin1(c.folder)));
        ASSERT_TRUE(ApplicationDebug::logLow(QStringLiteral("line")));
        ApplicationDebug::destroy();
        struct stat st;
        if (c.folderMode) {
            ASSERT_EQ(::stat(QFile::encodeName(dir.filePath(QString::fromLatin1(c.folder))).constData(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.folderMode) << c.folder;
        }
        const QString file = dir.filePath(QString::fromLatin1(c.folder) + QStringLiteral("/log_test.log"));
        ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode_t(0640)) << c.folder;
    }
}
