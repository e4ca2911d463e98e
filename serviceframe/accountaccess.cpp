#include "serviceframe/accountaccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace serviceframe {

namespace {

// One path to ask about, with what the service does there.
struct Item
{
    QByteArray path;
    int mode;
    int report; // index into the reported paths: 0 the folder, i + 1 entry i
};

void addTree(const QString &path, int report, std::vector<Item> *items)
{
    struct stat st;
    const QByteArray local = QFile::encodeName(path);
    if (::lstat(local.constData(), &st) != 0 || S_ISLNK(st.st_mode))
        return;
    if (S_ISDIR(st.st_mode)) {
        items->push_back({local, R_OK | W_OK | X_OK, report});
        const QStringList names =
            QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &name : names)
            addTree(QDir(path).filePath(name), report, items);
    } else {
        items->push_back({local, R_OK | W_OK, report});
    }
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Asks the kernel as the account, in a child process: only system calls
// between fork and _exit, so a parent with threads cannot deadlock it.
bool askAsAccount(uid_t uid, gid_t gid, const std::vector<gid_t> &groups, const std::vector<Item> &items,
                  std::vector<char> *denied, QString *error)
{
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) {
        *error = errnoText(errno);
        return false;
    }
    std::vector<const char *> paths;
    for (const Item &item : items)
        paths.push_back(item.path.constData());
    const pid_t child = ::fork();
    if (child < 0) {
        *error = errnoText(errno);
        ::close(channel[0]);
        ::close(channel[1]);
        return false;
    }
    if (child == 0) {
        ::close(channel[0]);
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(2);
        for (size_t i = 0; i < items.size(); ++i)
            (*denied)[i] = ::faccessat(AT_FDCWD, paths[i], items[i].mode, 0) == 0 ? 0 : 1;
        size_t sent = 0;
        while (sent < denied->size()) {
            const ssize_t n = ::write(channel[1], denied->data() + sent, denied->size() - sent);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                ::_exit(3);
            sent += size_t(n);
        }
        ::_exit(0);
    }
    ::close(channel[1]);
    size_t received = 0;
    while (received < denied->size()) {
        const ssize_t n = ::read(channel[0], denied->data() + received, denied->size() - received);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        received += size_t(n);
    }
    ::close(channel[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || received != denied->size()) {
        *error = QStringLiteral("the check could not take the account's identity");
        return false;
    }
    return true;
}

QString shellQuoted(QString text)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./@%+=:,-]+$"));
    if (plain.match(text).hasMatch())
        return text;
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
}

} // namespace

bool AccountAccess::unwritable(const QString &user, const QString &folder, const QStringList &entries,
                               QStringList *paths, QString *error)
{
    paths->clear();
    const QByteArray name = user.toLocal8Bit();
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[4096];
    if (::getpwnam_r(name.constData(), &entry, buffer, sizeof buffer, &found) != 0 || !found) {
        *error = QStringLiteral("the account \"%1\" does not exist on this system").arg(user);
        return false;
    }
    const uid_t uid = found->pw_uid;
    const gid_t gid = found->pw_gid;
    std::vector<gid_t> groups(64);
    int count = int(groups.size());
    while (::getgrouplist(name.constData(), gid, groups.data(), &count) < 0) {
        if (count <= int(groups.size()))
            count = int(groups.size()) * 2;
        groups.resize(size_t(count));
    }
    groups.resize(size_t(count));

    QStringList reported{QDir::cleanPath(folder)};
    const QByteArray folderPath = QFile::encodeName(reported.first());
    struct stat st;
    if (::stat(folderPath.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(folder);
        return false;
    }
    std::vector<Item> items{{folderPath, R_OK | W_OK | X_OK, 0}};
    for (const QString &entryName : entries) {
        reported.append(QDir(reported.first()).filePath(entryName));
        addTree(reported.last(), reported.size() - 1, &items);
    }

    std::vector<char> denied(items.size(), 1);
    if (::geteuid() == uid) {
        for (size_t i = 0; i < items.size(); ++i)
            denied[i] = ::faccessat(AT_FDCWD, items[i].path.constData(), items[i].mode, AT_EACCESS) == 0 ? 0 : 1;
    } else if (::geteuid() != 0) {
        *error = QStringLiteral("only root can check what another account may write");
        return false;
    } else if (!askAsAccount(uid, gid, groups, items, &denied, error)) {
        return false;
    }

    std::vector<bool> refused(size_t(reported.size()), false);
    for (size_t i = 0; i < items.size(); ++i) {
        if (denied[i])
            refused[size_t(items[i].report)] = true;
    }
    for (int i = 0; i < reported.size(); ++i) {
        if (refused[size_t(i)])
            paths->append(reported.at(i));
    }
    return true;
}

QString AccountAccess::fixCommand(const QString &user, const QString &folder, const QStringList &paths)
{
    QStringList single;
    QStringList recursive;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (info.isDir() && !info.isSymLink() && QDir::cleanPath(path) != QDir::cleanPath(folder))
            recursive.append(shellQuoted(path));
        else
            single.append(shellQuoted(path));
    }
    const QString owner = user + QLatin1Char(':');
    QStringList commands;
    if (!single.isEmpty())
        commands.append(QStringLiteral("chown %1 %2").arg(owner, single.join(QLatin1Char(' '))));
    if (!recursive.isEmpty())
        commands.append(QStringLiteral("chown -R %1 %2").arg(owner, recursive.join(QLatin1Char(' '))));
    return commands.join(QStringLiteral(" && "));
}

} // namespace serviceframe
