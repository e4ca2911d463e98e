#include "settings/atomicfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace settings {

namespace {
QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

qint64 nanoseconds(const timespec &time)
{
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

bool writeAll(int fd, const QByteArray &content, int *error)
{
    const char *data = content.constData();
    size_t left = size_t(content.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return false;
        }
        if (n == 0) {
            *error = ENOSPC;
            return false;
        }
        data += n;
        left -= size_t(n);
    }
    return true;
}

FileStamp stampOf(const struct stat &st)
{
    FileStamp stamp;
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = qint64(st.st_size);
    stamp.modifiedNs = nanoseconds(st.st_mtim);
    stamp.changedNs = nanoseconds(st.st_ctim);
    return stamp;
}
} // namespace

FileStamp FileStamp::of(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return FileStamp();
    return stampOf(st);
}

bool FileStamp::operator==(const FileStamp &o) const
{
    return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
           modifiedNs == o.modifiedNs && changedNs == o.changedNs;
}

std::function<void()> AtomicFile::beforeSwapForTest;

QString AtomicFile::temporaryPrefix(const QString &path)
{
    const QFileInfo info(path);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".new-");
}

bool AtomicFile::replace(const QString &path, const QByteArray &content, QString *error, FileStamp *stamp,
                         const FileStamp *expected, std::optional<QByteArray> *displaced)
{
    const QByteArray target = QFile::encodeName(path);
    mode_t mode = 0600;
    struct stat old;
    const bool exists = ::lstat(target.constData(), &old) == 0;
    if (exists) {
        if (!S_ISREG(old.st_mode)) {
            *error = QStringLiteral("not a regular file");
            return false;
        }
        mode = old.st_mode & 0600;
    }

    QByteArray temporary = QFile::encodeName(temporaryPrefix(path)) + "XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = errnoText(errno);
        return false;
    }
    int failure = 0;
    if (::fchmod(fd, mode) != 0)
        failure = errno;
    // Keep the file usable for the account the service runs as when root writes it.
    if (!failure && exists && ::geteuid() == 0 && (old.st_uid != 0 || old.st_gid != 0)) {
        [[maybe_unused]] const int ignored = ::fchown(fd, old.st_uid, old.st_gid);
    }
    if (!failure)
        writeAll(fd, content, &failure);
    if (!failure && ::fdatasync(fd) != 0)
        failure = errno;
    struct stat written;
    if (!failure && ::fstat(fd, &written) != 0)
        failure = errno;
    if (!failure && beforeSwapForTest)
        beforeSwapForTest();
    // Swapped rather than renamed over when the caller knows what it replaces:
    // the file taken out is then the one that was really there, and an edit
    // made while this write was under way is not lost with it.
    bool swapped = false;
    if (!failure && expected && expected->exists && displaced)
        swapped = ::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), RENAME_EXCHANGE) == 0;
    if (!failure && !swapped && ::rename(temporary.constData(), target.constData()) != 0)
        failure = errno;
    if (swapped) {
        QFile old;
        struct stat st;
        const int oldFd = ::open(temporary.constData(), O_RDONLY | O_CLOEXEC);
        // The swap itself changes the ctime; content and identity are compared.
        if (oldFd >= 0 && ::fstat(oldFd, &st) == 0 &&
            (st.st_dev != expected->device || st.st_ino != expected->inode || qint64(st.st_size) != expected->size ||
             nanoseconds(st.st_mtim) != expected->modifiedNs) &&
            old.open(oldFd, QIODevice::ReadOnly))
            *displaced = old.readAll();
        old.close();
        if (oldFd >= 0)
            ::close(oldFd);
        ::unlink(temporary.constData());
    }
    if (!failure) {
        // The stamp is this write's own, read through the descriptor at once:
        // an edit that replaces the file right after the rename must not pass
        // for it. The rename changed the file's ctime; anything else changed
        // since means someone wrote to it, and the stamp of the write stays.
        struct stat renamed;
        if (::fstat(fd, &renamed) == 0 && renamed.st_size == written.st_size &&
            nanoseconds(renamed.st_mtim) == nanoseconds(written.st_mtim))
            written = renamed;
    }
    // Synced before the rename: closing cannot lose the content any more.
    ::close(fd);
    if (failure) {
        ::unlink(temporary.constData());
        *error = errnoText(failure);
        return false;
    }
    // The rename reaches the disk with the folder.
    const int dir =
        ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    if (stamp)
        *stamp = stampOf(written);
    return true;
}

void AtomicFile::removeLeftovers(const QString &path)
{
    const QFileInfo prefix(temporaryPrefix(path));
    const QDir dir(prefix.absolutePath());
    const QStringList names =
        dir.entryList({prefix.fileName() + QStringLiteral("??????")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names)
        QFile::remove(dir.filePath(name));
}

bool AtomicFile::isWritable(const QString &path)
{
    const QByteArray target = QFile::encodeName(path);
    struct stat st;
    if (::lstat(target.constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return false;
        // Opening for writing without truncating: refused for immutable files, even to root.
        const int fd = ::open(target.constData(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        ::close(fd);
    }
    QByteArray probe = QFile::encodeName(temporaryPrefix(path)) + "XXXXXX";
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.constData());
    return true;
}

} // namespace settings
