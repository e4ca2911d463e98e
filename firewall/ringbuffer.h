#pragma once

#include <QByteArray>
#include <deque>

// A FIFO of bytes kept in chunks, so that appending never moves what is
// already stored and consuming from the front only advances an offset.
// A chunk holds at least 1024 bytes (more when one append is larger).
// Not thread-safe: owned by one socket in one thread.
class RingBuffer
{
public:
    explicit RingBuffer(int chunkSize = 1024);

    qint64 size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }

    void append(const char *data, qint64 len);
    void append(const QByteArray &data) { append(data.constData(), data.size()); }

    // The largest contiguous block at the front: readPointer() is valid for
    // nextDataBlockSize() bytes until the buffer is changed.
    const char *readPointer() const;
    qint64 nextDataBlockSize() const;
    // Drops up to len bytes from the front.
    void free(qint64 len);

    // Copies up to maxLen bytes from the front into data and drops them.
    qint64 read(char *data, qint64 maxLen);
    // Like read, but stops after the first '\n' (included).
    qint64 readLine(char *data, qint64 maxLen);
    // Position of the first occurrence of c counted from the front, or -1.
    qint64 indexOf(char c) const;
    bool canReadLine() const { return indexOf('\n') >= 0; }
    QByteArray readAll();

    void clear();

private:
    struct Chunk
    {
        QByteArray bytes; // capacity reserved up front, filled up to bytes.size()
        int head = 0;     // consumed bytes at the front
    };

    std::deque<Chunk> m_chunks;
    qint64 m_size = 0;
    int m_chunkSize;
};
