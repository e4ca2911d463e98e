#pragma once

#include <QString>

namespace crash {

// The process's fatal-signal handler. While an instance lives, SIGSEGV,
// SIGBUS, SIGILL, SIGFPE and SIGABRT write a crash report "<id>.dmp" into the
// dump folder (signal, fault address, thread, backtrace, memory map) and are
// then raised again with their default action, so that the process still dies
// of the signal and its service manager sees the crash.
//
// The handler runs on an alternate stack on the thread that creates the
// instance (other threads' handlers run on their own stack) and makes only
// async-signal-safe calls: everything it needs is prepared here. A fault
// inside the handler ends the process at once; a second thread that faults
// meanwhile waits for the first report to be written.
//
// One instance at a time, created and deleted on the main thread; deleting it
// puts back the signal dispositions found at creation.
class CrashHandler
{
public:
    // The report's first line names the product: versionText.
    CrashHandler(const QString &dumpDirectory, const QString &versionText);
    ~CrashHandler();
    CrashHandler(const CrashHandler &) = delete;
    CrashHandler &operator=(const CrashHandler &) = delete;

    // Whether the handler is in place (false when the folder cannot hold a report).
    bool isInstalled() const { return m_installed; }
    // The file a crash of this process would write.
    QString reportPath() const { return m_reportPath; }

    static const char *const ReportSuffix; // ".dmp"

private:
    bool m_installed = false;
    QString m_reportPath;
};

} // namespace crash
