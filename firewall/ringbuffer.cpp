#include "firewall/ringbuffer.h"

#include <algorithm>
#include <cstring>

RingBuffer::RingBuffer(int chunkSize) : m_chunkSize(std::max(1, chunkSize)) {}

void RingBuffer::append(const char *data, qint64 len)
{
    while (len > 0) {
        if (m_chunks.empty() || m_chunks.back().bytes.size() >= m_chunks.back().bytes.capacity()) {
            Chunk chunk;
            // One chunk for a large append keeps it contiguous for the encryptor.
            const qint64 capacity = std::max<qint64>(m_chunkSize, std::min<qint64>(len, 1 << 20));
            chunk.bytes.reserve(static_cast<int>(capacity));
            m_chunks.push_back(std::move(chunk));
        }
        QByteArray &tail = m_chunks.back().bytes;
        const qint64 room = tail.capacity() - tail.size();
        const int n = static_cast<int>(std::min(room, len));
        tail.append(data, n);
        data += n;
        len -= n;
        m_size += n;
    }
}

const char *RingBuffer::readPointer() const
{
    if (m_chunks.empty())
        return nullptr;
    const Chunk &front = m_chunks.front();
    return front.bytes.constData() + front.head;
}

qint64 RingBuffer::nextDataBlockSize() const
{
    if (m_chunks.empty())
        return 0;
    const Chunk &front = m_chunks.front();
    return front.bytes.size() - front.head;
}

void RingBuffer::free(qint64 len)
{
    while (len > 0 && !m_chunks.empty()) {
        Chunk &front = m_chunks.front();
        const qint64 block = front.bytes.size() - front.head;
        if (len < block) {
            front.head += static_cast<int>(len);
            m_size -= len;
            return;
        }
        len -= block;
        m_size -= block;
        m_chunks.pop_front();
    }
}

qint64 RingBuffer::read(char *data, qint64 maxLen)
{
    qint64 done = 0;
    while (done < maxLen && m_size > 0) {
        const qint64 n = std::min(maxLen - done, nextDataBlockSize());
        std::memcpy(data + done, readPointer(), static_cast<size_t>(n));
        free(n);
        done += n;
    }
    return done;
}

qint64 RingBuffer::readLine(char *data, qint64 maxLen)
{
    const qint64 lf = indexOf('\n');
    const qint64 wanted = lf < 0 ? maxLen : std::min(maxLen, lf + 1);
    return read(data, wanted);
}

qint64 RingBuffer::indexOf(char c) const
{
    qint64 offset = 0;
    for (const Chunk &chunk : m_chunks) {
        const char *begin = chunk.bytes.constData() + chunk.head;
        const qint64 len = chunk.bytes.size() - chunk.head;
        if (const void *hit = std::memchr(begin, c, static_cast<size_t>(len)))
            return offset + (static_cast<const char *>(hit) - begin);
        offset += len;
    }
    return -1;
}

QByteArray RingBuffer::readAll()
{
    QByteArray all;
    all.resize(static_cast<int>(m_size));
    read(all.data(), all.size());
    return all;
}

void RingBuffer::clear()
{
    m_chunks.clear();
    m_size = 0;
}
