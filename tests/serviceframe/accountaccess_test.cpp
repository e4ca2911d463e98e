// What a service account may write in an install folder, asked as the
// account itself (nobody) by the root test process; the command it proposes
// is run and the question asked again.
#include "serviceframe/accountaccess.h"
#include "support/testaccount.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using serviceframe::AccountAccess;

namespace {

class AccountAccessTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_account.isValid());
        ASSERT_TRUE(m_root.isValid());
        // Blanks and quotes in the path: the command must quote them.
        m_folder = m_root.filePath(QStringLiteral("opt/my 'agent' dir"));
        ASSERT_TRUE(QDir().mkpath(m_folder));
        for (const QString &dir : {m_root.path(), m_root.filePath(QStringLiteral("opt"))})
            ASSERT_EQ(::chmod(QFile::encodeName(dir).constData(), 0755), 0);
    }

    QString path(const char *relative) const { return QDir(m_folder).filePath(QString::fromLatin1(relative)); }
    void write(const char *relative, mode_t mode) const
    {
        QFile file(path(relative));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.close();
        ASSERT_EQ(::chmod(QFile::encodeName(file.fileName()).constData(), mode), 0);
    }
    void folder(const char *relative, mode_t mode) const
    {
        ASSERT_TRUE(QDir().mkpath(path(relative)));
        ASSERT_EQ(::chmod(QFile::encodeName(path(relative)).constData(), mode), 0);
    }
    void own(const char *relative, uid_t uid, gid_t gid) const
    {
        ASSERT_EQ(::lchown(QFile::encodeName(path(relative)).constData(), uid, gid), 0);
    }
    QStringList unwritable() const
    {
        QStringList paths;
        QString error;
        EXPECT_TRUE(AccountAccess::unwritable(m_account.name(), m_folder, Entries, &paths, &error))
            << error.toStdString();
        return paths;
    }

    const QStringList Entries = {QStringLiteral("config.ini"), QStringLiteral("log")};
    testsupport::TestAccount m_account = testsupport::TestAccount::existing(QStringLiteral("nobody"));
    QTemporaryDir m_root;
    QString m_folder;
};

TEST_F(AccountAccessTest, SaysWhatTheAccountCannotWrite)
{
    const uid_t uid = m_account.uid();
    const gid_t gid = m_account.gid();
    const struct
    {
        const char *what;
        std::function<void()> prepare; // on a folder owned by root, mode 0755
        QStringList expected;          // relative; "." the folder itself
    } cases[] = {
        {"nothing there yet, the folder is root's", [] {}, {"."}},
        {"nothing there yet, the folder is the account's", [&] { own(".", uid, gid); }, {}},
        {"root ran the agent first",
         [&] {
             write("config.ini", 0600);
             folder("log", 0750);
             write("log/ferrowinden-sso-agent.log", 0640);
         },
         {".", "config.ini", "log"}},
        {"a root-owned log file in the account's log folder",
         [&] {
             own(".", uid, gid);
             write("config.ini", 0600);
             own("config.ini", uid, gid);
             folder("log", 0750);
             own("log", uid, gid);
             write("log/ferrowinden-sso-agent_1.log", 0640);
         },
         {"log"}},
        {"the account's group may write",
         [&] {
             ASSERT_EQ(::chmod(QFile::encodeName(m_folder).constData(), 0770), 0);
             own(".", 0, gid);
             write("config.ini", 0660);
             own("config.ini", 0, gid);
         },
         {}},
        {"config.ini readable but not writable",
         [&] {
             own(".", uid, gid);
             write("config.ini", 0444);
             own("config.ini", uid, gid);
         },
         {"config.ini"}},
    };
    for (const auto &c : cases) {
        QDir(m_folder).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(m_folder));
        ASSERT_EQ(::chmod(QFile::encodeName(m_folder).constData(), 0755), 0);
        c.prepare();
        QStringList expected;
        for (const QString &relative : c.expected)
            expected.append(relative == QLatin1String(".") ? QDir::cleanPath(m_folder) : path(qPrintable(relative)));
        EXPECT_EQ(unwritable(), expected) << c.what;
    }
}

TEST_F(AccountAccessTest, TheProposedCommandFixesIt)
{
    write("config.ini", 0600);
    folder("log", 0750);
    folder("log/old", 0700);
    write("log/old/ferrowinden-sso-agent_2.log", 0640);
    write("other.txt", 0600); // not the service's: left alone
    const QStringList paths = unwritable();
    ASSERT_EQ(paths.size(), 3);

    const QString command = AccountAccess::fixCommand(m_account.name(), m_folder, paths);
    EXPECT_TRUE(command.startsWith(QStringLiteral("chown nobody: "))) << command.toStdString();
    EXPECT_TRUE(command.contains(QStringLiteral(" && chown -R nobody: "))) << command.toStdString();
    EXPECT_EQ(QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), command}), 0) << command.toStdString();
    EXPECT_EQ(unwritable(), QStringList());
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(path("other.txt")).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(::stat(QFile::encodeName(path("log/old/ferrowinden-sso-agent_2.log")).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, m_account.uid());
}

TEST_F(AccountAccessTest, ImmutableConfigurationCounts)
{
    own(".", m_account.uid(), m_account.gid());
    write("config.ini", 0600);
    own("config.ini", m_account.uid(), m_account.gid());
    if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path("config.ini")}) != 0)
        GTEST_SKIP() << "chattr +i is not supported here";
    const QStringList paths = unwritable();
    QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path("config.ini")});
    EXPECT_EQ(paths, QStringList{path("config.ini")});
}

TEST_F(AccountAccessTest, UnknownAccountOrFolder)
{
    QStringList paths;
    QString error;
    EXPECT_FALSE(AccountAccess::unwritable(QStringLiteral("nosuchuser_sso_test"), m_folder, Entries, &paths, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("does not exist"))) << error.toStdString();
    error.clear();
    EXPECT_FALSE(AccountAccess::unwritable(m_account.name(), path("missing"), Entries, &paths, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("is not a folder"))) << error.toStdString();
}

} // namespace
