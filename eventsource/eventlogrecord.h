#pragma once

#include <QString>
#include <QStringList>

namespace userCollector {

// The fixed part of a legacy event-log record (the published layout, all
// integers little-endian), as found in a read buffer. data points into the
// caller's buffer and stays valid as long as that buffer does.
struct EventLogRecord
{
    static constexpr quint32 FixedSize = 56;         // length .. data offset
    static constexpr quint32 Signature = 0x654c664c; // "LfLe"

    const char *data = nullptr;
    quint32 length = 0;
    quint32 recordNumber = 0;
    quint32 timeGenerated = 0; // seconds since 1970-01-01 UTC
    quint32 eventId = 0;
    quint16 numStrings = 0;
    quint32 stringOffset = 0;
};

// Walks the records that one read left in a buffer, each starting where the
// previous one ends. Never reads outside [buffer, buffer + size): a record
// whose length is zero, not a whole number of 32-bit words, shorter than the
// fixed part or running past the end of the data ends the walk, and error()
// says why; the records before it were already handed out.
class EventLogRecordReader
{
public:
    EventLogRecordReader(const char *buffer, quint32 size) : m_buffer(buffer), m_size(size) {}

    // False at the end of the data or at a record that is not sound.
    bool next(EventLogRecord *record);
    bool failed() const { return !m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    // Offset of the record that next() returns next (or refused).
    quint32 offset() const { return m_offset; }

private:
    const char *m_buffer;
    quint32 m_size;
    quint32 m_offset = 0;
    QString m_error;
};

// The insertion strings of a record, zero-terminated UTF-16 texts one after
// the other from the string offset. False, with the reason in *error, when the
// strings do not lie inside the record's variable part or one of them has no
// terminating zero there.
bool eventLogRecordStrings(const EventLogRecord &record, QStringList *strings, QString *error);

} // namespace userCollector
