#pragma once

#include "eventsource/eventlogrecord.h"

#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>

namespace userCollector {

// A legacy event-log file opened like a remote log: "eventlog/<server>/<log>.evt"
// beside the executable (or "eventlog/<server>" when that is the file itself). The file is a 48-byte header followed by
// a circular buffer of records, closed by an end-of-file record that holds the current bounds (authoritative when the
// header is stale or flagged dirty). Reads hand out whole records in the published layout with the outcomes of the
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

    // The event store beside the executable that the Windows Event Log
    // reader also uses, unless a test set another root for this reader.
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
