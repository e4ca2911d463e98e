#include "eventsource/eventstore.h"

#include "eventsource/eventxmlparser.h"
#include "log/applicationdebug.h"

// The packaged header asks for the I/O abstraction's header, which is not
// installed; the file-name interface needs none of it.
#include <libevtx/features.h>
#undef LIBEVTX_HAVE_BFIO
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libevtx.h>
#include <sys/stat.h>
#include <unistd.h>

namespace userCollector {

namespace {

const char EvtxSignature[8] = {'E', 'l', 'f', 'F', 'i', 'l', 'e', '\0'};
constexpr qint64 ReadChunk = 4 << 20;
// The start of an appended log never changes; a log rewritten in place shows
// it there first (its first event is another).
constexpr qint64 MarkBytes = 1024;

QString evtxErrorText(libevtx_error_t *error)
{
    char text[512] = {0};
    if (error && libevtx_error_sprint(error, text, sizeof(text)) > 0)
        return QString::fromLocal8Bit(text).simplified();
    return QStringLiteral("unknown error");
}

void freeEvtxError(libevtx_error_t **error)
{
    if (*error)
        libevtx_error_free(error);
}

// A file descriptor closed on scope exit.
class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool readAt(int fd, qint64 offset, char *buffer, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, buffer + done, static_cast<std::size_t>(length - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

bool wanted(const std::vector<quint16> &eventIds, const EventValue &eventId)
{
    return eventId.type == EventValueType::UInt16 &&
           std::find(eventIds.begin(), eventIds.end(), static_cast<quint16>(eventId.number)) != eventIds.end();
}

RenderedEvent failedEvent(const QString &why)
{
    RenderedEvent event;
    event.rendered = false;
    event.renderError = EventLogError::InvalidData;
    event.renderErrorText = why;
    return event;
}

// ---------------------------------------------------------------- XML log

struct XmlEntry
{
    qint64 offset;
    qint64 length;
    QString problem; // set when the element cannot be read
};

class XmlQuery : public IEventLogQuery
{
public:
    XmlQuery(int fd, std::vector<XmlEntry> entries) : m_fd(fd), m_entries(std::move(entries)) {}

    quint32 next(int max, std::vector<RenderedEvent> *events) override
    {
        if (m_entries.empty())
            return EventLogError::NoMoreItems;
        // Elements were found oldest first; they are handed out newest first.
        for (int i = 0; i < max && !m_entries.empty(); ++i) {
            const XmlEntry entry = m_entries.back();
            m_entries.pop_back();
            if (!entry.problem.isEmpty()) {
                events->push_back(failedEvent(entry.problem));
                continue;
            }
            m_buffer.resize(static_cast<std::size_t>(entry.length));
            if (!readAt(m_fd.get(), entry.offset, m_buffer.data(), entry.length)) {
                events->push_back(
                    failedEvent(QStringLiteral("event at offset %1 could not be read again").arg(entry.offset)));
                continue;
            }
            RenderedEvent event;
            QString why;
            if (!parseEventXml(m_buffer.data(), m_buffer.size(), &event, &why))
                event = failedEvent(QStringLiteral("malformed event at offset %1: %2").arg(entry.offset).arg(why));
            events->push_back(std::move(event));
        }
        return 0;
    }

private:
    Fd m_fd;
    std::vector<XmlEntry> m_entries;
    std::vector<char> m_buffer;
};

bool isEventStart(const char *p, const char *end)
{
    if (end - p < 7 || std::memcmp(p, "<Event", 6) != 0)
        return false;
    const char c = p[6];
    return c == ' ' || c == '>' || c == '\t' || c == '\r' || c == '\n' || c == '/';
}

// Next "<Event" start in [from, end), or end.
const char *findEventStart(const char *from, const char *end)
{
    const char *p = from;
    while (p < end) {
        p = static_cast<const char *>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
        if (!p)
            return end;
        if (end - p < 7)
            return p; // may be a start cut by the buffer's end
        if (isEventStart(p, end))
            return p;
        ++p;
    }
    return end;
}

const char *findText(const char *from, const char *end, const char *text, std::size_t length)
{
    const char *p = from;
    while (end - p >= static_cast<std::ptrdiff_t>(length)) {
        p = static_cast<const char *>(std::memchr(p, text[0], static_cast<std::size_t>(end - p)));
        if (!p || end - p < static_cast<std::ptrdiff_t>(length))
            return nullptr;
        if (std::memcmp(p, text, length) == 0)
            return p;
        ++p;
    }
    return nullptr;
}

// ---------------------------------------------------------------- EVTX log

struct EvtxEntry
{
    int index;
    quint64 fileRecord;
};

class EvtxFile
{
public:
    EvtxFile() { libevtx_file_initialize(&m_file, nullptr); }
    EvtxFile(const EvtxFile &) = delete;
    EvtxFile &operator=(const EvtxFile &) = delete;
    ~EvtxFile()
    {
        if (m_open)
            libevtx_file_close(m_file, nullptr);
        if (m_file)
            libevtx_file_free(&m_file, nullptr);
    }
    bool open(const QByteArray &path, QString *why)
    {
        libevtx_error_t *error = nullptr;
        if (!m_file || libevtx_file_open(m_file, path.constData(), LIBEVTX_OPEN_READ, &error) != 1) {
            *why = evtxErrorText(error);
            freeEvtxError(&error);
            return false;
        }
        m_open = true;
        return true;
    }
    libevtx_file_t *get() const { return m_file; }

private:
    libevtx_file_t *m_file = nullptr;
    bool m_open = false;
};

class EvtxRecord
{
public:
    EvtxRecord() = default;
    EvtxRecord(const EvtxRecord &) = delete;
    EvtxRecord &operator=(const EvtxRecord &) = delete;
    ~EvtxRecord() { reset(); }
    void reset()
    {
        if (m_record)
            libevtx_record_free(&m_record, nullptr);
    }
    bool load(libevtx_file_t *file, int index, QString *why)
    {
        reset();
        libevtx_error_t *error = nullptr;
        if (libevtx_file_get_record_by_index(file, index, &m_record, &error) != 1) {
            *why = evtxErrorText(error);
            freeEvtxError(&error);
            m_record = nullptr;
            return false;
        }
        return true;
    }
    libevtx_record_t *get() const { return m_record; }

    bool xml(std::vector<char> *buffer, QString *why)
    {
        libevtx_error_t *error = nullptr;
        std::size_t size = 0;
        if (libevtx_record_get_utf8_xml_string_size(m_record, &size, &error) != 1 || size == 0 ||
            size > static_cast<std::size_t>(EventStore::MaxEventBytes)) {
            *why = size > static_cast<std::size_t>(EventStore::MaxEventBytes) ? QStringLiteral("event too large")
                                                                              : evtxErrorText(error);
            freeEvtxError(&error);
            return false;
        }
        buffer->resize(size);
        if (libevtx_record_get_utf8_xml_string(m_record, reinterpret_cast<uint8_t *>(buffer->data()), size, &error) !=
            1) {
            *why = evtxErrorText(error);
            freeEvtxError(&error);
            return false;
        }
        // The size counts the terminating zero.
        while (!buffer->empty() && buffer->back() == '\0')
            buffer->pop_back();
        return true;
    }

private:
    libevtx_record_t *m_record = nullptr;
};

class EvtxQuery : public IEventLogQuery
{
public:
    EvtxQuery(std::unique_ptr<EvtxFile> file, std::vector<EvtxEntry> entries, std::vector<QString> problems,
              quint64 afterRecordId, std::vector<quint16> eventIds)
        : m_file(std::move(file)), m_entries(std::move(entries)), m_problems(std::move(problems)),
          m_afterRecordId(afterRecordId), m_eventIds(std::move(eventIds))
    {}

    quint32 next(int max, std::vector<RenderedEvent> *events) override
    {
        int count = 0;
        // Unreadable records have no place in time; they are reported first.
        while (count < max && !m_problems.empty()) {
            events->push_back(failedEvent(m_problems.back()));
            m_problems.pop_back();
            ++count;
        }
        EvtxRecord record;
        while (count < max && !m_entries.empty()) {
            const EvtxEntry entry = m_entries.back();
            m_entries.pop_back();
            QString why;
            RenderedEvent event;
            if (!record.load(m_file->get(), entry.index, &why) || !record.xml(&m_buffer, &why)) {
                events->push_back(failedEvent(QStringLiteral("record %1: %2").arg(entry.fileRecord).arg(why)));
                ++count;
                continue;
            }
            if (!parseEventXml(m_buffer.data(), m_buffer.size(), &event, &why)) {
                events->push_back(failedEvent(QStringLiteral("record %1: %2").arg(entry.fileRecord).arg(why)));
                ++count;
                continue;
            }
            // The query's condition on the rendered event: above the bookmark, one of the identifiers.
            const EventValue &recordId = event.values[ValueEventRecordId];
            if (recordId.type != EventValueType::UInt64 || recordId.number <= m_afterRecordId ||
                !wanted(m_eventIds, event.values[ValueEventId]))
                continue;
            events->push_back(std::move(event));
            ++count;
        }
        return count == 0 ? EventLogError::NoMoreItems : 0;
    }

private:
    std::unique_ptr<EvtxFile> m_file;
    std::vector<EvtxEntry> m_entries; // oldest first by file record number
    std::vector<QString> m_problems;
    quint64 m_afterRecordId;
    std::vector<quint16> m_eventIds;
    std::vector<char> m_buffer;
};

class EmptyQuery : public IEventLogQuery
{
public:
    quint32 next(int, std::vector<RenderedEvent> *) override { return EventLogError::NoMoreItems; }
};

} // namespace

// ---------------------------------------------------------------- session

class EventStoreSession : public IEventLogSession
{
public:
    EventStoreSession(EventStore *store, const QString &server, const QString &location)
        : m_store(store), m_server(server), m_location(location)
    {}

    std::unique_ptr<IEventLogQuery> query(quint64 afterRecordId, const std::vector<quint16> &eventIds,
                                          quint32 *error) override;
    quint32 testQuery() override;

private:
    enum class Kind { Xml, Evtx, EmptyEvtx };
    quint32 resolve(QString *path, Kind *kind) const;
    std::unique_ptr<IEventLogQuery> queryXml(const QString &path, quint64 afterRecordId,
                                             const std::vector<quint16> &eventIds, quint32 *error);
    std::unique_ptr<IEventLogQuery> queryEvtx(const QString &path, quint64 afterRecordId,
                                              const std::vector<quint16> &eventIds, quint32 *error);
    void logProblem(const QString &text) const
    {
        ApplicationDebug::logLow(QStringLiteral("%1: %2").arg(m_server, text));
    }

    EventStore *m_store;
    QString m_server;
    QString m_location;
};

EventStore::EventStore(const QString &root) : m_root(root) {}

std::unique_ptr<IEventLogSession> EventStore::openSession(const QString &server, quint32 *error)
{
    // The server name becomes a path: nothing that leaves the store root.
    if (server.isEmpty() || server.size() > 254 || server.contains(QLatin1Char('/')) ||
        server.contains(QLatin1Char('\0')) || server == QLatin1String(".") || server == QLatin1String("..")) {
        *error = EventLogError::RpcServerUnavailable;
        return nullptr;
    }
    const QString location = m_root + QLatin1Char('/') + server;
    const QFileInfo info(location);
    if (!info.exists() || !(info.isDir() || info.isFile())) {
        *error = EventLogError::RpcServerUnavailable;
        return nullptr;
    }
    *error = 0;
    return std::make_unique<EventStoreSession>(this, server, location);
}

QString EventStore::errorMessage(quint32 error) const
{
    switch (error) {
    case EventLogError::InvalidData:
        return QStringLiteral("The data is invalid.");
    case EventLogError::NoMoreItems:
        return QStringLiteral("No more data is available.");
    case EventLogError::RpcServerUnavailable:
        return QStringLiteral("The RPC server is unavailable.");
    case EventLogError::InvalidQuery:
        return QStringLiteral("The specified query is invalid.");
    case EventLogError::ChannelNotFound:
        return QStringLiteral("The specified channel could not be found.");
    default:
        return IEventLogPlatform::errorMessage(error);
    }
}

QString IEventLogPlatform::errorMessage(quint32 error) const
{
    return QString::fromLocal8Bit(std::strerror(static_cast<int>(error)));
}

quint32 EventStoreSession::resolve(QString *path, Kind *kind) const
{
    const QFileInfo location(m_location);
    if (!location.exists())
        return EventLogError::RpcServerUnavailable; // the folder went away after the session was opened
    if (location.isFile()) {
        *path = m_location;
    } else {
        const QDir dir(m_location);
        if (QFileInfo(dir.filePath(QStringLiteral("Security.evtx"))).isFile())
            *path = dir.filePath(QStringLiteral("Security.evtx"));
        else if (QFileInfo(dir.filePath(QStringLiteral("Security.xml"))).isFile())
            *path = dir.filePath(QStringLiteral("Security.xml"));
    }
    if (path->isEmpty())
        return EventLogError::ChannelNotFound;
    // The content decides the kind, so a single file of either kind can be given.
    const Fd fd(::open(QFile::encodeName(*path).constData(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        logProblem(QStringLiteral("unable to open %1: %2").arg(*path, QString::fromLocal8Bit(std::strerror(errno))));
        return EventLogError::ChannelNotFound;
    }
    char head[8] = {0};
    if (::pread(fd.get(), head, sizeof(head), 0) == static_cast<ssize_t>(sizeof(head)) &&
        std::memcmp(head, EvtxSignature, sizeof(head)) == 0) {
        *kind = Kind::Evtx;
        return 0;
    }
    const unsigned char b0 = static_cast<unsigned char>(head[0]);
    const unsigned char b1 = static_cast<unsigned char>(head[1]);
    if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF) || (st.st_size >= 2 && (b0 == 0 || b1 == 0))) {
        // Some export tools write UTF-16; read as bytes it would look empty.
        logProblem(QStringLiteral("%1 is not UTF-8 text: convert it to UTF-8").arg(*path));
        return EventLogError::InvalidData;
    }
    if (path->endsWith(QLatin1String(".evtx"), Qt::CaseInsensitive)) {
        // An EVTX file still being created is read once it has a header.
        if (st.st_size == 0) {
            *kind = Kind::EmptyEvtx;
            return 0;
        }
        logProblem(QStringLiteral("%1 is not an EVTX file").arg(*path));
        return EventLogError::InvalidData;
    }
    *kind = Kind::Xml;
    return 0;
}

quint32 EventStoreSession::testQuery()
{
    QString path;
    Kind kind = Kind::Xml;
    return resolve(&path, &kind);
}

std::unique_ptr<IEventLogQuery> EventStoreSession::query(quint64 afterRecordId, const std::vector<quint16> &eventIds,
                                                         quint32 *error)
{
    QString path;
    Kind kind = Kind::Xml;
    *error = resolve(&path, &kind);
    if (*error != 0)
        return nullptr;
    switch (kind) {
    case Kind::Evtx:
        return queryEvtx(path, afterRecordId, eventIds, error);
    case Kind::EmptyEvtx:
        return std::make_unique<EmptyQuery>();
    case Kind::Xml:
        break;
    }
    return queryXml(path, afterRecordId, eventIds, error);
}

std::unique_ptr<IEventLogQuery> EventStoreSession::queryXml(const QString &path, quint64 afterRecordId,
                                                            const std::vector<quint16> &eventIds, quint32 *error)
{
    Fd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        logProblem(QStringLiteral("unable to open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        *error = EventLogError::ChannelNotFound;
        return nullptr;
    }
    EventStore::XmlState &state = m_store->m_xml;
    bool rewritten = false;
    if (state.offset > 0 && st.st_size >= state.offset) {
        QByteArray mark(state.mark.size(), '\0');
        rewritten = !readAt(fd.get(), 0, mark.data(), mark.size()) || mark != state.mark;
    }
    if (state.device != st.st_dev || state.inode != st.st_ino || st.st_size < state.offset || rewritten) {
        // Another file, or the same one cut short: read it from its start.
        if (state.offset > 0)
            logProblem(QStringLiteral("%1 was replaced or truncated, reading it from the start").arg(path));
        state.device = st.st_dev;
        state.inode = st.st_ino;
        state.offset = 0;
    }

    std::vector<XmlEntry> entries;
    std::vector<char> buffer;
    qint64 bufferOffset = state.offset; // file offset of buffer[0]
    qint64 fileEnd = st.st_size;
    std::size_t pos = 0;
    bool atEof = false;
    const auto fill = [&]() -> bool {
        // Drops what was scanned and appends the next piece of the file.
        if (pos > 0) {
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(pos));
            bufferOffset += static_cast<qint64>(pos);
            pos = 0;
        }
        const qint64 readFrom = bufferOffset + static_cast<qint64>(buffer.size());
        const qint64 length = std::min(ReadChunk, fileEnd - readFrom);
        if (length <= 0) {
            atEof = true;
            return false;
        }
        const std::size_t old = buffer.size();
        buffer.resize(old + static_cast<std::size_t>(length));
        if (!readAt(fd.get(), readFrom, buffer.data() + old, length)) {
            buffer.resize(old);
            atEof = true;
            return false;
        }
        return true;
    };

    qint64 consumed = state.offset;
    for (;;) {
        const char *base = buffer.data();
        const char *end = base + buffer.size();
        const char *start = findEventStart(base + pos, end);
        if (start == end || end - start < 7) {
            // No start in what is buffered: all before a possible cut start is consumed.
            pos = static_cast<std::size_t>((start == end ? end : start) - base);
            consumed = bufferOffset + static_cast<qint64>(pos);
            if (!fill())
                break;
            continue;
        }
        pos = static_cast<std::size_t>(start - base);
        consumed = bufferOffset + static_cast<qint64>(pos);
        const char *close = findText(start + 6, end, "</Event>", 8);
        const char *nextStart = findEventStart(start + 6, close ? close : end);
        if (nextStart != (close ? close : end) && end - nextStart >= 7) {
            // A start before this element's end: the writer gave up on it.
            entries.push_back(
                {consumed, nextStart - start, QStringLiteral("truncated event at offset %1").arg(consumed)});
            pos = static_cast<std::size_t>(nextStart - base);
            continue;
        }
        if (!close) {
            if (end - start > EventStore::MaxEventBytes) {
                entries.push_back({consumed, end - start,
                                   QStringLiteral("event at offset %1 larger than %2 bytes")
                                       .arg(consumed)
                                       .arg(EventStore::MaxEventBytes)});
                pos = static_cast<std::size_t>(end - base) - 6;
                continue;
            }
            if (!fill())
                break; // still being written: left for the next collection
            continue;
        }
        const char *after = close + 8;
        const qint64 length = after - start;
        EventValue eventId;
        EventValue recordId;
        if (length > EventStore::MaxEventBytes) {
            entries.push_back({consumed, length,
                               QStringLiteral("event at offset %1 larger than %2 bytes")
                                   .arg(consumed)
                                   .arg(EventStore::MaxEventBytes)});
        } else if (!peekEventXml(start, static_cast<std::size_t>(length), &eventId, &recordId)) {
            // Its identifiers are unknown; the full parse will say what is wrong.
            entries.push_back({consumed, length, QString()});
        } else if (wanted(eventIds, eventId) && recordId.type == EventValueType::UInt64 &&
                   recordId.number > afterRecordId) {
            entries.push_back({consumed, length, QString()});
        }
        pos = static_cast<std::size_t>(after - base);
        consumed = bufferOffset + static_cast<qint64>(pos);
    }
    (void)atEof;
    state.offset = consumed;
    state.mark = QByteArray(static_cast<int>(std::min<qint64>(consumed, MarkBytes)), '\0');
    if (!readAt(fd.get(), 0, state.mark.data(), state.mark.size()))
        state.mark.clear();
    return std::make_unique<XmlQuery>(::dup(fd.get()), std::move(entries));
}

std::unique_ptr<IEventLogQuery> EventStoreSession::queryEvtx(const QString &path, quint64 afterRecordId,
                                                             const std::vector<quint16> &eventIds, quint32 *error)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        *error = EventLogError::ChannelNotFound;
        return nullptr;
    }
    EventStore::EvtxState &state = m_store->m_evtx;
    const qint64 modified = static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    const bool sameFile = state.known && state.device == st.st_dev && state.inode == st.st_ino;
    if (sameFile && state.size == st.st_size && state.modified == modified)
        return std::make_unique<EmptyQuery>(); // unchanged since the last reading

    auto file = std::make_unique<EvtxFile>();
    QString why;
    if (!file->open(QFile::encodeName(path), &why)) {
        logProblem(QStringLiteral("unable to read %1: %2").arg(path, why));
        *error = EventLogError::InvalidData;
        return nullptr;
    }
    int count = 0;
    libevtx_error_t *evtxError = nullptr;
    if (libevtx_file_get_number_of_records(file->get(), &count, &evtxError) != 1) {
        logProblem(QStringLiteral("unable to read %1: %2").arg(path, evtxErrorText(evtxError)));
        freeEvtxError(&evtxError);
        *error = EventLogError::InvalidData;
        return nullptr;
    }
    // Records of this file already handed out need not be looked at again,
    // unless the file was rewritten from its start (its first chunk differs).
    QByteArray firstChunk(32, '\0');
    {
        const Fd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0 || !readAt(fd.get(), 4096 + 8, firstChunk.data(), firstChunk.size()))
            firstChunk.clear();
    }
    const quint64 alreadyRead =
        sameFile && !firstChunk.isEmpty() && firstChunk == state.firstChunk ? state.highestRecord : 0;
    quint64 highest = alreadyRead;
    std::vector<EvtxEntry> entries;
    std::vector<QString> problems;
    EvtxRecord record;
    for (int index = 0; index < count; ++index) {
        if (!record.load(file->get(), index, &why)) {
            problems.push_back(QStringLiteral("record at index %1: %2").arg(index).arg(why));
            continue;
        }
        uint64_t fileRecord = 0;
        uint32_t eventIdentifier = 0;
        if (libevtx_record_get_identifier(record.get(), &fileRecord, nullptr) != 1 || fileRecord <= alreadyRead)
            continue;
        highest = std::max<quint64>(highest, fileRecord);
        // The record's own event identifier (low 16 bits: the EventID) spares
        // rendering the others; the rendered values decide for the rest.
        if (libevtx_record_get_event_identifier(record.get(), &eventIdentifier, nullptr) == 1) {
            EventValue id;
            id.type = EventValueType::UInt16;
            id.number = eventIdentifier & 0xFFFF;
            if (!wanted(eventIds, id))
                continue;
        }
        entries.push_back({index, fileRecord});
    }
    record.reset();
    // Newest first by record number, also when the log has wrapped.
    std::sort(entries.begin(), entries.end(),
              [](const EvtxEntry &a, const EvtxEntry &b) { return a.fileRecord < b.fileRecord; });
    state.known = true;
    state.device = st.st_dev;
    state.inode = st.st_ino;
    state.size = st.st_size;
    state.modified = modified;
    state.highestRecord = highest;
    state.firstChunk = firstChunk;
    return std::make_unique<EvtxQuery>(std::move(file), std::move(entries), std::move(problems), afterRecordId,
                                       eventIds);
}

} // namespace userCollector
