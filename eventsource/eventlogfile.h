#pragma once

#include <QFile>
#include <QMap>
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

// A legacy event-log file opened like a remote log: "eventlog/<server>/<log>.evt"
// beside the executable. The file is a 48-byte header followed by a circular
// buffer of records, closed by an end-of-file record that holds the current
// bounds (authoritative when the header is stale or flagged dirty). Reads hand
// out whole records in the published layout with the outcomes of the
// platform's read call: records, buffer too small (with the size needed),
// invalid parameter (such as a record number the file no longer holds) or end
// of the log. Only the records touched are read from disk, so a collection
// costs in proportion to the records it reads. One thread at a time.
class EventLogFile
{
public:
    enum ReadFlag : quint32 {
        SequentialRead = 0x1,
        SeekRead = 0x2,
        ForwardsRead = 0x4,
        BackwardsRead = 0x8,
    };

    // Failure codes, the platform's own numbers.
    static constexpr quint32 ErrorFileNotFound = 2;
    static constexpr quint32 ErrorAccessDenied = 5;
    static constexpr quint32 ErrorInvalidHandle = 6;
    static constexpr quint32 ErrorHandleEof = 38;
    static constexpr quint32 ErrorInvalidParameter = 87;
    static constexpr quint32 ErrorInsufficientBuffer = 122;
    static constexpr quint32 ErrorFileCorrupt = 1500;
    static constexpr quint32 ErrorServerUnavailable = 1722;

    EventLogFile() = default;
    EventLogFile(const EventLogFile &) = delete;
    EventLogFile &operator=(const EventLogFile &) = delete;
    ~EventLogFile() { close(); }

    // Fails with ErrorServerUnavailable when the server has no store folder,
    // ErrorFileNotFound when the log file is missing, ErrorFileCorrupt when
    // its header or end-of-file record cannot be trusted.
    bool open(const QString &server, const QString &logName);
    bool isOpen() const { return m_file.isOpen(); }
    void close();

    // Reads whole records into buffer, as many as fit, from recordNumber (with
    // SeekRead) or from where the previous read stopped (SequentialRead; the
    // first sequential read starts at the newest record backwards, the oldest
    // forwards). On failure lastError() is ErrorInsufficientBuffer (with
    // *bytesNeeded), ErrorInvalidParameter, ErrorHandleEof or another code.
    bool read(quint32 flags, quint32 recordNumber, char *buffer, quint32 bufferSize, quint32 *bytesRead,
              quint32 *bytesNeeded);

    quint32 lastError() const { return m_lastError; }
    // What made the file unreadable, for the log; empty otherwise.
    const QString &lastErrorDetail() const { return m_detail; }

    // "<message> (error: <code>)" for the codes above.
    static QString errorText(quint32 code);

    // "<executable folder>/eventlog" unless a test set another root.
    static QString storeRoot();
    static void setStoreRootForTest(const QString &root);

private:
    static constexpr quint32 HeaderSize = 48;
    static constexpr quint32 EofSize = 40;

    bool fail(quint32 code, const QString &detail = QString());
    bool readRing(quint64 offset, char *target, quint32 length);
    quint64 ringAdvance(quint64 offset, quint64 distance) const;
    quint64 ringBack(quint64 offset, quint64 distance) const;
    quint64 ringDistance(quint64 from, quint64 to) const;
    bool isEofRecordAt(quint64 offset, quint32 *values);
    bool findEofRecord(quint64 from, quint32 *values, quint64 *at);
    bool locate(quint32 number, quint64 *offset);
    bool checkRecordAt(quint64 offset, quint32 number, quint32 *length);

    QString m_server;
    QFile m_file;
    quint64 m_ringEnd = 0;     // file size: the ring is [HeaderSize, m_ringEnd)
    quint64 m_beginOffset = 0; // oldest record
    quint64 m_endOffset = 0;   // end-of-file record
    quint32 m_oldestNumber = 0;
    quint32 m_currentNumber = 0;      // the number the next record will get
    QMap<quint32, quint64> m_offsets; // record number -> offset, for records checked so far
    bool m_positioned = false;
    quint32 m_lastReadNumber = 0; // last record handed out, for sequential reads
    bool m_corrupt = false;       // a read met a bad record after handing out good ones
    quint32 m_lastError = 0;
    QString m_detail;
};

} // namespace userCollector
