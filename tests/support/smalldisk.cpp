#include "support/smalldisk.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace testsupport {

namespace {
const QString SpaceFiller = QStringLiteral(".space-filler");
const QString InodeFillers = QStringLiteral(".inode-fillers");
} // namespace

SmallDisk::SmallDisk(const QString &path, qint64 bytes, int inodes) : m_path(path)
{
    if (!QDir().mkpath(path)) {
        m_error = QStringLiteral("cannot create %1").arg(path);
        return;
    }
    QByteArray options = "size=" + QByteArray::number(bytes);
    if (inodes > 0)
        options += ",nr_inodes=" + QByteArray::number(inodes);
    m_options = options;
    if (::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options.constData()) != 0) {
        m_error = QStringLiteral("cannot mount a small tmpfs on %1 (%2); the full-disk cases need one")
                      .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_mounted = true;
}

SmallDisk::~SmallDisk()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
}

QString SmallDisk::filePath(const QString &relative) const
{
    return QDir(m_path).filePath(relative);
}

bool SmallDisk::fill(qint64 leaveBytes)
{
    QFile filler(filePath(SpaceFiller));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    // Page-sized writes: a full file system takes none of a write or all of it.
    const QByteArray page(4096, 'f');
    while (filler.write(page) == page.size()) {
    }
    filler.close();
    return filler.size() >= leaveBytes && filler.resize(filler.size() - leaveBytes);
}

bool SmallDisk::fillInodes()
{
    const QString folder = filePath(InodeFillers);
    if (!QDir().mkpath(folder))
        return false;
    for (int i = 0;; ++i) {
        const int fd = ::open(QFile::encodeName(QStringLiteral("%1/%2").arg(folder).arg(i)).constData(),
                              O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0)
            return errno == ENOSPC;
        ::close(fd);
    }
}

void SmallDisk::release()
{
    QFile::remove(filePath(SpaceFiller));
    QDir(filePath(InodeFillers)).removeRecursively();
}

bool SmallDisk::setReadOnly(bool readOnly)
{
    const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    return ::mount("tmpfs", QFile::encodeName(m_path).constData(), "tmpfs", flags, m_options.constData()) == 0;
}

} // namespace testsupport
