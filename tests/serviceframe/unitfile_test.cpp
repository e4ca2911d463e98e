#include "serviceframe/unitfile.h"

#include <QDir>
#include <QFile>
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
