#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <deque>

namespace testsupport {

// Writes legacy event-log files the way the event-log service keeps them: a
// 48-byte header, then a circular buffer of records in the published layout
// closed by an end-of-file record. When the buffer is full the oldest records
// are given up and new ones wrap round to just after the header, split if
// need be. clear() empties the log and restarts the record numbers at 1.
class EvtWriter
{
public:
    static constexpr quint32 HeaderSize = 48;
    static constexpr quint32 EofSize = 40;

    // maxSize is the whole file: header plus circular buffer.
    explicit EvtWriter(quint32 maxSize = 64 * 1024);

    // One record in the published layout: fixed part, source and computer
    // names, insertion strings, data, padding to a 32-bit boundary and the
    // closing length.
    static QByteArray record(quint32 recordNumber, quint32 timeGenerated, quint32 eventId, const QStringList &strings,
                             const QByteArray &data = QByteArray(), const QString &source = QStringLiteral("Security"),
                             const QString &computer = QStringLiteral("DC1"));

    // Appends a record with the next number; returns that number.
    quint32 append(quint32 eventId, const QDateTime &time, const QStringList &strings,
                   const QByteArray &data = QByteArray());
    // Appends bytes as given (a damaged record); they take the next number.
    quint32 appendRaw(const QByteArray &bytes);
    void clear();

    // A live log's header is only rewritten now and then: when stale, the
    // header keeps the bounds of an empty log and the dirty flag.
    void setHeaderStale(bool stale) { m_headerStale = stale; }

    quint32 oldestRecord() const { return m_oldest; }
    quint32 currentRecord() const { return m_current; } // the next record's number
    bool wrapped() const { return m_wrapped; }
    quint32 endOffset() const { return m_end; }

    QByteArray bytes() const;
    // Writes the file, creating its folder. Throws on failure.
    void save(const QString &path) const;

private:
    void put(quint32 offset, const QByteArray &bytes);
    quint32 advance(quint32 offset, quint32 distance) const;

    quint32 m_maxSize;
    QByteArray m_file;
    std::deque<quint32> m_lengths; // lengths of the records held, oldest first
    quint32 m_used = 0;
    quint32 m_begin = HeaderSize;
    quint32 m_end = HeaderSize;
    quint32 m_oldest = 1;
    quint32 m_current = 1;
    bool m_wrapped = false;
    bool m_headerStale = false;
};

} // namespace testsupport
