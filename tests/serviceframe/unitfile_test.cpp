#include "serviceframe/unitfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace serviceframe;

namespace {

TEST(UnitUser, FollowsTheAccountRules)
{
    const struct
    {
        const char *account;
        const char *user; // nullptr: refused
    } cases[] = {
        {"", "root"},
        {"LocalSystem", "root"},
        {".\\LocalSystem", "root"},
        {"DOMAIN\\LocalSystem", "root"},
        {"nobody", "nobody"},
        {".\\nobody", "nobody"},
        // the suffix rule is case-sensitive: a local user "localsystem" must exist
        {".\\localsystem", nullptr},
        // nothing may add lines or keys to the unit
        {"nobody\nExecStartPre=/bin/sh", nullptr},
        {"a=b", nullptr},
        {"no\"body", nullptr},
        {"no'body", nullptr},
        {"no body", nullptr},
        {"%n", nullptr},
        {"-nobody", nullptr},
        {".\\", nullptr},
        {"nosuchuser_sso_test", nullptr},
    };
    for (const auto &c : cases) {
        QString user;
        QString error;
        const bool ok = unitUser(QString::fromUtf8(c.account), &user, &error);
        EXPECT_EQ(ok, c.user != nullptr) << '"' << c.account << "\" " << error.toStdString();
        EXPECT_EQ(ok ? user.toStdString() : std::string("refused"), c.user ? c.user : "refused") << c.account;
        EXPECT_EQ(error.isEmpty(), ok) << c.account;
    }
}

// The unit as the service manager reads it: its keys, escaped where systemd would expand.
TEST(UnitFileText, KeysEscapedAndNoLineBreakInThePath)
{
    const QString text = QString::fromUtf8(
        unitFileText(QStringLiteral("Ferrowinden SSO Agent"), QStringLiteral("50% sure\nExecStartPre=/bin/false"),
                     QStringLiteral("/opt/my \"agent\" $HOME 100%/run\\x"), QStringLiteral("root")));
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const char *expected : {"[Unit]", "[Service]", "Type=notify", "User=root", "Restart=on-failure",
                                 "RuntimeDirectory=ferrowinden-sso-agent", "[Install]", "WantedBy=multi-user.target"})
        EXPECT_TRUE(lines.contains(QString::fromUtf8(expected))) << expected << "\n" << text.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("ExecStart=\"/opt/my \\\"agent\\\" $$HOME 100%%/run\\\\x\"")))
        << text.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("Description=50%% sure ExecStartPre=/bin/false"))) << text.toStdString();
    EXPECT_FALSE(lines.contains(QStringLiteral("ExecStartPre=/bin/false")));
    EXPECT_TRUE(unitFileText(QStringLiteral("Svc"), QStringLiteral("d"), QStringLiteral("/opt/a\nUser=root"),
                             QStringLiteral("nobody"))
                    .isEmpty());
}

// Root has every capability; an account gets exactly the two the syslog port
// and ICMP need, can gain no more, and systemd reads the unit without a word.
TEST(UnitFileText, AccountsGetExactlyTheTwoCapabilities)
{
    const QString executable = QCoreApplication::applicationFilePath();
    const QStringList accountLines = {QStringLiteral("AmbientCapabilities=CAP_NET_BIND_SERVICE CAP_NET_RAW"),
                                      QStringLiteral("CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_NET_RAW"),
                                      QStringLiteral("NoNewPrivileges=yes")};
    for (const char *user : {"root", "daemon"}) {
        const QString text = QString::fromUtf8(unitFileText(
            QStringLiteral("Ferrowinden SSO Agent"), QStringLiteral("d"), executable, QString::fromLatin1(user)));
        const QStringList lines = text.split(QLatin1Char('\n'));
        const bool account = QLatin1String(user) != QLatin1String("root");
        for (const QString &line : accountLines)
            EXPECT_EQ(lines.contains(line), account) << user << ": " << line.toStdString();
        EXPECT_EQ(lines.filter(QStringLiteral("Capabilit")).size(), account ? 2 : 0) << text.toStdString();
        for (const char *expected : {"Restart=on-failure", "RuntimeDirectory=ferrowinden-sso-agent"})
            EXPECT_TRUE(lines.contains(QString::fromLatin1(expected))) << user << ": " << expected;
        EXPECT_TRUE(lines.contains(QStringLiteral("User=") + QLatin1String(user)));

        QTemporaryDir dir;
        const QString unit = dir.filePath(QStringLiteral("ferrowinden-sso-agent.service"));
        QString error;
        ASSERT_TRUE(writeFileAtomically(unit, text.toUtf8(), &error)) << error.toStdString();
        QProcess verify;
        verify.start(QStringLiteral("systemd-analyze"), {QStringLiteral("verify"), unit});
        ASSERT_TRUE(verify.waitForFinished(30000)) << "systemd-analyze is missing: scripts/setup installs it";
        EXPECT_EQ(verify.exitCode(), 0) << user;
        const QByteArray complaints = verify.readAllStandardError() + verify.readAllStandardOutput();
        EXPECT_TRUE(complaints.isEmpty()) << user << ": " << complaints.toStdString();
    }
}

// Where it cannot write, the agent's install fails without trace: commandline_test.
TEST(WriteFileAtomically, ReplacesTheWholeFileAndLeavesNoTemporary)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("x.service"));
    QString error;
    ASSERT_TRUE(writeFileAtomically(path, "first version, long text\n", &error)) << error.toStdString();
    ASSERT_TRUE(writeFileAtomically(path, "second\n", &error)) << error.toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("second\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("x.service")});
}

} // namespace
