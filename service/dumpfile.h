#pragma once

#include "common/logon.h"

#include <QFile>
#include <QMutex>
#include <QString>
#include <atomic>

namespace service {

// Whether the cache dump files are written: set once at start (VerboseLevel
// "high") before any collector thread runs, read by every writer.
extern std::atomic<bool> cacheDumpEnabled;

} // namespace service

// A plain-text snapshot of a cache in the "log" folder, rewritten whole on
// every change. Writers in different threads are serialised by its mutex.
class DumpFile
{
public:
    explicit DumpFile(const QString &path) : file(path) {}
    DumpFile(const DumpFile &) = delete;
    DumpFile &operator=(const DumpFile &) = delete;

    QString path() const { return file.fileName(); }

    QFile file;   // guarded by mutex
    QMutex mutex; // taken by writeLogons for the whole rewrite
};

// The collector-cache file of an adName: "cache for <adName>.txt". Created on
// first request, the same object afterwards. Called from the service core's thread.
DumpFile *cacheDumpFile(const QString &adName);
// The probe-cache file of a firewall configuration:
// "logged user on <adName> - <FirewallName>.txt".
DumpFile *loggedUsersFile(const QString &adName, const QString &firewallName);
// Replaces the file's content by the logons, oldest first, each line followed
// by an empty one. Nothing happens unless cacheDumpEnabled is set.
void writeLogons(DumpFile *file, const common::LogonList &logons);
// At process end: closes and deletes every dump file.
void closeDumpFiles();

// "log" beside the executable, unless a test names another folder.
QString dumpFolder();
void setDumpFolderForTest(const QString &folder);
// The file name used for a requested name: separators and NUL bytes, which
// would leave the folder, are replaced and a short digest keeps names apart.
QString safeDumpFileName(const QString &requested);
