#pragma once

#include <QFile>
#include <QMutex>
#include <QString>

// A thread-safe line writer that appends to one file and, when rotation is on,
// moves a full file aside to a numbered sibling ("name_N.log"). Lines are
// flushed at once so the file is complete if the process dies.
class Log
{
public:
    Log(const QString &fileName, bool rotate, int maxFiles, int maxSize);
    virtual ~Log();

    virtual void setFileName(const QString &name);
    // Appends text and CR LF; false when the file cannot be opened or written.
    virtual bool write(const QString &text);

    QString fileName() const;
    int maxIndex() const { return m_maxIndex; }
    int maxSize() const { return m_maxSize; }

private:
    bool openLocked();
    void rotateLocked();

    QFile m_file;
    QString m_fileName;
    mutable QMutex m_mutex; // guards m_file and m_fileName; any thread may log
    bool m_rotate;
    int m_maxIndex;
    int m_maxSize;
    // Bytes in the open file: taken once at open, then counted, so that a
    // busy log does not ask the file system for its size on every line.
    qint64 m_size = 0;
};
