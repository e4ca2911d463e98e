#include "log/log.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

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
    if (!dir.exists())
        dir.mkpath(QStringLiteral("."));
}

bool Log::openLocked()
{
    if (m_file.isOpen())
        return true;
    m_file.setFileName(m_fileName);
    return m_file.open(QIODevice::WriteOnly | QIODevice::Append);
}

bool Log::write(const QString &text)
{
    QMutexLocker locker(&m_mutex);
    if (!openLocked())
        return false;
    if (m_rotate && m_file.size() >= m_maxSize) {
        rotateLocked();
        if (!openLocked())
            return false;
    }
    const QByteArray line = text.toUtf8() + "\r\n";
    if (m_file.write(line) != line.size())
        return false;
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

    if (highest < m_maxIndex || oldest.isEmpty()) {
        const QString target =
            QDir::toNativeSeparators(QStringLiteral("%1/%2_%3.log").arg(directory, baseName).arg(highest + 1));
        m_file.rename(target);
    } else {
        QFile::remove(oldest);
        m_file.rename(oldest);
    }
    m_file.close();
    // QFile::rename points the handle at the new name; the next open must use the log's own name.
    m_file.setFileName(m_fileName);
}
