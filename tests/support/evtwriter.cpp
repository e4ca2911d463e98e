#include "support/evtwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <stdexcept>

namespace testsupport {

namespace {

void addU16(QByteArray &bytes, quint16 value)
{
    bytes.append(char(value & 0xFF)).append(char(value >> 8));
}

void addU32(QByteArray &bytes, std::initializer_list<quint32> values)
{
    for (quint32 value : values) {
        addU16(bytes, quint16(value & 0xFFFF));
        addU16(bytes, quint16(value >> 16));
    }
}

void addText(QByteArray &bytes, const QString &text)
{
    for (QChar c : text)
        addU16(bytes, c.unicode());
    addU16(bytes, 0);
}

QByteArray eofRecord(quint32 begin, quint32 end, quint32 next, quint32 oldest)
{
    QByteArray eof;
    addU32(eof, {EvtWriter::EofSize, 0x11111111, 0x22222222, 0x33333333, 0x44444444, begin, end, next, oldest,
                 EvtWriter::EofSize});
    return eof;
}

} // namespace

EvtWriter::EvtWriter(quint32 maxSize) : m_maxSize(maxSize), m_file(int(maxSize), '\0')
{
    if (maxSize < HeaderSize + EofSize + 64)
        throw std::invalid_argument("event log too small");
}

QByteArray EvtWriter::record(quint32 recordNumber, quint32 timeGenerated, quint32 eventId, const QStringList &strings,
                             const QByteArray &data, const QString &source, const QString &computer)
{
    QByteArray names;
    addText(names, source);
    addText(names, computer);
    while ((56 + names.size()) % 4 != 0)
        names.append('\0');
    QByteArray texts;
    for (const QString &text : strings)
        addText(texts, text);

    const quint32 stringOffset = 56 + quint32(names.size());
    const quint32 dataOffset = stringOffset + quint32(texts.size());
    quint32 length = dataOffset + quint32(data.size()) + 4;
    const quint32 padding = (4 - length % 4) % 4;
    length += padding;

    QByteArray bytes;
    // length, "LfLe", number, time generated, time written, event id
    addU32(bytes, {length, 0x654c664c, recordNumber, timeGenerated, timeGenerated, eventId});
    addU16(bytes, 8); // audit success
    addU16(bytes, quint16(strings.size()));
    addU32(bytes, {0}); // category and reserved flags
    // closing record number, string offset, no user SID (length, offset), data length and offset
    addU32(bytes, {0, stringOffset, 0, stringOffset, quint32(data.size()), dataOffset});
    bytes += names;
    bytes += texts;
    bytes += data;
    bytes.append(int(padding), '\0');
    addU32(bytes, {length});
    return bytes;
}

quint32 EvtWriter::append(quint32 eventId, const QDateTime &time, const QStringList &strings, const QByteArray &data)
{
    return appendRaw(record(m_current, quint32(time.toSecsSinceEpoch()), eventId, strings, data));
}

quint32 EvtWriter::appendRaw(const QByteArray &bytes)
{
    const quint32 ring = m_maxSize - HeaderSize;
    const quint32 length = quint32(bytes.size());
    if (length + EofSize > ring)
        throw std::invalid_argument("record larger than the event log");
    // Give up the oldest records until the new one and the end-of-file record fit.
    while (m_used + length + EofSize > ring) {
        m_begin = advance(m_begin, m_lengths.front());
        m_used -= m_lengths.front();
        m_lengths.pop_front();
        ++m_oldest;
        m_wrapped = true;
    }
    if (m_end + length > m_maxSize)
        m_wrapped = true;
    put(m_end, bytes);
    m_end = advance(m_end, length);
    m_used += length;
    m_lengths.push_back(length);

    put(m_end, eofRecord(m_begin, m_end, m_current + 1, m_oldest));
    return m_current++;
}

void EvtWriter::clear()
{
    m_file.fill('\0');
    m_lengths.clear();
    m_used = 0;
    m_begin = m_end = HeaderSize;
    m_oldest = m_current = 1;
    m_wrapped = false;
}

QByteArray EvtWriter::bytes() const
{
    QByteArray file = m_file;
    if (m_lengths.empty()) // an empty log still closes with its end-of-file record
        file.replace(int(m_end), int(EofSize), eofRecord(HeaderSize, HeaderSize, m_current, m_current));
    QByteArray header;
    // size, "LfLe", version 1.1, begin, end, next and oldest record, maximum size, flags, retention, size
    addU32(header, {HeaderSize, 0x654c664c, 1, 1, m_headerStale ? HeaderSize : m_begin,
                    m_headerStale ? HeaderSize : m_end, m_headerStale ? 1 : m_current, m_headerStale ? 0 : m_oldest,
                    m_maxSize, (m_headerStale ? 0x1u : 0u) | (m_wrapped ? 0x2u : 0u), 0, HeaderSize});
    return file.replace(0, int(HeaderSize), header);
}

void EvtWriter::save(const QString &path) const
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    const QByteArray content = bytes();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        throw std::runtime_error(("cannot write " + path).toStdString());
}

void EvtWriter::put(quint32 offset, const QByteArray &bytes)
{
    quint32 at = offset;
    for (char byte : bytes) {
        m_file[int(at)] = byte;
        at = advance(at, 1);
    }
}

quint32 EvtWriter::advance(quint32 offset, quint32 distance) const
{
    const quint32 ring = m_maxSize - HeaderSize;
    return (offset - HeaderSize + distance) % ring + HeaderSize;
}

} // namespace testsupport
