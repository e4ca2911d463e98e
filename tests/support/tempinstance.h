#pragma once

#include <QString>
#include <QTemporaryDir>

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

    void writeFile(const QString &relative, const QByteArray &content) const;
    QByteArray readFile(const QString &relative) const;

private:
    QTemporaryDir m_dir;
};

// Where the read-only sample data lives (event logs of public collections).
QString sharedDataPath(const QString &relative);
// The build tree, to find built executables.
QString binaryPath(const QString &relative);
// Everything written to the log files of the folder "log" below instanceDir.
QString logFolderText(const QString &instanceDir);

} // namespace testsupport
