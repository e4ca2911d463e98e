#include "service/dumpfile.h"

#include "log/applicationdebug.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QMap>
#include <QMutexLocker>
#include <QTextStream>
#include <algorithm>

namespace service {

// Weak until the service core's own definition is folded into this one.
std::atomic<bool> cacheDumpEnabled{false};

} // namespace service

namespace {

// Normally only the service core's thread opens dump files; the lock keeps
// the map sound should a collector ever ask from its own thread.
QMutex dumpFilesMutex;
QMap<QString, DumpFile *> dumpFiles; // guarded by dumpFilesMutex
QString dumpFolderOverride;          // guarded by dumpFilesMutex

DumpFile *dumpFile(const QString &key, const QString &requestedName)
{
    QMutexLocker lock(&dumpFilesMutex);
    auto found = dumpFiles.find(key);
    if (found != dumpFiles.end())
        return found.value();
    const QString folder = dumpFolderOverride.isEmpty()
                               ? QCoreApplication::applicationDirPath() + QStringLiteral("/log")
                               : dumpFolderOverride;
    const QString name = safeDumpFileName(requestedName);
    if (name != requestedName)
        ApplicationDebug::logLow(
            QStringLiteral("dump file name \"%1\" would leave the log folder, using \"%2\"").arg(requestedName, name));
    DumpFile *file = new DumpFile(QDir::toNativeSeparators(folder + QLatin1Char('/') + name));
    dumpFiles.insert(key, file);
    return file;
}

} // namespace

QString safeDumpFileName(const QString &requested)
{
    QString name = requested;
    bool changed = false;
    for (QChar &c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() == 0) {
            c = QLatin1Char('_');
            changed = true;
        }
    }
    if (!changed)
        return requested;
    // Keeps "a/b" and "a_b" in different files.
    const QByteArray digest = QCryptographicHash::hash(requested.toUtf8(), QCryptographicHash::Sha1).toHex().left(8);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = QLatin1Char('-') + QString::fromLatin1(digest);
    return dot > 0 ? name.left(dot) + suffix + name.mid(dot) : name + suffix;
}

QString dumpFolder()
{
    QMutexLocker lock(&dumpFilesMutex);
    return dumpFolderOverride.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/log")
                                        : dumpFolderOverride;
}

void setDumpFolderForTest(const QString &folder)
{
    QMutexLocker lock(&dumpFilesMutex);
    dumpFolderOverride = folder;
}

DumpFile *cacheDumpFile(const QString &adName)
{
    return dumpFile(adName, QStringLiteral("cache for ") + adName + QStringLiteral(".txt"));
}

DumpFile *loggedUsersFile(const QString &adName, const QString &firewallName)
{
    return dumpFile(adName + firewallName, QStringLiteral("logged user on ") + adName + QStringLiteral(" - ") +
                                               firewallName + QStringLiteral(".txt"));
}

void writeLogons(DumpFile *file, const common::LogonList &logons)
{
    if (!file || !service::cacheDumpEnabled.load())
        return;
    QMutexLocker lock(&file->mutex);
    if (!file->file.isOpen() && !file->file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        ApplicationDebug::logLow(
            QStringLiteral("unable to open file: error: %1").arg(static_cast<int>(file->file.error())));
        return;
    }
    common::LogonList sorted = logons;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const common::Logon &a, const common::Logon &b) { return a.time() < b.time(); });
    QTextStream stream(&file->file);
    stream.setCodec("UTF-8");
    for (const common::Logon &logon : sorted)
        stream << logon.toString() << '\n';
    stream << '\n';
    stream.flush();
    file->file.close();
}

void closeDumpFiles()
{
    QMutexLocker lock(&dumpFilesMutex);
    for (DumpFile *file : qAsConst(dumpFiles)) {
        {
            QMutexLocker fileLock(&file->mutex);
            file->file.close();
        }
        delete file;
    }
    dumpFiles.clear();
}
