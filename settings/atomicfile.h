#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>
#include <sys/types.h>

namespace settings {

// What stat() says about a file: enough to tell the program's own last
// write from a later change without reading the file.
struct FileStamp
{
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;

    static FileStamp of(const QString &path);
    bool operator==(const FileStamp &other) const;
    bool operator!=(const FileStamp &other) const { return !(*this == other); }
};

// Replaces a file as a whole or not at all: the content goes to a new file
// beside it (mode 0600, or the old file's mode when that is stricter; the
// old file's owner when run as root), every write, the sync to disk and the
// close are checked, then a rename puts it in place and the folder is
// synced. On any failure the old file is untouched and the new one removed.
// Stateless; any thread, one writer per path at a time.
class AtomicFile
{
public:
    // False with the system's reason in *error when the file was not replaced.
    // Given the stamp of the file this write means to replace, a different
    // file found in its place at the moment of the swap (someone edited it
    // while the new one was written) is handed back in *displaced.
    static bool replace(const QString &path, const QByteArray &content, QString *error, FileStamp *stamp = nullptr,
                        const FileStamp *expected = nullptr, std::optional<QByteArray> *displaced = nullptr);
    // Called between writing the new file and putting it in place, so that
    // tests can edit the file in that moment.
    static std::function<void()> beforeSwapForTest;
    // Removes new files of replace() that a killed process left behind.
    static void removeLeftovers(const QString &path);
    // Whether replace() can work here: the folder takes new files and an
    // existing file can be opened for writing (not a folder, not immutable).
    static bool isWritable(const QString &path);

private:
    static QString temporaryPrefix(const QString &path);
};

} // namespace settings
