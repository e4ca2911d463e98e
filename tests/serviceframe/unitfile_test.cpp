#include "serviceframe/unitfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace serviceframe;

namespace {

struct AccountCase
{
    const char *account;
    const char *user; // nullptr: refused
};

std::ostream &operator<<(std::ostream &out, const AccountCase &c)
{
    return out << '"' << c.account << '"';
}

class UnitUserTest : public ::testing::TestWithParam<AccountCase>
{
};

TEST_P(UnitUserTest, FollowsTheAccountRules)
{
    const AccountCase c = GetParam();
    QString user;
    QString error;
    const bool ok = unitUser(QString::fromUtf8(c.account), &user, &error);
    if (c.user) {
        ASSERT_TRUE(ok) << error.toStdString();
        EXPECT_EQ(user.toStdString(), c.user);
    } else {
        EXPECT_FALSE(ok) << "accepted as " << user.toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(Accounts, UnitUserTest,
                         ::testing::Values(AccountCase{"", "root"}, AccountCase{"LocalSystem", "root"},
                                           AccountCase{".\\LocalSystem", "root"},
                                           AccountCase{"DOMAIN\\LocalSystem", "root"}, AccountCase{"nobody", "nobody"},
                                           AccountCase{".\\nobody", "nobody"},
                                           // the suffix rule is case-sensitive: a local user "localsystem" must exist
                                           AccountCase{".\\localsystem", nullptr},
                                           // nothing may add lines or keys to the unit
                                           AccountCase{"nobody\nExecStartPre=/bin/sh", nullptr},
                                           AccountCase{"a=b", nullptr}, AccountCase{"no\"body", nullptr},
                                           AccountCase{"no'body", nullptr}, AccountCase{"no body", nullptr},
                                           AccountCase{"%n", nullptr}, AccountCase{"-nobody", nullptr},
                                           AccountCase{".\\", nullptr}, AccountCase{"nosuchuser_sso_test", nullptr}));

TEST(UnitFileText, HasTheServiceManagerKeys)
{
    const QString text =
        QString::fromUtf8(unitFileText(QStringLiteral("Ferrowinden SSO Agent"), QStringLiteral("Survey (3.0.2)"),
                                       QStringLiteral("/opt/agent/ferrowinden-sso-agent"), QStringLiteral("root")));
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const char *expected : {"[Unit]", "Description=Survey (3.0.2)", "[Service]", "Type=notify",
                                 "ExecStart=\"/opt/agent/ferrowinden-sso-agent\"", "User=root",
                                 "RuntimeDirectory=ferrowinden-sso-agent", "[Install]", "WantedBy=multi-user.target"})
        EXPECT_TRUE(lines.contains(QString::fromUtf8(expected))) << expected << "\n" << text.toStdString();
}

TEST(UnitFileText, EscapesWhatSystemdWouldExpand)
{
    const QString text =
        QString::fromUtf8(unitFileText(QStringLiteral("Svc"), QStringLiteral("50% sure\nExecStartPre=/bin/false"),
                                       QStringLiteral("/opt/my \"agent\" $HOME 100%/run\\x"), QStringLiteral("root")));
    const QStringList lines = text.split(QLatin1Char('\n'));
    EXPECT_TRUE(lines.contains(QStringLiteral("ExecStart=\"/opt/my \\\"agent\\\" $$HOME 100%%/run\\\\x\"")))
        << text.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("Description=50%% sure ExecStartPre=/bin/false"))) << text.toStdString();
    EXPECT_FALSE(lines.contains(QStringLiteral("ExecStartPre=/bin/false")));
}

TEST(UnitFileText, RefusesAnExecutablePathWithALineBreak)
{
    EXPECT_TRUE(unitFileText(QStringLiteral("Svc"), QStringLiteral("d"), QStringLiteral("/opt/a\nUser=root"),
                             QStringLiteral("nobody"))
                    .isEmpty());
}

TEST(UnitBaseName, LowerCaseWithDashes)
{
    EXPECT_EQ(unitBaseName(QStringLiteral("Ferrowinden SSO Agent")), QStringLiteral("ferrowinden-sso-agent"));
}

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

TEST(WriteFileAtomically, FailsCleanlyWhereItCannotWrite)
{
    QTemporaryDir dir;
    // A plain file where the folder should be: no permission trick needed, root cannot write there either.
    QFile blocker(dir.filePath(QStringLiteral("notadir")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QString error;
    EXPECT_FALSE(writeFileAtomically(dir.filePath(QStringLiteral("notadir/x.service")), "text", &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(QFileInfo(dir.filePath(QStringLiteral("notadir"))).size(), 0);
}

} // namespace
