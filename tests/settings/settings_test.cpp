#include "log/applicationdebug.h"
#include "settings/atomicfile.h"
#include "settings/initext.h"
#include "settings/settings.h"
#include "support/qtprinters.h"
#include "support/smalldisk.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using settings::ADConfiguration;
using settings::IniText;
using settings::Settings;

namespace settings {
inline void PrintTo(const ADConfiguration &config, std::ostream *os)
{
    *os << config.toString().toStdString();
}
} // namespace settings

namespace {

class SettingsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        Settings::setDirectoryForTest(dir.path());
        ApplicationDebug::create(dir.filePath(QStringLiteral("log")));
    }
    void TearDown() override
    {
        Settings::destroy();
        ApplicationDebug::destroy();
        Settings::setDirectoryForTest(QString());
    }

    QString configPath() const { return dir.filePath(QStringLiteral("config.ini")); }
    void writeConfig(const QByteArray &text) const
    {
        QFile file(configPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    QByteArray config() const
    {
        QFile file(configPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QByteArray logText() const
    {
        QFile file(dir.filePath(QStringLiteral("log/settings_test.log")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    mode_t configMode() const
    {
        struct stat st;
        return ::stat(QFile::encodeName(configPath()).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    int logCount(const char *needle) const { return logText().count(needle); }
    bool waitForLog(const char *needle, int count = 1) const
    {
        return QTest::qWaitFor([&] { return logCount(needle) >= count; }, 5000);
    }
    // An outside edit: a new file renamed over config.ini, or a rewrite in place.
    void editConfig(const QByteArray &text, bool byRename) const
    {
        const QString target = byRename ? configPath() + QStringLiteral(".edit") : configPath();
        QFile file(target);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(text), text.size());
        file.close();
        if (byRename) {
            ASSERT_EQ(::rename(QFile::encodeName(target).constData(), QFile::encodeName(configPath()).constData()), 0);
        }
    }
    // The raw value of a key, as a second reader of the file sees it. Read
    // from a copy under a new name: QSettings keeps the files it has read and
    // reads one again only when its size or time changed, so a rewrite of the
    // same size within one tick of the clock would give the old value.
    QVariant fileValue(const QString &key) const
    {
        static int reads = 0;
        QTemporaryDir copyDir;
        const QString copy = copyDir.filePath(QStringLiteral("read%1.ini").arg(++reads));
        if (!QFile::copy(configPath(), copy))
            return QVariant();
        return QSettings(copy, QSettings::IniFormat).value(key);
    }

    static ADConfiguration firewall(const QString &name)
    {
        ADConfiguration config(name);
        config.setServers({QStringLiteral("10.0.0.2"), QStringLiteral("10.0.0.1")});
        config.setIgnoreList({QStringLiteral("Administrator"), QStringLiteral("svc")});
        config.setMaxLogonTime(28800);
        config.setCollectInterval(5);
        config.setEnabled(true);
        config.setSyslogAddr(QStringLiteral("ANY"));
        config.setUserCheckFrequency(6);
        return config;
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(SettingsTest, FirstRunWritesTheDefaults)
{
    Settings *s = Settings::instance();
    ASSERT_TRUE(QFile::exists(configPath()));
    QSettings file(configPath(), QSettings::IniFormat);
    EXPECT_EQ(file.childGroups(), QStringList({"AD-fake_fw", "Global", "WebServer"}));
    const std::pair<const char *, const char *> expected[] = {
        {"Global/VerboseLevel", "low"},
        {"Global/ADObsolescenceTimeout", "604800"},
        {"Global/FirewallEnabled", "true"},
        {"Global/MaxThreadPool", "64"},
        {"Global/Lookup", "all"},
        {"Global/DumpUrl", ""},
        {"Global/DumpEnabled", "false"},
        {"WebServer/Port", "1301"},
        {"WebServer/SSLKey", "nil key"},
        {"AD-fake_fw/FirewallName", "fake_fw"},
        {"AD-fake_fw/Servers/1/ips", "127.0.0.1"},
        {"AD-fake_fw/Servers/size", "1"},
        {"AD-fake_fw/IgnoreList/1/user", "Administrator"},
        {"AD-fake_fw/Enabled", "false"},
        {"AD-fake_fw/CollectInterval", "5"},
        {"AD-fake_fw/MaxLogonTime", "28800"},
        {"AD-fake_fw/MaxSecondToRead", "900"},
        {"AD-fake_fw/DnsEnabled", "true"},
        {"AD-fake_fw/DnsInterval", "60"},
        {"AD-fake_fw/SyslogState", "false"},
        {"AD-fake_fw/SyslogPort", "514"},
        {"AD-fake_fw/SyslogAddr", "any"},
        {"AD-fake_fw/Probe/Enabled", "true"},
        {"AD-fake_fw/Probe/Method", "ping"},
        {"AD-fake_fw/Probe/ProbeTimeout", "600"},
        {"AD-fake_fw/Probe/CacheTimeout", "86400"},
        {"AD-fake_fw/Probe/MaxConcurrent", "20"},
        {"AD-fake_fw/Probe/PingTimeout", "1000"},
        {"AD-fake_fw/LastUtmConnection", ""},
    };
    for (const auto &e : expected)
        EXPECT_EQ(file.value(QLatin1String(e.first)).toString(), QLatin1String(e.second)) << e.first;
    EXPECT_FALSE(file.contains(QStringLiteral("AD-fake_fw/Probe/UserCheckFrequency")));
    EXPECT_FALSE(file.contains(QStringLiteral("AD-fake_fw/ApiName")));

    const ADConfiguration fake = s->adConfiguration(QStringLiteral("fake_fw"));
    EXPECT_FALSE(fake.enabled());
    EXPECT_TRUE(fake.isValid());
    EXPECT_EQ(fake.userCheckFrequency(), 6u);
    EXPECT_EQ(s->globalConfiguration().VerboseLevel, 1);
    EXPECT_EQ(s->serverConfiguration().Port, 1301);
    EXPECT_TRUE(s->enabledAdNames().isEmpty());
    EXPECT_TRUE(s->isWritable());
}

TEST_F(SettingsTest, LoadingRulesAndMessages)
{
    writeConfig("[Global]\nVerboseLevel=HIGH\nLookup=DNS\nMaxThreadPool=abc\nUnknownKey=1\n"
                "[WebServer]\nPort=1302\nSSLKey=\"secret, with comma\"\n"
                "[AD-x]\nFirewallName=y\nServers\\size=3\nServers\\1\\ips=10.0.0.2\nServers\\2\\ips=dc01\n"
                "Servers\\3\\ips=10.0.0.1\nMaxLogonTime=12x\nSyslogAddr=ANY\nApiName=\"  Mock  \"\n"
                "LastUtmConnection=not a date\nProbe\\Method=Register\n"
                "[AD-z]\nFirewallName=w\nServers\\size=1\nServers\\1\\ips=fe80::1\nEnabled=true\n"
                "LastUtmConnection=2024-01-02T03:04:05\nProbe\\Method=register\n"
                "[Other]\nFirewallName=ignored\n");
    Settings *s = Settings::instance();
    EXPECT_EQ(s->globalConfiguration().VerboseLevel, 2);
    EXPECT_EQ(s->globalConfiguration().Lookup, "all");
    EXPECT_EQ(s->globalConfiguration().MaxThreadPool, 0);
    EXPECT_EQ(s->serverConfiguration().Port, 1302);
    EXPECT_EQ(s->serverConfiguration().SSLKey, "secret, with comma");

    QStringList names = s->adConfigurationNames();
    names.sort();
    EXPECT_EQ(names, QStringList({"w", "y"}));
    const ADConfiguration y = s->adConfiguration(QStringLiteral("y"));
    EXPECT_EQ(y.servers(), QStringList({"10.0.0.2", "10.0.0.1"}));
    EXPECT_EQ(y.adName(), "10.0.0.1_10.0.0.2");
    EXPECT_EQ(y.maxLogonTime(), 0u);
    EXPECT_FALSE(y.isValid());
    EXPECT_EQ(y.syslogAddr(), "any");
    EXPECT_EQ(y.apiName(), "Mock");
    EXPECT_FALSE(y.lastUtmConnection().isValid());
    EXPECT_EQ(y.method(), ADConfiguration::ProbePing) << "method names are case-sensitive";
    const ADConfiguration w = s->adConfiguration(QStringLiteral("w"));
    EXPECT_EQ(w.method(), ADConfiguration::ProbeRegister);
    EXPECT_EQ(w.lastUtmConnection(), QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5)));
    EXPECT_EQ(s->enabledAdNames(), QStringList({"fe80::1"}));
    EXPECT_FALSE(s->adConfiguration(QStringLiteral("nobody")).isValid());

    const QByteArray log = logText();
    EXPECT_TRUE(log.contains(": Server must be an ip\r\n"));
    EXPECT_TRUE(log.contains(": lookup protocol must be all, dns or llmnr\r\n"));
}

TEST_F(SettingsTest, SaveRenamesSectionsAndKeepsHandWrittenKeys)
{
    writeConfig("[Global]\nFlushDnsCache=true\n"
                "[AD-x]\nFirewallName=y\nServers\\size=1\nServers\\1\\ips=10.0.0.9\nMaxLogonTime=60\n"
                "CollectInterval=5\nApiName=Mock\nProbe\\UserCheckFrequency=9\n"
                "[AD-a]\nFirewallName=dup\nMaxLogonTime=1\nCollectInterval=1\n"
                "[AD-b]\nFirewallName=dup\nMaxLogonTime=2\nCollectInterval=2\n");
    Settings *s = Settings::instance();
    EXPECT_EQ(s->adConfiguration(QStringLiteral("dup")).maxLogonTime(), 2u) << "the section read last wins";
    EXPECT_TRUE(s->globalConfiguration().FlushDnsCache);

    s->removeADConfiguration(QStringLiteral("nobody"));
    ASSERT_TRUE(s->flush());
    QSettings file(configPath(), QSettings::IniFormat);
    EXPECT_EQ(file.childGroups(), QStringList({"AD-dup", "AD-y", "Global", "WebServer"}));
    EXPECT_EQ(file.value(QStringLiteral("AD-y/ApiName")).toString(), "Mock");
    EXPECT_EQ(file.value(QStringLiteral("AD-y/Probe/UserCheckFrequency")).toString(), "9");
    EXPECT_EQ(file.value(QStringLiteral("Global/FlushDnsCache")).toString(), "true");

    s->removeADConfiguration(QStringLiteral("dup"));
    ASSERT_TRUE(s->flush());
    file.sync();
    EXPECT_EQ(file.childGroups(), QStringList({"AD-y", "Global", "WebServer"}));
    EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("config.ini?*")}, QDir::Files).isEmpty())
        << "no temporary file is left beside config.ini";
}

TEST_F(SettingsTest, SignalsOnAddChangeAndTimestampOnly)
{
    Settings *s = Settings::instance();
    QSignalSpy added(s, &Settings::adConfigAdded);
    QSignalSpy changed(s, &Settings::adConfigChanged);
    QSignalSpy server(s, &Settings::serverConfigChanged);

    ADConfiguration config = firewall(QStringLiteral("FW1"));
    s->setADConfiguration(config);
    EXPECT_EQ(added.count(), 1);
    EXPECT_EQ(s->enabledAdNames(), QStringList({"10.0.0.1_10.0.0.2"}));

    config.setLastUtmConnection(QDateTime(QDate(2025, 5, 6), QTime(7, 8, 9)));
    s->setADConfiguration(config);
    ASSERT_TRUE(s->flush());
    EXPECT_EQ(changed.count(), 0) << "a new contact time alone is saved, not announced";
    EXPECT_EQ(fileValue(QStringLiteral("AD-FW1/LastUtmConnection")).toString(), "2025-05-06T07:08:09");

    config.setServers({QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.2")});
    s->setADConfiguration(config);
    EXPECT_EQ(changed.count(), 0) << "the same controllers in another order are the same set";

    config.setIgnoreList({QStringLiteral("svc"), QStringLiteral("Administrator")});
    s->setADConfiguration(config);
    EXPECT_EQ(changed.count(), 1) << "the ignore list is compared in order";

    ADConfiguration invalid = config;
    invalid.setCollectInterval(0);
    s->setADConfiguration(invalid);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(s->adConfiguration(QStringLiteral("FW1")).collectInterval(), 5u);

    settings::ServerConfiguration serverConfig = s->serverConfiguration();
    serverConfig.SSLKey = QStringLiteral("new key");
    s->setServerConfiguration(serverConfig);
    EXPECT_EQ(server.count(), 1);
    EXPECT_EQ(fileValue(QStringLiteral("WebServer/SSLKey")).toString(), "new key");
}

TEST_F(SettingsTest, HostileFirewallNamesRoundTrip)
{
    const QStringList names = {
        QStringLiteral("a/b"),           QStringLiteral("..\\..\\etc"), QStringLiteral("[AD-evil]\nx=1"),
        QStringLiteral("tab\there\x01"), QStringLiteral("100%"),        QStringLiteral("AD-")};
    {
        Settings *s = Settings::instance();
        for (const QString &name : names)
            s->setADConfiguration(firewall(name));
    }
    Settings::destroy();
    Settings *s = Settings::instance();
    for (const QString &name : names) {
        const ADConfiguration read = s->adConfiguration(name);
        EXPECT_TRUE(read.isValid()) << name.toStdString();
        EXPECT_EQ(read, firewall(name)) << name.toStdString();
    }
    EXPECT_EQ(s->adConfigurationNames().size(), names.size() + 1);
    QSettings file(configPath(), QSettings::IniFormat);
    for (const QString &group : file.childGroups())
        EXPECT_FALSE(group.contains(QLatin1Char('/')) || group.contains(QLatin1Char('\\'))) << group.toStdString();
}

TEST_F(SettingsTest, BadFilesNeverCrash)
{
    const QByteArray contents[] = {
        QByteArray(),
        QByteArray("garbage without equals\n[[[\n=\n\x01\x02\xff\n[Global]\nVerboseLevel=off\n"),
        QByteArray("[AD-q]\nServers\\size=99999999\nIgnoreList\\size=-5\nCollectInterval=-1\n"),
    };
    for (const QByteArray &content : contents) {
        writeConfig(content);
        Settings *s = Settings::instance();
        EXPECT_FALSE(s->toString().isEmpty());
        ADConfiguration config = firewall(QStringLiteral("after"));
        s->setADConfiguration(config);
        EXPECT_EQ(s->adConfiguration(QStringLiteral("after")), config);
        Settings::destroy();
    }
}

TEST_F(SettingsTest, DirectoryInPlaceOfTheFile)
{
    QDir().mkpath(configPath());
    Settings *s = Settings::instance();
    EXPECT_FALSE(s->isWritable());
    EXPECT_EQ(s->serverConfiguration().Port, 1301);
    EXPECT_TRUE(logText().contains("is a directory"));
}

TEST_F(SettingsTest, OutsideEditsAreReloaded)
{
    Settings *s = Settings::instance();
    QSignalSpy reloaded(s, &Settings::configFileChanged);

    // In place, as an appending editor does.
    {
        QFile file(configPath());
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write("\n[AD-late]\nFirewallName=late\nMaxLogonTime=10\nCollectInterval=10\n");
    }
    ASSERT_TRUE(reloaded.wait(5000));
    EXPECT_TRUE(s->adConfiguration(QStringLiteral("late")).isValid());

    // Replaced, as editors that write a new file and rename it do. (QSettings
    // decides to re-read by size and modification time, so an edit of the same
    // size within one tick of the file-system clock would go unseen.)
    QByteArray replaced = config().replace("Port=1301", "Port=19999");
    const QString temp = configPath() + QStringLiteral(".new");
    {
        QFile file(temp);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(replaced);
    }
    ASSERT_EQ(::rename(QFile::encodeName(temp).constData(), QFile::encodeName(configPath()).constData()), 0);
    for (int i = 0; i < 50 && s->serverConfiguration().Port != 19999; ++i)
        reloaded.wait(100);
    EXPECT_EQ(s->serverConfiguration().Port, 19999);

    // Still watched after the replacement.
    const int before = reloaded.count();
    {
        QFile file(configPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(replaced.replace("Port=19999", "Port=2000"));
    }
    for (int i = 0; i < 50 && s->serverConfiguration().Port != 2000; ++i)
        reloaded.wait(100);
    EXPECT_EQ(s->serverConfiguration().Port, 2000);
    EXPECT_GT(reloaded.count(), before);

    // The program's own saves are not reported as outside edits.
    const int own = reloaded.count();
    s->setADConfiguration(firewall(QStringLiteral("mine")));
    EXPECT_FALSE(reloaded.wait(500));
    EXPECT_EQ(reloaded.count(), own);
}

// A full disk: every failed save is logged, config.ini stays whole and
// keeps its key, and the first save after space is back logs no error.
TEST_F(SettingsTest, FullDiskLeavesThePreviousFileWholeAndLogsEveryFailure)
{
    testsupport::SmallDisk disk(dir.filePath(QStringLiteral("small")), 512 * 1024);
    if (!disk.isMounted())
        GTEST_SKIP() << disk.error().toStdString();
    Settings::setDirectoryForTest(disk.path());
    const QString path = disk.filePath(QStringLiteral("config.ini"));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[WebServer]\nPort=1301\nSSLKey=kept secret key 1234\n");
    }
    Settings *s = Settings::instance();
    s->setADConfiguration(firewall(QStringLiteral("FW-before")));
    ASSERT_TRUE(s->flush());
    const QByteArray before = [&] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();

    // Two pages left: a save now gets part of the way.
    ASSERT_TRUE(disk.fill(8192));
    for (int round = 1; round <= 3; ++round) {
        for (int i = 0; i < 40; ++i)
            s->setADConfiguration(firewall(QStringLiteral("FW-%1-%2").arg(round).arg(i)));
        EXPECT_FALSE(s->flush());
        EXPECT_EQ(logCount("config.ini could not be written (error: No space left on device)"), round);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), before) << "round " << round;
    }
    EXPECT_TRUE(QDir(disk.path()).entryList({QStringLiteral(".config.ini*")}, QDir::Files | QDir::Hidden).isEmpty());

    disk.release();
    EXPECT_TRUE(s->flush());
    EXPECT_EQ(logCount("could not be written"), 3) << "a save reports its own outcome";
    Settings::destroy();
    s = Settings::instance();
    EXPECT_EQ(s->serverConfiguration().SSLKey, "kept secret key 1234");
    EXPECT_TRUE(s->adConfiguration(QStringLiteral("FW-3-39")).isValid());
    EXPECT_TRUE(s->adConfiguration(QStringLiteral("FW-before")).isValid());
    Settings::destroy();
}

// Edits that cannot be used keep the running configuration and the file as
// the administrator left it; the next usable edit is taken, and what was
// stored meanwhile is written then.
TEST_F(SettingsTest, UnusableEditsAreNeitherUsedNorWrittenOver)
{
    writeConfig("[Global]\nVerboseLevel=low\n\n[WebServer]\nPort=1302\nSSLKey=the real key 12345\n");
    Settings *s = Settings::instance();
    QSignalSpy reloaded(s, &Settings::configFileChanged);
    s->setADConfiguration(firewall(QStringLiteral("FW1")));
    ASSERT_TRUE(s->flush());
    const QByteArray good = config();

    const struct
    {
        const char *what;
        QByteArray text;
        bool byRename;
    } edits[] = {
        {"[WebServer] misspelt, in place", QByteArray(good).replace("[WebServer]", "[WebServr]"), false},
        {"garbage, renamed over it", QByteArray("\x01\x02\xff [[[ garbage\n=\n]]\n"), true},
        {"SSLKey line lost, renamed over it", QByteArray(good).replace("SSLKey=", "SLKey="), true},
    };
    int rejected = 0;
    for (const auto &edit : edits) {
        editConfig(edit.text, edit.byRename);
        ASSERT_TRUE(waitForLog("config.ini was changed but ", ++rejected)) << edit.what;
        EXPECT_EQ(s->serverConfiguration().SSLKey, "the real key 12345") << edit.what;
        EXPECT_EQ(s->serverConfiguration().Port, 1302) << edit.what;
        EXPECT_TRUE(s->adConfiguration(QStringLiteral("FW1")).isValid()) << edit.what;
        s->setADConfiguration(firewall(QStringLiteral("FW-during-%1").arg(rejected)));
        EXPECT_FALSE(s->flush()) << edit.what;
        EXPECT_EQ(config(), edit.text) << edit.what;
    }
    EXPECT_EQ(reloaded.count(), 0);

    const int readErrors = logCount("cannot be read");
    editConfig(QByteArray(good).replace("Port=1302", "Port=1303"), true);
    ASSERT_TRUE(reloaded.wait(5000));
    EXPECT_EQ(s->serverConfiguration().Port, 1303);
    EXPECT_TRUE(s->heldReason().isEmpty());
    ASSERT_TRUE(s->flush());
    QSettings file(configPath(), QSettings::IniFormat);
    for (const char *group : {"AD-FW1", "AD-FW-during-1", "AD-FW-during-2", "AD-FW-during-3"})
        EXPECT_TRUE(file.childGroups().contains(QLatin1String(group))) << group;
    EXPECT_EQ(file.value(QStringLiteral("WebServer/SSLKey")).toString(), "the real key 12345");
    EXPECT_EQ(logCount("cannot be read"), readErrors) << "a good reload reports no old error";
}

// An edit replaces what it changed and nothing else: a configuration stored
// just before (its save still pending) survives it, one the edit deleted goes.
TEST_F(SettingsTest, OutsideEditMergesWithPendingSaves)
{
    Settings *s = Settings::instance();
    s->setADConfiguration(firewall(QStringLiteral("KEPT")));
    s->setADConfiguration(firewall(QStringLiteral("DELETED")));
    ASSERT_TRUE(s->flush());
    QSignalSpy reloaded(s, &Settings::configFileChanged);
    s->setADConfiguration(firewall(QStringLiteral("PENDING")));

    QByteArray edited = config().replace("Port=1301", "Port=1399");
    const int from = edited.indexOf("[AD-DELETED]");
    ASSERT_GE(from, 0);
    edited.remove(from, edited.indexOf("\n[", from + 1) - from + 1);
    editConfig(edited, true);
    ASSERT_TRUE(reloaded.wait(5000));
    EXPECT_EQ(s->serverConfiguration().Port, 1399);
    EXPECT_TRUE(s->adConfiguration(QStringLiteral("PENDING")).isValid());
    EXPECT_TRUE(s->adConfiguration(QStringLiteral("KEPT")).isValid());
    EXPECT_FALSE(s->adConfiguration(QStringLiteral("DELETED")).isValid());
    ASSERT_TRUE(s->flush());
    EXPECT_EQ(QSettings(configPath(), QSettings::IniFormat).childGroups(),
              QStringList({"AD-KEPT", "AD-PENDING", "AD-fake_fw", "Global", "WebServer"}));
}

// An edit that lands while the program is saving (its new file written, not
// yet in place) is neither lost nor taken for the program's own: it is put
// back, read in, and the save follows it. Both ways an editor writes.
TEST_F(SettingsTest, EditDuringASaveIsKeptAndReadIn)
{
    for (const bool byRename : {false, true}) {
        SCOPED_TRACE(byRename ? "renamed over" : "rewritten in place");
        Settings *s = Settings::instance();
        s->setADConfiguration(firewall(QStringLiteral("KEPT")));
        ASSERT_TRUE(s->flush());
        QSignalSpy reloaded(s, &Settings::configFileChanged);
        const QByteArray edited = config().replace("Port=1301", "Port=1399");
        bool edit = true;
        settings::AtomicFile::beforeSwapForTest = [&] {
            if (std::exchange(edit, false))
                editConfig(edited, byRename);
        };
        s->setADConfiguration(firewall(QStringLiteral("PENDING")));
        EXPECT_FALSE(s->flush()) << "the edit goes first";
        settings::AtomicFile::beforeSwapForTest = nullptr;
        EXPECT_EQ(config(), edited);
        ASSERT_TRUE(reloaded.wait(5000));
        EXPECT_EQ(s->serverConfiguration().Port, 1399);
        ASSERT_TRUE(s->flush());
        EXPECT_EQ(fileValue(QStringLiteral("WebServer/Port")).toInt(), 1399);
        EXPECT_EQ(QSettings(configPath(), QSettings::IniFormat).childGroups(),
                  QStringList({"AD-KEPT", "AD-PENDING", "AD-fake_fw", "Global", "WebServer"}));
        EXPECT_EQ(logCount("edited while the program saved it: the edit is kept"), byRename ? 2 : 1);
        Settings::destroy();
        QFile::remove(configPath());
    }
}

// The key is for the owner only: config.ini is written 0600 (a stricter mode
// the owner chose stays), and the dump never shows the key.
TEST_F(SettingsTest, KeyStaysWithTheOwner)
{
    Settings *s = Settings::instance();
    EXPECT_EQ(configMode(), mode_t(0600));
    EXPECT_TRUE(s->toString().contains(QLatin1String("\t sslkey: (default nil key)\n")));
    const struct
    {
        mode_t before;
        mode_t after;
    } modes[] = {{0644, 0600}, {0666, 0600}, {0400, 0400}, {0600, 0600}};
    for (const auto &m : modes) {
        ASSERT_EQ(::chmod(QFile::encodeName(configPath()).constData(), m.before), 0);
        settings::ServerConfiguration server = s->serverConfiguration();
        server.SSLKey = QStringLiteral("secret-%1-abcdefghijkl").arg(m.before, 0, 8);
        ASSERT_TRUE(s->setServerConfiguration(server));
        EXPECT_EQ(configMode(), m.after) << std::oct << m.before;
        EXPECT_TRUE(s->toString().contains(QLatin1String("\t sslkey: (set)\n")));
        EXPECT_FALSE(s->toString().contains(server.SSLKey));
    }

    const struct
    {
        QString key;
        bool weak;
    } keys[] = {{QStringLiteral("nil key"), true},
                {QStringLiteral("fifteen chars!!"), true},
                {QString(), true},
                {QStringLiteral("sixteen chars!!!"), false}};
    for (const auto &k : keys) {
        settings::ServerConfiguration server;
        server.SSLKey = k.key;
        EXPECT_EQ(!server.keyWeakness().isEmpty(), k.weak) << k.key.toStdString();
    }
}

// A burst of stored configurations is written once, within the stated
// delay; a configuration stored again unchanged writes nothing.
TEST_F(SettingsTest, BurstOfConfigurationsIsWrittenOnce)
{
    Settings *s = Settings::instance();
    const int before = s->writeCountForTest();
    for (int i = 0; i < 300; ++i)
        s->setADConfiguration(firewall(QStringLiteral("BURST%1").arg(i)));
    EXPECT_EQ(s->writeCountForTest(), before);
    ASSERT_TRUE(QTest::qWaitFor([&] { return s->writeCountForTest() > before; }, Settings::SaveDelayMs * 5));
    EXPECT_EQ(s->writeCountForTest(), before + 1);
    EXPECT_EQ(QSettings(configPath(), QSettings::IniFormat).childGroups().size(), 303);

    s->setADConfiguration(firewall(QStringLiteral("BURST7")));
    EXPECT_TRUE(s->flush());
    EXPECT_EQ(s->writeCountForTest(), before + 1);
}

// kill -9 at any moment leaves a config.ini that reads without error and
// holds every configuration whose save had completed.
TEST_F(SettingsTest, KilledWriterLeavesAWholeFile)
{
    for (int round = 0; round < 6; ++round) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            Settings *s = Settings::instance();
            for (int i = 0;; ++i) {
                s->setADConfiguration(firewall(QStringLiteral("K%1-%2").arg(round).arg(i)));
                if (s->flush() && ::write(pipeFds[1], &i, sizeof i) != sizeof i)
                    ::_exit(1);
            }
        }
        ::close(pipeFds[1]);
        int completed = -1;
        int value = 0;
        for (int n = 0; n < 3 + round * 5 && ::read(pipeFds[0], &value, sizeof value) == sizeof value; ++n)
            completed = value;
        ::usleep(useconds_t(round * 700));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        while (::read(pipeFds[0], &value, sizeof value) == sizeof value)
            completed = value;
        ::close(pipeFds[0]);

        QSettings file(configPath(), QSettings::IniFormat);
        ASSERT_EQ(file.status(), QSettings::NoError) << "round " << round;
        EXPECT_EQ(file.value(QStringLiteral("WebServer/SSLKey")).toString(), "nil key");
        const QStringList groups = file.childGroups();
        ASSERT_GE(completed, 0);
        for (int i = 0; i <= completed; ++i)
            ASSERT_TRUE(groups.contains(QStringLiteral("AD-K%1-%2").arg(round).arg(i))) << round << " " << i;
    }
}

// An edit that replaces config.ini the moment the program's own write is in
// place must not pass for that write: the stamp the write hands back is its
// own file's, so the edit is still seen (and never written over).
TEST(AtomicFile, EditRightAfterTheWriteIsNotTakenForIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.ini"));
    const QByteArray encoded = QFile::encodeName(path);
    const auto inode = [&] {
        struct stat st;
        return ::stat(encoded.constData(), &st) == 0 ? st.st_ino : ino_t(0);
    };
    QString error;
    ASSERT_TRUE(settings::AtomicFile::replace(path, "[WebServer]\nSSLKey=first\n", &error)) << error.toStdString();

    // Each time a new file arrives, an editor rewrites it in place or renames another over it at once.
    std::atomic<bool> stop{false};
    std::atomic<int> edits{0};
    // Taken before the editor starts: a first round that lands before the
    // thread runs must still count as new.
    ino_t seen = inode();
    std::thread editor([&] {
        while (!stop) {
            const ino_t now = inode();
            if (now == 0 || now == seen)
                continue;
            const QByteArray text = "edited by hand " + QByteArray::number(edits.load()) + "\n";
            const bool inPlace = edits % 2 == 0;
            const QByteArray target = inPlace ? encoded : encoded + ".edit";
            const int fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd >= 0) {
                [[maybe_unused]] const ssize_t written = ::write(fd, text.constData(), size_t(text.size()));
                ::close(fd);
            }
            if (!inPlace)
                ::rename(target.constData(), encoded.constData());
            seen = inode();
            ++edits;
        }
    });
    int mistaken = 0;
    for (int round = 0; round < 20; ++round) {
        settings::FileStamp stamp;
        const QByteArray text = "[WebServer]\nSSLKey=round " + QByteArray::number(round) + "\n";
        if (!settings::AtomicFile::replace(path, text, &error, &stamp)) {
            ADD_FAILURE() << error.toStdString();
            break;
        }
        if (!QTest::qWaitFor([&] { return edits > round; }, 5000)) {
            ADD_FAILURE() << "the editor did not see round " << round;
            break;
        }
        if (settings::FileStamp::of(path) == stamp)
            ++mistaken;
    }
    stop = true;
    editor.join();
    EXPECT_EQ(mistaken, 0) << "edits taken for the program's own write";
}

// What IniText writes, QSettings reads back to the same value.
TEST(IniText, QSettingsReadsBackWhatIsWritten)
{
    const QVariant values[] = {
        QStringLiteral("plain"),
        QStringLiteral("with, comma"),
        QStringLiteral(" leading and trailing "),
        QStringLiteral("quote\" back\\slash"),
        QStringLiteral("semi;colon = equals"),
        QStringLiteral("tab\tnew\nline\rend"),
        QStringLiteral("\u00e9t\u00e9 \u4e2d\u6587 \U0001F600"),
        QStringLiteral("@at the start"),
        QString(QChar(1)) + QStringLiteral("a1") + QString(QChar(0x7f)) + QStringLiteral("f"),
        QString(QChar(0)) + QStringLiteral("0 after a nul"),
        QString(),
        QStringList{QStringLiteral("a"), QStringLiteral("b, c"), QString()},
        QStringList{},
        -5,
        4000000000u,
        true,
        QByteArray("\x00\xff raw bytes", 13),
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("roundtrip.ini"));
    const QString keyName = QStringLiteral("odd key %1 \u00e9/sub");
    for (const QVariant &value : values) {
        {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(IniText::sectionHeader(QStringLiteral("group/x")) + IniText::line(keyName, value));
        }
        QSettings read(path, QSettings::IniFormat);
        ASSERT_EQ(read.status(), QSettings::NoError) << value.toString().toStdString();
        const QVariant back = read.value(QStringLiteral("group/x/") + keyName);
        if (value.userType() == QMetaType::QStringList)
            EXPECT_EQ(back.toStringList(), value.toStringList());
        else if (value.userType() == QMetaType::QByteArray)
            EXPECT_EQ(back.toByteArray(), value.toByteArray());
        else
            EXPECT_EQ(back.toString(), value.toString()) << IniText::value(value).toStdString();
    }
    EXPECT_EQ(IniText::sectionHeader(QString()), "[General]\n");
}

TEST(ADConfigurationText, DumpAndProbeNames)
{
    ADConfiguration config(QStringLiteral("FW"));
    config.setServers({QStringLiteral("10.0.0.2"), QStringLiteral("10.0.0.1")});
    EXPECT_EQ(config.shortName(), "10.0.0.1_10.0.0.2");
    config.setServers(
        {QStringLiteral("192.168.100.101"), QStringLiteral("192.168.100.102"), QStringLiteral("192.168.100.103")});
    EXPECT_EQ(config.shortName().size(), 30);
    const QString dump = config.toString();
    EXPECT_TRUE(dump.startsWith(
        QLatin1String("[ADConfiguration - FW]\n\t firewall name: FW\n\t domain controllers: 192.168.100.101,")));
    EXPECT_FALSE(dump.contains(QLatin1String("collectApiName")));
    config.setApiName(QStringLiteral("Mock"));
    EXPECT_TRUE(config.toString().contains(QLatin1String("\t collectApiName: Mock\n")));
    EXPECT_TRUE(dump.endsWith(QLatin1String("\t probe PingTimeout: 0\n")));
    EXPECT_EQ(ADConfiguration::probeMethodToText(7), QString());
    EXPECT_EQ(ADConfiguration::probeMethodFromText(QStringLiteral("PING"), ADConfiguration::ProbeRegister),
              ADConfiguration::ProbeRegister);
}
