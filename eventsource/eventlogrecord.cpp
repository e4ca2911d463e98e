#include "eventsource/eventlogrecord.h"

#include <QtEndian>

namespace userCollector {

namespace {

quint32 u32At(const char *data)
{
    return qFromLittleEndian<quint32>(data);
}
quint16 u16At(const char *data)
{
    return qFromLittleEndian<quint16>(data);
}

} // namespace

bool EventLogRecordReader::next(EventLogRecord *record)
{
    if (failed() || m_offset >= m_size)
        return false;
    const quint32 left = m_size - m_offset;
    if (left < 4) {
        m_error = QStringLiteral("%1 bytes left over after the last record").arg(left);
        return false;
    }
    const char *data = m_buffer + m_offset;
    const quint32 length = u32At(data);
    if (length == 0)
        m_error = QStringLiteral("record length is zero");
    else if (length % 4 != 0)
        m_error = QStringLiteral("record length %1 is not a whole number of 32-bit words").arg(length);
    else if (length < EventLogRecord::FixedSize)
        m_error = QStringLiteral("record length %1 is shorter than the fixed part").arg(length);
    else if (length > left)
        m_error =
            QStringLiteral("record length %1 runs past the end of the data (%2 bytes left)").arg(length).arg(left);
    else if (u32At(data + 4) != EventLogRecord::Signature)
        m_error = QStringLiteral("record has no signature");
    if (failed())
        return false;

    record->data = data;
    record->length = length;
    record->recordNumber = u32At(data + 8);
    record->timeGenerated = u32At(data + 12);
    record->eventId = u32At(data + 20);
    record->numStrings = u16At(data + 26);
    record->stringOffset = u32At(data + 36);
    m_offset += length;
    return true;
}

bool eventLogRecordStrings(const EventLogRecord &record, QStringList *strings, QString *error)
{
    strings->clear();
    if (record.numStrings == 0)
        return true;
    // The last word of a record repeats its length; strings end before it.
    const quint32 end = record.length - 4;
    if (record.stringOffset < EventLogRecord::FixedSize || record.stringOffset >= end) {
        *error = QStringLiteral("string offset %1 lies outside the record (length %2)")
                     .arg(record.stringOffset)
                     .arg(record.length);
        return false;
    }
    strings->reserve(record.numStrings);
    quint32 pos = record.stringOffset;
    for (int index = 0; index < record.numStrings; ++index) {
        quint32 stop = pos;
        while (stop + 2 <= end && u16At(record.data + stop) != 0)
            stop += 2;
        if (stop + 2 > end) {
            *error = QStringLiteral("string %1 has no terminating zero").arg(index);
            strings->clear();
            return false;
        }
        QString text((stop - pos) / 2, Qt::Uninitialized);
        QChar *out = text.data();
        for (quint32 at = pos; at < stop; at += 2)
            *out++ = QChar(u16At(record.data + at));
        strings->append(text);
        pos = stop + 2;
    }
    return true;
}

} // namespace userCollector
