#include "log/applicationdebug.h"
#include "service/dumpfile.h"
#include "support/tempinstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <thread>

namespace {

class DumpFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QDir().mkpath(instance.filePath(QStringLiteral("log")));
        setDumpFolderForTest(instance.filePath(QStringLiteral("log")));
        ApplicationDebug::create(instance.filePath(QStringLiteral("agentlog")));
        service::cacheDumpEnabled.store(true);
    }
    void TearDown() override
    {
        closeDumpFiles();
        service::cacheDumpEnabled.store(false);
        ApplicationDebug::destroy();
        setDumpFolderForTest(QString());
    }
    QString agentLog() const
    {
        QFile file(instance.filePath(
            QStringLiteral("agentlog/%1.log").arg(QFileInfo(QCoreApplication::applicationFilePath()).baseName())));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    static common::Logon logon(const char *user, const char *ip, qint64 epoch)
    {
        return common::Logon(QString::fromLatin1(user), QHostAddress(QString::fromLatin1(ip)),
                             QDateTime::fromSecsSinceEpoch(epoch), QStringLiteral("PC07"), QStringLiteral("CORP"),
                             QString(), QStringLiteral("corp.example.com"));
    }

    testsupport::TempInstance instance;
};

TEST_F(DumpFileTest, NamesAndIdentity)
{
    DumpFile *cache = cacheDumpFile(QStringLiteral("10.0.0.1_10.0.0.2"));
    EXPECT_EQ(cache, cacheDumpFile(QStringLiteral("10.0.0.1_10.0.0.2")));
    EXPECT_NE(cache, cacheDumpFile(QStringLiteral("10.0.0.3")));
    EXPECT_EQ(cache->path(), instance.filePath(QStringLiteral("log/cache for 10.0.0.1_10.0.0.2.txt")));
    DumpFile *users = loggedUsersFile(QStringLiteral("10.0.0.1"), QStringLiteral("FW-1234"));
    EXPECT_EQ(users->path(), instance.filePath(QStringLiteral("log/logged user on 10.0.0.1 - FW-1234.txt")));
    EXPECT_EQ(users, loggedUsersFile(QStringLiteral("10.0.0.1"), QStringLiteral("FW-1234")));
}

// The whole file is rewritten, oldest first; nothing is written while dumps are off.
TEST_F(DumpFileTest, RewritesWholeOldestFirst)
{
    DumpFile *file = cacheDumpFile(QStringLiteral("dc01"));
    const common::Logon newer = logon("bob", "10.0.0.6", 1700000100);
    const common::Logon older = logon("alice", "10.0.0.5", 1700000000);
    const QString n = newer.toString() + QLatin1Char('\n');
    const std::vector<std::pair<common::LogonList, QString>> steps{
        {{newer, older}, older.toString() + QLatin1Char('\n') + n + QLatin1Char('\n')},
        {{newer}, n + QLatin1Char('\n')},
        {{}, QStringLiteral("\n")},
    };
    for (const auto &[logons, text] : steps) {
        writeLogons(file, logons);
        EXPECT_EQ(instance.readFile(QStringLiteral("log/cache for dc01.txt")), text.toUtf8());
    }
    service::cacheDumpEnabled.store(false);
    writeLogons(file, {newer});
    EXPECT_EQ(instance.readFile(QStringLiteral("log/cache for dc01.txt")), QByteArray("\n"));
}

TEST_F(DumpFileTest, NamesFromFirewallsStayInTheLogFolder)
{
    for (const char *name : {"../../etc/x", "/tmp/evil", "a\\..\\b", ".."}) {
        DumpFile *file = loggedUsersFile(QString::fromLatin1(name), QStringLiteral("../FW"));
        writeLogons(file, {logon("alice", "10.0.0.5", 1700000000)});
        EXPECT_EQ(QFileInfo(file->path()).absolutePath(), instance.filePath(QStringLiteral("log"))) << name;
        EXPECT_TRUE(QFile::exists(file->path())) << name;
    }
    // Names differing only by a separator stay apart.
    EXPECT_NE(cacheDumpFile(QStringLiteral("a/b"))->path(), cacheDumpFile(QStringLiteral("a_b"))->path());
    EXPECT_TRUE(agentLog().contains(QStringLiteral("would leave the log folder")));
    EXPECT_FALSE(QFile::exists(instance.filePath(QStringLiteral("FW.txt"))));
}

TEST_F(DumpFileTest, AFileThatCannotBeOpenedIsLogged)
{
    DumpFile *file = cacheDumpFile(QString(300, QLatin1Char('n'))); // longer than a file name may be
    writeLogons(file, {logon("alice", "10.0.0.5", 1700000000)});
    EXPECT_TRUE(agentLog().contains(QStringLiteral("unable to open file: error: ")));
}

TEST_F(DumpFileTest, WritersInSeveralThreadsAreSerialised)
{
    DumpFile *file = cacheDumpFile(QStringLiteral("dc01"));
    common::LogonList many;
    for (int i = 0; i < 50; ++i)
        many << logon("user", qPrintable(QStringLiteral("10.0.1.%1").arg(i)), 1700000000 + i);
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t)
        writers.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                writeLogons(file, many);
        });
    for (std::thread &writer : writers)
        writer.join();
    EXPECT_EQ(instance.readFile(QStringLiteral("log/cache for dc01.txt")).count('\n'), 51);
}

} // namespace
