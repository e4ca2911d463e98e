#include "eventsource/eventlogfile.h"

#include "eventsource/apiwindowseventlog.h"
#include "log/applicationdebug.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QtEndian>

namespace userCollector {

namespace {

quint32 u32At(const char *data)
{
    return qFromLittleEndian<quint32>(data);
}

// Far above any real record; a longer one is damage, not a reason to allocate.
constexpr quint32 MaxRecordSize = 16 * 1024 * 1024;

// Header fields (offsets) of the file.
constexpr int HeaderEndOffset = 20;
constexpr int HeaderEndHeaderSize = 44;
constexpr quint32 HeaderMagicSize = 0x30;

// The end-of-file record: its size, four marker words, then begin offset,
// end offset, current record number, oldest record number and the size again.
constexpr quint32 EofMarker[5] = {0x28, 0x11111111, 0x22222222, 0x33333333, 0x44444444};
enum EofField { EofBegin = 5, EofEnd = 6, EofCurrent = 7, EofOldest = 8, EofSizeEnd = 9 };

QMutex storeRootMutex;
QString storeRootOverride; // guarded by storeRootMutex; set by tests before sources run

} // namespace

void EventLogFile::close()
{
    m_file.close();
    m_offsets.clear();
    m_positioned = false;
    m_corrupt = false;
}

bool EventLogFile::fail(quint32 code, const QString &detail)
{
    m_lastError = code;
    m_detail = detail;
    if (!detail.isEmpty())
        ApplicationDebug::logLow(QStringLiteral("%1: %2").arg(m_server, detail));
    return false;
}

bool EventLogFile::open(const QString &server, const QString &logName)
{
    close();
    m_server = server;
    m_lastError = 0;
    m_detail.clear();

    // A server name is one folder of the store, never a path.
    if (server.isEmpty() || server.contains(QLatin1Char('/')) || server == QLatin1String(".") ||
        server == QLatin1String(".."))
        return fail(ErrorServerUnavailable);
    // The store entry is the server's folder or, as the other reader allows,
    // the saved log itself.
    const QFileInfo entry(QDir(storeRoot()).filePath(server));
    if (!entry.exists())
        return fail(ErrorServerUnavailable);
    const QString path =
        entry.isDir() ? QDir(entry.filePath()).filePath(logName + QStringLiteral(".evt")) : entry.filePath();
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile())
        return fail(ErrorFileNotFound);
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly))
        return fail(info.isReadable() ? ErrorFileNotFound : ErrorAccessDenied);

    const qint64 size = m_file.size();
    if (size < qint64(HeaderSize + EofSize) || size > qint64(0xFFFFFFFFu)) {
        m_file.close();
        return fail(ErrorFileCorrupt,
                    QStringLiteral("%1: a file of %2 bytes cannot be an event log").arg(path).arg(size));
    }
    m_ringEnd = quint64(size);

    char header[HeaderSize];
    if (m_file.read(header, HeaderSize) != HeaderSize || u32At(header) != HeaderMagicSize ||
        u32At(header + 4) != EventLogRecord::Signature || u32At(header + HeaderEndHeaderSize) != HeaderMagicSize) {
        m_file.close();
        return fail(ErrorFileCorrupt, QStringLiteral("%1: the header is not an event-log header").arg(path));
    }

    // The header's bounds are only rewritten now and then (a live log stays
    // flagged dirty); the end-of-file record always holds the current ones.
    // It is found where the header says or, when the header is stale, after it.
    quint32 eof[10];
    quint64 eofAt = u32At(header + HeaderEndOffset);
    if (eofAt < HeaderSize || eofAt >= m_ringEnd)
        eofAt = HeaderSize;
    if (!isEofRecordAt(eofAt, eof) && !findEofRecord(eofAt, eof, &eofAt)) {
        m_file.close();
        return fail(ErrorFileCorrupt, QStringLiteral("%1: no end-of-file record").arg(path));
    }

    m_beginOffset = eof[EofBegin];
    m_endOffset = eofAt;
    m_oldestNumber = eof[EofOldest];
    m_currentNumber = eof[EofCurrent];
    if (m_oldestNumber == 0 || m_currentNumber <= m_oldestNumber) {
        // An empty log (a fresh or cleared file).
        m_oldestNumber = m_currentNumber = qMax<quint32>(m_currentNumber, 1);
        m_beginOffset = m_endOffset;
    }
    const quint64 count = m_currentNumber - m_oldestNumber;
    if (m_beginOffset < HeaderSize || m_beginOffset >= m_ringEnd ||
        count * (EventLogRecord::FixedSize + 4) > ringDistance(m_beginOffset, m_endOffset)) {
        m_file.close();
        return fail(ErrorFileCorrupt,
                    QStringLiteral("%1: the end-of-file record claims %2 records between offsets %3 and %4")
                        .arg(path)
                        .arg(count)
                        .arg(m_beginOffset)
                        .arg(m_endOffset));
    }
    m_offsets.insert(m_oldestNumber, m_beginOffset);
    m_offsets.insert(m_currentNumber, m_endOffset); // where the next record would start
    return true;
}

bool EventLogFile::readRing(quint64 offset, char *target, quint32 length)
{
    if (offset < HeaderSize || offset >= m_ringEnd || length > m_ringEnd - HeaderSize)
        return false;
    const quint32 first = quint32(qMin<quint64>(length, m_ringEnd - offset));
    if (!m_file.seek(qint64(offset)) || m_file.read(target, first) != first)
        return false;
    if (first == length)
        return true;
    return m_file.seek(HeaderSize) && m_file.read(target + first, length - first) == length - first;
}

quint64 EventLogFile::ringAdvance(quint64 offset, quint64 distance) const
{
    const quint64 ring = m_ringEnd - HeaderSize;
    return (offset - HeaderSize + distance % ring) % ring + HeaderSize;
}

quint64 EventLogFile::ringBack(quint64 offset, quint64 distance) const
{
    const quint64 ring = m_ringEnd - HeaderSize;
    return (offset - HeaderSize + ring - distance % ring) % ring + HeaderSize;
}

quint64 EventLogFile::ringDistance(quint64 from, quint64 to) const
{
    return to >= from ? to - from : (m_ringEnd - from) + (to - HeaderSize);
}

bool EventLogFile::isEofRecordAt(quint64 offset, quint32 *values)
{
    char raw[EofSize];
    if (!readRing(offset, raw, EofSize))
        return false;
    for (int i = 0; i < 10; ++i)
        values[i] = u32At(raw + 4 * i);
    for (int i = 0; i < 5; ++i) {
        if (values[i] != EofMarker[i])
            return false;
    }
    return values[EofSizeEnd] == EofSize && values[EofEnd] == offset;
}

bool EventLogFile::findEofRecord(quint64 from, quint32 *values, quint64 *at)
{
    // Scan the ring once, in chunks that overlap by a record's size so that a
    // marker split between chunks or across the wrap is still seen.
    const quint64 ring = m_ringEnd - HeaderSize;
    const quint32 chunk = 64 * 1024;
    QByteArray marker(20, Qt::Uninitialized);
    for (int i = 0; i < 5; ++i)
        qToLittleEndian<quint32>(EofMarker[i], marker.data() + 4 * i);
    QByteArray data;
    for (quint64 done = 0; done < ring; done += chunk) {
        const quint32 length = quint32(qMin<quint64>(quint64(chunk) + EofSize, ring));
        data.resize(int(length));
        if (!readRing(ringAdvance(from, done), data.data(), length))
            return false;
        for (int found = data.indexOf(marker); found >= 0 && quint64(found) < chunk;
             found = data.indexOf(marker, found + 1)) {
            const quint64 offset = ringAdvance(from, done + quint64(found));
            if (isEofRecordAt(offset, values)) {
                *at = offset;
                return true;
            }
        }
    }
    return false;
}

bool EventLogFile::checkRecordAt(quint64 offset, quint32 number, quint32 *length)
{
    const quint64 room = ringDistance(offset, m_endOffset);
    char fixed[EventLogRecord::FixedSize];
    QString why;
    if (room < EventLogRecord::FixedSize + 4 || !readRing(offset, fixed, EventLogRecord::FixedSize)) {
        why = QStringLiteral("no room for a record");
    } else {
        const quint32 size = u32At(fixed);
        char tail[4];
        if (size < EventLogRecord::FixedSize + 4 || size % 4 != 0 || size > room || size > MaxRecordSize)
            why = QStringLiteral("length %1 does not fit").arg(size);
        else if (u32At(fixed + 4) != EventLogRecord::Signature)
            why = QStringLiteral("no signature");
        else if (u32At(fixed + 8) != number)
            why = QStringLiteral("it holds record %1").arg(u32At(fixed + 8));
        else if (!readRing(ringAdvance(offset, size - 4), tail, 4) || u32At(tail) != size)
            why = QStringLiteral("its closing length differs from %1").arg(size);
        else
            *length = size;
    }
    if (why.isEmpty())
        return true;
    m_detail = QStringLiteral("%1: record %2 at offset %3 is damaged: %4")
                   .arg(m_file.fileName())
                   .arg(number)
                   .arg(offset)
                   .arg(why);
    return false;
}

bool EventLogFile::locate(quint32 number, quint64 *offset)
{
    // Walk from the nearest record whose place is known; every step checks
    // the record it passes, so a damaged file stops the walk.
    auto upper = m_offsets.lowerBound(number);
    if (upper != m_offsets.end() && upper.key() == number) {
        *offset = upper.value();
        return true;
    }
    if (upper == m_offsets.end() || upper == m_offsets.begin())
        return false;
    auto lower = std::prev(upper);
    if (number - lower.key() <= upper.key() - number) {
        quint32 at = lower.key();
        quint64 place = lower.value();
        while (at < number) {
            quint32 length = 0;
            if (!checkRecordAt(place, at, &length))
                return false;
            place = ringAdvance(place, length);
            m_offsets.insert(++at, place);
        }
        *offset = place;
        return true;
    }
    quint32 at = upper.key();
    quint64 place = upper.value();
    while (at > number) {
        char tail[4];
        const quint64 room = ringDistance(m_beginOffset, place);
        if (room < EventLogRecord::FixedSize + 4 || !readRing(ringBack(place, 4), tail, 4)) {
            m_detail = QStringLiteral("%1: no room for record %2 before offset %3")
                           .arg(m_file.fileName())
                           .arg(at - 1)
                           .arg(place);
            return false;
        }
        const quint32 size = u32At(tail);
        quint32 length = 0;
        if (size < EventLogRecord::FixedSize + 4 || size % 4 != 0 || size > room || size > MaxRecordSize) {
            m_detail = QStringLiteral("%1: record %2 before offset %3 is damaged: closing length %4 does not fit")
                           .arg(m_file.fileName())
                           .arg(at - 1)
                           .arg(place)
                           .arg(size);
            return false;
        }
        place = ringBack(place, size);
        if (!checkRecordAt(place, at - 1, &length))
            return false;
        m_offsets.insert(--at, place);
    }
    *offset = place;
    return true;
}

bool EventLogFile::read(quint32 flags, quint32 recordNumber, char *buffer, quint32 bufferSize, quint32 *bytesRead,
                        quint32 *bytesNeeded)
{
    *bytesRead = 0;
    *bytesNeeded = 0;
    m_detail.clear();
    if (!isOpen())
        return fail(ErrorInvalidHandle);
    const bool sequential = flags & SequentialRead;
    const bool seek = flags & SeekRead;
    const bool forwards = flags & ForwardsRead;
    const bool backwards = flags & BackwardsRead;
    if (sequential == seek || forwards == backwards || (!buffer && bufferSize > 0))
        return fail(ErrorInvalidParameter);
    if (m_corrupt)
        return fail(ErrorFileCorrupt);

    quint32 number = 0;
    if (seek) {
        if (recordNumber < m_oldestNumber || recordNumber >= m_currentNumber)
            return fail(ErrorInvalidParameter);
        number = recordNumber;
    } else if (m_oldestNumber == m_currentNumber) {
        return fail(ErrorHandleEof);
    } else if (!m_positioned) {
        number = forwards ? m_oldestNumber : m_currentNumber - 1;
    } else {
        if ((forwards && m_lastReadNumber + 1 >= m_currentNumber) || (backwards && m_lastReadNumber <= m_oldestNumber))
            return fail(ErrorHandleEof);
        number = forwards ? m_lastReadNumber + 1 : m_lastReadNumber - 1;
    }

    quint32 used = 0;
    while (true) {
        quint64 offset = 0;
        quint32 length = 0;
        if (!locate(number, &offset) || !checkRecordAt(offset, number, &length) ||
            (bufferSize - used >= length && !readRing(offset, buffer + used, length))) {
            if (m_detail.isEmpty())
                m_detail = QStringLiteral("%1: record %2 cannot be read").arg(m_file.fileName()).arg(number);
            if (used == 0)
                return fail(ErrorFileCorrupt, m_detail);
            ApplicationDebug::logLow(QStringLiteral("%1: %2").arg(m_server, m_detail));
            // Hand out what was sound; the next read reports the damage.
            m_corrupt = true;
            break;
        }
        if (bufferSize - used < length) {
            if (used > 0)
                break;
            *bytesNeeded = length;
            return fail(ErrorInsufficientBuffer);
        }
        used += length;
        m_lastReadNumber = number;
        m_positioned = true;
        if (forwards ? number + 1 >= m_currentNumber : number <= m_oldestNumber)
            break;
        number = forwards ? number + 1 : number - 1;
    }
    *bytesRead = used;
    m_lastError = 0;
    return true;
}

QString EventLogFile::errorText(quint32 code)
{
    QString message;
    switch (code) {
    case ErrorFileNotFound:
        message = QStringLiteral("The system cannot find the file specified.");
        break;
    case ErrorAccessDenied:
        message = QStringLiteral("Access is denied.");
        break;
    case ErrorInvalidHandle:
        message = QStringLiteral("The handle is invalid.");
        break;
    case ErrorHandleEof:
        message = QStringLiteral("Reached the end of the file.");
        break;
    case ErrorInvalidParameter:
        message = QStringLiteral("The parameter is incorrect.");
        break;
    case ErrorInsufficientBuffer:
        message = QStringLiteral("The data area passed to a system call is too small.");
        break;
    case ErrorFileCorrupt:
        message = QStringLiteral("The event log file is corrupted.");
        break;
    case ErrorServerUnavailable:
        message = QStringLiteral("The RPC server is unavailable.");
        break;
    default:
        message = QStringLiteral("Unknown error.");
        break;
    }
    return QStringLiteral("%1 (error: %2)").arg(message).arg(code);
}

QString EventLogFile::storeRoot()
{
    {
        QMutexLocker lock(&storeRootMutex);
        if (!storeRootOverride.isEmpty())
            return storeRootOverride;
    }
    // Both readers share the event store beside the executable.
    return ApiWindowsEventLog::storeRoot();
}

void EventLogFile::setStoreRootForTest(const QString &root)
{
    QMutexLocker lock(&storeRootMutex);
    storeRootOverride = root;
}

} // namespace userCollector
