#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <sys/types.h>

namespace testsupport {

// A temporary folder that plays the agent's install folder: config.ini,
// log/ and eventlog/ live in it. Removed with everything in it at the end.
class TempInstance
{
public:
    TempInstance();

    QString path() const { return m_dir.path(); }
    QString filePath(const QString &relative) const { return m_dir.filePath(relative); }

    // Copies a built executable (by its path below the build tree) into the folder
    // and returns the copy's path, so that it runs with its own config.ini and log.
    QString copyExecutable(const QString &builtPath) const;

    // Files and folders that writeFile creates from now on belong to this
    // uid and gid (an agent that runs as an account must write them).
    void setOwner(uid_t uid, gid_t gid);
    void writeFile(const QString &relative, const QByteArray &content) const;
    QByteArray readFile(const QString &relative) const;

private:
    QTemporaryDir m_dir;
    bool m_owned = false;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

// The public sample event logs (their licences keep them out of the
// repository): in $SSO_SAMPLE_LOGS when it is set, else in
// ../shared/data/eventlogs beside the source tree. The path of one of them.
QString sampleLogPath(const QString &name);
// A text saying which of the named samples are missing and how to provide
// them; empty when all are there.
QString missingSampleLogs(const QStringList &names);
// SSO_REQUIRE_SAMPLE_LOGS=1 (CI) turns a missing sample into a failure.
bool sampleLogsRequired();
// The build tree, to find built executables.
QString binaryPath(const QString &relative);
// Everything written to the log files of the folder "log" below instanceDir.
QString logFolderText(const QString &instanceDir);
// A TCP port that nothing listens on right now (the agent refuses Port 0).
quint16 freeTcpPort();

} // namespace testsupport

// Skips the running test when a sample log is missing, or fails it where
// samples are required. Use at the top of a test body.
#define SSO_REQUIRE_SAMPLE_LOGS(...)                                                                                   \
    do {                                                                                                               \
        const QString missingSamples_ = testsupport::missingSampleLogs({__VA_ARGS__});                                 \
        if (!missingSamples_.isEmpty()) {                                                                              \
            if (testsupport::sampleLogsRequired())                                                                     \
                FAIL() << qPrintable(missingSamples_);                                                                 \
            GTEST_SKIP() << qPrintable(missingSamples_);                                                               \
        }                                                                                                              \
    } while (0)
