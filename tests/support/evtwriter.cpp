#include "support/evtwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <stdexcept>

namespace testsupport {

namespace {

void addU32(QByteArray &bytes, quint32 value)
{
    char raw[4];
    qToLittleEndian<quint32>(value, raw);
    bytes.append(raw, 4);
}

void addU16(QByteArray &bytes, quint16 value)
{
    char raw[2];
    qToLittleEndian<quint16>(value, raw);
    bytes.append(raw, 2);
}

void addText(QByteArray &bytes, const QString &text)
{
    for (QChar c : text)
        addU16(bytes, c.unicode());
    addU16(bytes, 0);
}

void setU32(QByteArray &bytes, int offset, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char((value >> (8 * i)) & 0xFF);
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
    addU32(bytes, length);
    addU32(bytes, 0x654c664c); // "LfLe"
    addU32(bytes, recordNumber);
    addU32(bytes, timeGenerated);
    addU32(bytes, timeGenerated); // time written
    addU32(bytes, eventId);
    addU16(bytes, 8); // audit success
    addU16(bytes, quint16(strings.size()));
    addU16(bytes, 0); // category
    addU16(bytes, 0); // reserved flags
    addU32(bytes, 0); // closing record number
    addU32(bytes, stringOffset);
    addU32(bytes, 0); // no user SID
    addU32(bytes, stringOffset);
    addU32(bytes, quint32(data.size()));
    addU32(bytes, dataOffset);
    bytes += names;
    bytes += texts;
    bytes += data;
    bytes.append(int(padding), '\0');
    addU32(bytes, length);
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

    QByteArray eof;
    addU32(eof, EofSize);
    addU32(eof, 0x11111111);
    addU32(eof, 0x22222222);
    addU32(eof, 0x33333333);
    addU32(eof, 0x44444444);
    addU32(eof, m_begin);
    addU32(eof, m_end);
    addU32(eof, m_current + 1);
    addU32(eof, m_oldest);
    addU32(eof, EofSize);
    put(m_end, eof);
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
    if (m_lengths.empty()) {
        // An empty log still closes with its end-of-file record.
        QByteArray eof;
        for (quint32 value : {EofSize, 0x11111111u, 0x22222222u, 0x33333333u, 0x44444444u, quint32(HeaderSize),
                              quint32(HeaderSize), m_current, m_current, EofSize})
            addU32(eof, value);
        file.replace(int(m_end), eof.size(), eof);
    }
    setU32(file, 0, HeaderSize);
    setU32(file, 4, 0x654c664c);
    setU32(file, 8, 1);
    setU32(file, 12, 1);
    setU32(file, 16, m_headerStale ? HeaderSize : m_begin);
    setU32(file, 20, m_headerStale ? HeaderSize : m_end);
    setU32(file, 24, m_headerStale ? 1 : m_current);
    setU32(file, 28, m_headerStale ? 0 : m_oldest);
    setU32(file, 32, m_maxSize);
    setU32(file, 36, (m_headerStale ? 0x1 : 0) | (m_wrapped ? 0x2 : 0));
    setU32(file, 40, 0);
    setU32(file, 44, HeaderSize);
    return file;
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
