#include "app/agentad.h"
#include "common/clock.h"
#include "settings/settings.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace {

TEST(AgentAdCrashDumpDirectory, IsTheVersionTextWithoutBlanksSlashesBracketsOrColons)
{
    const QString directory = service::AgentAd::crashDumpDirectory();
    EXPECT_EQ(QFileInfo(directory).absolutePath(),
              QFileInfo(QStandardPaths::writableLocation(QStandardPaths::TempLocation)).absoluteFilePath());
    EXPECT_EQ(QFileInfo(directory).fileName(), QStringLiteral("Ferrowinden_SSO_Agent_3.0.2_2022-01-07_1605"));
}

TEST(AgentAdCommandLineOption, FindsTheKeyOption)
{
    struct Case
    {
        QStringList arguments;
        QString value;
    };
    const Case cases[] = {
        {{"agent", "-k", "secret"}, "secret"},
        {{"agent", "-e", "-K", "Secret Key"}, "Secret Key"}, // either letter case
        {{"agent", "-e", "-k"}, QString()},                  // last: no value
        {{"agent", "-e"}, QString()},
        {{"-k", "value"}, QString()},       // the program name does not count
        {{"agent", "-kk", "x"}, QString()}, // exact match only
        {{"agent", "-k", "first", "-k", "second"}, "first"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(service::AgentAd::commandLineOption(c.arguments, QLatin1Char('k')), c.value)
            << c.arguments.join(QLatin1Char(' ')).toStdString();
}

// The obsolescence check works on a real config.ini in a temporary folder,
// with "now" pinned so that ages are exact.
class AgentAdObsolescence : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        settings::Settings::setDirectoryForTest(m_dir.path());
        m_now = QDateTime(QDate(2026, 3, 10), QTime(12, 0, 0));
        common::Clock::setNowForTest(m_now);
        m_agent = std::make_unique<service::AgentAd>(1, m_argv);
    }
    void TearDown() override
    {
        m_agent.reset(); // destroys the settings too
        common::Clock::resetForTest();
        settings::Settings::setDirectoryForTest(QString());
    }

    void addConfig(const QString &name, const QDateTime &lastConnection)
    {
        settings::ADConfiguration config(name);
        config.setFirewallName(name);
        config.setServers({QStringLiteral("192.0.2.1")});
        config.setMaxLogonTime(28800);
        config.setCollectInterval(5);
        config.setEnabled(true);
        config.setLastUtmConnection(lastConnection);
        settings::Settings::instance()->setADConfiguration(config);
    }
    void check() { ASSERT_TRUE(QMetaObject::invokeMethod(m_agent.get(), "checkAdObsolescence", Qt::DirectConnection)); }
    // The test's configurations (first run also writes a default one), sorted and joined.
    std::string names() const
    {
        QStringList list =
            settings::Settings::instance()->adConfigurationNames().filter(QRegExp(QStringLiteral("^fw-")));
        list.sort();
        return list.join(QLatin1Char(' ')).toStdString();
    }

    QTemporaryDir m_dir;
    QDateTime m_now;
    char m_program[6] = "agent";
    char *m_argv[2] = {m_program, nullptr};
    std::unique_ptr<service::AgentAd> m_agent;
};

TEST_F(AgentAdObsolescence, RemovesOnlyConfigurationsSilentForLongerThanTheTimeout)
{
    const qint64 timeout = settings::Settings::instance()->globalConfiguration().ADObsolescenceTimeout;
    ASSERT_EQ(timeout, 604800);
    addConfig(QStringLiteral("fw-old"), m_now.addSecs(-timeout - 1));
    addConfig(QStringLiteral("fw-at-limit"), m_now.addSecs(-timeout));
    addConfig(QStringLiteral("fw-recent"), m_now.addSecs(-3600));
    addConfig(QStringLiteral("fw-never"), QDateTime());

    check();
    EXPECT_EQ(names(), "fw-at-limit fw-never fw-recent");
    // The removal reached config.ini, not only memory.
    QFile file(m_dir.filePath(QStringLiteral("config.ini")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_FALSE(text.contains("fw-old"));
    EXPECT_TRUE(text.contains("fw-recent"));

    common::Clock::advanceForTest(1);
    check();
    EXPECT_EQ(names(), "fw-never fw-recent");
}

TEST_F(AgentAdObsolescence, PausedAgentRemovesNothingUntilCollectionStartsAgain)
{
    addConfig(QStringLiteral("fw-old"), m_now.addDays(-30));
    m_agent->stopAll();
    check();
    EXPECT_EQ(names(), "fw-old");
    m_agent->startAll();
    EXPECT_EQ(names(), "");
}

} // namespace
