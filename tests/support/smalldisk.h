#pragma once

#include <QString>

namespace testsupport {

// A small tmpfs that a test mounts (tests run as root) to play a full disk:
// fill() takes all its space but a given number of bytes, fillInodes() every
// free inode, release() gives both back; setReadOnly() remounts it. Unmounted lazily when the object
// goes, so a process still working in it does not keep it busy. When the
// kernel refuses the mount, isMounted() is false and error() says why (for
// GTEST_SKIP). Not copyable; one thread.
class SmallDisk
{
public:
    // bytes: the file system's size; inodes: how many files it can hold (0: the default).
    SmallDisk(const QString &path, qint64 bytes, int inodes = 0);
    ~SmallDisk();
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool isMounted() const { return m_mounted; }
    QString error() const { return m_error; }
    QString path() const { return m_path; }
    QString filePath(const QString &relative) const;

    // False when the space or the inodes could not be taken as asked.
    bool fill(qint64 leaveBytes);
    bool fillInodes();
    void release();
    // False (errno kept) when the kernel refuses, e.g. a file is open for writing.
    bool setReadOnly(bool readOnly);

private:
    QString m_path;
    QString m_error;
    QByteArray m_options;
    bool m_mounted = false;
};

} // namespace testsupport
