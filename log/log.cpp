#include "log/log.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int MinimumMaxSize = 0x100000;
}

Log::Log(const QString &fileName, bool rotate, int maxFiles, int maxSize)
    : m_rotate(rotate), m_maxIndex(maxFiles < 3 ? 2 : maxFiles - 1), m_maxSize(qMax(maxSize, MinimumMaxSize))
{
    if (!fileName.isEmpty())
        Log::setFileName(fileName);
}

Log::~Log()
{
    QMutexLocker locker(&m_mutex);
    if (m_file.isOpen())
        m_file.close();
}

QString Log::fileName() const
{
    QMutexLocker locker(&m_mutex);
    return m_fileName;
}

void Log::setFileName(const QString &name)
{
    QMutexLocker locker(&m_mutex);
    if (name == m_fileName)
        return;
    if (m_file.isOpen())
        m_file.close();
    m_fileName = name;
    const QDir dir = QFileInfo(name).absoluteDir();
    if (!dir.exists()) {
        dir.mkpath(QStringLiteral("."));
        // Logs name users and addresses: not for every local account.
        ::chmod(QFile::encodeName(dir.absolutePath()).constData(), 0750);
    }
}

bool Log::openLocked()
{
    if (m_file.isOpen())
        return true;
    m_file.setFileName(m_fileName);
    const int fd = ::open(QFile::encodeName(m_fileName).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0)
        return false;
    // A file from an older version may be readable by everyone; keep the owner's stricter mode.
    struct stat st;
    if (::fstat(fd, &st) == 0 && (st.st_mode & 07777 & ~mode_t(0640)) != 0)
        ::fchmod(fd, st.st_mode & 0640);
    if (!m_file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    m_size = m_file.size();
    return true;
}

bool Log::write(const QString &text)
{
    QMutexLocker locker(&m_mutex);
    if (!openLocked())
        return false;
    if (m_rotate && m_size >= m_maxSize) {
        rotateLocked();
        if (!openLocked())
            return false;
    }
    const QByteArray line = text.toUtf8() + "\r\n";
    if (m_file.write(line) != line.size())
        return false;
    m_size += line.size();
    m_file.flush();
    return true;
}

void Log::rotateLocked()
{
    const QFileInfo current(m_fileName);
    const QString directory = current.absolutePath();
    const QString baseName = current.baseName();
    const QString suffix = current.completeSuffix();

    int highest = 0;
    QString oldest;
    QDateTime reference = QDateTime::currentDateTime();
    const QFileInfoList siblings =
        QDir(directory).entryInfoList({QStringLiteral("%1_*.%2").arg(baseName, suffix)}, QDir::Files, QDir::Unsorted);
    for (const QFileInfo &sibling : siblings) {
        const QString name = sibling.baseName();
        const int underscore = name.lastIndexOf(QLatin1Char('_'));
        bool ok = false;
        const int number = underscore < 0 ? 0 : name.mid(underscore + 1).toInt(&ok);
        if (ok)
            highest = qMax(highest, number);
        const QDateTime modified = sibling.lastModified();
        if (modified <= reference) {
            reference = modified;
            oldest = sibling.absoluteFilePath();
        }
    }

    // By name: the handle was opened from a descriptor and knows no path.
    m_file.close();
    if (highest < m_maxIndex || oldest.isEmpty()) {
        const QString target =
            QDir::toNativeSeparators(QStringLiteral("%1/%2_%3.log").arg(directory, baseName).arg(highest + 1));
        QFile::rename(m_fileName, target);
    } else {
        QFile::remove(oldest);
        QFile::rename(m_fileName, oldest);
    }
}
