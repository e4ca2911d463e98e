#include "support/testaccount.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <pwd.h>
#include <unistd.h>

namespace testsupport {

namespace {
const QString Prefix = QStringLiteral("ssotest");
const int LockedExitCode = 10; // useradd and userdel: /etc/passwd is locked by someone else
int created = 0;

// Other tests add and remove users at the same time: a locked passwd file is waited for, briefly.
int runAccountTool(const QString &program, const QStringList &arguments, QString *output = nullptr)
{
    int code = -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        if (output)
            *output = QString::fromLocal8Bit(process.readAll());
        if (code != LockedExitCode)
            return code;
        QThread::msleep(50);
    }
    return code;
}

// Users of test processes that were killed before they could remove them.
void removeLeftovers()
{
    QStringList stale;
    ::setpwent();
    while (const passwd *entry = ::getpwent()) {
        const QString name = QString::fromLocal8Bit(entry->pw_name);
        if (!name.startsWith(Prefix))
            continue;
        const QString pid = name.mid(Prefix.size()).section(QLatin1Char('-'), 0, 0);
        if (!QFileInfo::exists(QStringLiteral("/proc/") + pid))
            stale.append(name);
    }
    ::endpwent();
    for (const QString &name : stale)
        runAccountTool(QStringLiteral("userdel"), {name});
}
} // namespace

TestAccount::TestAccount(uid_t uid, gid_t gid) : m_valid(true), m_uid(uid), m_gid(gid) {}

TestAccount::TestAccount(TestAccount &&other) noexcept
{
    *this = std::move(other);
}

TestAccount &TestAccount::operator=(TestAccount &&other) noexcept
{
    if (this != &other) {
        remove();
        m_valid = other.m_valid;
        m_created = other.m_created;
        m_name = std::move(other.m_name);
        m_uid = other.m_uid;
        m_gid = other.m_gid;
        other.m_created = false;
        other.m_valid = false;
    }
    return *this;
}

TestAccount::~TestAccount()
{
    remove();
}

TestAccount TestAccount::existing(const QString &name)
{
    TestAccount account;
    const passwd *entry = ::getpwnam(name.toLocal8Bit().constData());
    if (!entry)
        return account;
    account.m_valid = true;
    account.m_name = name;
    account.m_uid = entry->pw_uid;
    account.m_gid = entry->pw_gid;
    return account;
}

TestAccount TestAccount::create(QString *error)
{
    removeLeftovers();
    const QString name = QStringLiteral("%1%2-%3").arg(Prefix).arg(::getpid()).arg(++created);
    QString output;
    const int code =
        runAccountTool(QStringLiteral("useradd"),
                       {QStringLiteral("--system"), QStringLiteral("--no-create-home"), QStringLiteral("--home-dir"),
                        QStringLiteral("/nonexistent"), QStringLiteral("--shell"), QStringLiteral("/usr/sbin/nologin"),
                        QStringLiteral("--user-group"), name},
                       &output);
    if (code != 0) {
        *error = QStringLiteral("useradd %1 failed (%2): %3").arg(name).arg(code).arg(output);
        return TestAccount();
    }
    TestAccount account = existing(name);
    account.m_created = true;
    if (!account.isValid())
        *error = QStringLiteral("useradd created %1, but it cannot be found").arg(name);
    return account;
}

void TestAccount::remove()
{
    if (!m_created)
        return;
    m_created = false;
    runAccountTool(QStringLiteral("userdel"), {m_name});
}

QStringList TestAccount::setprivArguments(const QStringList &capabilities, bool lockedDown) const
{
    QString caps = QStringLiteral("-all");
    for (const QString &capability : capabilities)
        caps += QStringLiteral(",+") + capability;
    QStringList arguments = {QStringLiteral("--reuid=%1").arg(m_uid), QStringLiteral("--regid=%1").arg(m_gid),
                             m_name.isEmpty() ? QStringLiteral("--clear-groups") : QStringLiteral("--init-groups"),
                             QStringLiteral("--inh-caps=") + caps, QStringLiteral("--ambient-caps=") + caps};
    if (lockedDown)
        arguments << QStringLiteral("--bounding-set=") + caps << QStringLiteral("--no-new-privs");
    arguments << QStringLiteral("--");
    return arguments;
}

bool TestAccount::handOver(const QString &path) const
{
    bool ok = ::lchown(QFile::encodeName(path).constData(), m_uid, m_gid) == 0;
    if (!QFileInfo(path).isDir() || QFileInfo(path).isSymLink())
        return ok;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        ok = ::lchown(QFile::encodeName(it.next()).constData(), m_uid, m_gid) == 0 && ok;
    return ok;
}

} // namespace testsupport
