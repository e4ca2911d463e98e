#include "eventsource/eventstore.h"

#include "eventsource/eventxmlparser.h"
#include "eventsource/xmleventscanner.h"
#include "log/applicationdebug.h"

// The packaged header asks for the I/O abstraction's header, which is not
// installed; the file-name interface needs none of it.
#include <libevtx/features.h>
#undef LIBEVTX_HAVE_BFIO
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libevtx.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace userCollector {

namespace {

const char EvtxSignature[8] = {'E', 'l', 'f', 'F', 'i', 'l', 'e', '\0'};
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

// An export written in order: records are handed out from the last index
// down, each loaded, rendered and parsed once, until one already seen.
class EvtxNewestFirstQuery : public IEventLogQuery
{
public:
    EvtxNewestFirstQuery(const QString &server, std::unique_ptr<EvtxFile> file, int count, quint64 alreadyRead,
                         EventFilter filter)
        : m_file(std::move(file)), m_index(count - 1), m_alreadyRead(alreadyRead), m_filter(std::move(filter)),
          m_unreadable(server)
    {}

    quint32 next(int max, std::vector<RenderedEvent> *events) override
    {
        int count = 0;
        EvtxRecord record;
        QString why;
        while (count < max && m_index >= 0) {
            const int index = m_index--;
            if (!record.load(m_file->get(), index, &why)) {
                count += m_unreadable.add(QStringLiteral("record at index %1: %2").arg(index).arg(why), events);
                continue;
            }
            uint64_t fileRecord = 0;
            if (libevtx_record_get_identifier(record.get(), &fileRecord, nullptr) == 1 && fileRecord <= m_alreadyRead) {
                m_index = -1; // the rest was read before
                break;
            }
            // The record's own event identifier (low 16 bits: the EventID)
            // spares rendering the others.
            uint32_t eventIdentifier = 0;
            if (libevtx_record_get_event_identifier(record.get(), &eventIdentifier, nullptr) == 1) {
                EventValue id;
                id.type = EventValueType::UInt16;
                id.number = eventIdentifier & 0xFFFF;
                if (!m_filter(id, m_anyRecord))
                    continue;
            }
            RenderedEvent event;
            if (!record.xml(&m_buffer, &why)) {
                count += m_unreadable.add(QStringLiteral("record %1: %2").arg(fileRecord).arg(why), events);
                continue;
            }
            switch (parseWantedEventXml(m_buffer.data(), m_buffer.size(), m_filter, &event, &why)) {
            case EventParse::Wanted:
                events->push_back(std::move(event));
                ++count;
                break;
            case EventParse::Unwanted:
                break;
            case EventParse::Malformed:
                count += m_unreadable.add(QStringLiteral("record %1: %2").arg(fileRecord).arg(why), events);
                break;
            }
        }
        return count == 0 ? EventLogError::NoMoreItems : 0;
    }

private:
    std::unique_ptr<EvtxFile> m_file;
    int m_index;
    quint64 m_alreadyRead;
    EventFilter m_filter;
    EventValue m_anyRecord{EventValueType::UInt64, QString(), ~quint64(0)}; // passes the bookmark test
    std::vector<char> m_buffer;
    UnreadableEvents m_unreadable;
};

// Whether the chunks of an EVTX file hold ascending record numbers in file
// order (an export, or a log that has not wrapped), and the highest.
bool chunksInOrder(const QString &path, quint64 *highest)
{
    constexpr qint64 HeaderBytes = 4096;
    constexpr qint64 ChunkBytes = 65536;
    const FileHandle fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.fd() < 0 || ::fstat(fd.fd(), &st) != 0)
        return false;
    quint64 last = 0;
    bool any = false;
    for (qint64 at = HeaderBytes; at + ChunkBytes <= st.st_size; at += ChunkBytes) {
        unsigned char header[40];
        if (!readFileAt(fd.fd(), at, reinterpret_cast<char *>(header), sizeof(header)))
            return false;
        if (std::memcmp(header, "ElfChnk", 8) != 0)
            continue;
        const auto u64 = [&header](int offset) {
            quint64 value = 0;
            for (int i = 7; i >= 0; --i)
                value = value << 8 | header[offset + i];
            return value;
        };
        const quint64 first = u64(24);
        const quint64 end = u64(32);
        if (first == 0 && end == 0)
            continue; // unused
        if (first > end || (any && first <= last))
            return false;
        last = end;
        any = true;
    }
    *highest = last;
    return any;
}

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
        m_xml = XmlLogFile();
        m_xmlRotated = XmlLogFile();
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
    if (path->isEmpty() && m_store->m_xml.file) {
        // The followed log was renamed away and its successor is not there
        // yet: its writer may still be adding to it.
        *kind = Kind::Xml;
        return 0;
    }
    if (path->isEmpty())
        return EventLogError::ChannelNotFound;
    // The content decides the kind, so a single file of either kind can be given.
    const FileHandle fd(::open(QFile::encodeName(*path).constData(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.fd() < 0 || ::fstat(fd.fd(), &st) != 0) {
        logProblem(QStringLiteral("unable to open %1: %2").arg(*path, QString::fromLocal8Bit(std::strerror(errno))));
        return EventLogError::ChannelNotFound;
    }
    char head[8] = {0};
    if (::pread(fd.fd(), head, sizeof(head), 0) == static_cast<ssize_t>(sizeof(head)) &&
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
    m_store->m_logKind = kind == Kind::Xml ? QStringLiteral("XML") : QStringLiteral("EVTX");
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

namespace {

// The first bytes of a file, to recognise it later.
QByteArray fileMark(int fd, qint64 length)
{
    QByteArray mark(static_cast<int>(std::min<qint64>(length, MarkBytes)), '\0');
    if (!readFileAt(fd, 0, mark.data(), mark.size()))
        mark.clear();
    return mark;
}

// A copy of a log truncated in place (rotated by copying then truncating):
// a sibling named after it whose start is the log's old start and which holds
// at least what had been read.
std::shared_ptr<FileHandle> findRotatedCopy(const QString &path, const EventStore::XmlLogFile &log, QString *name,
                                            qint64 *size)
{
    if (log.mark.isEmpty())
        return nullptr;
    const QFileInfo info(path);
    const QFileInfoList siblings =
        info.dir().entryInfoList({info.fileName() + QLatin1Char('*')}, QDir::Files | QDir::NoDotAndDotDot, QDir::Time);
    for (const QFileInfo &sibling : siblings) {
        const QString suffix = sibling.fileName().mid(info.fileName().size());
        if (suffix.isEmpty() || sibling.size() < log.offset ||
            suffix.contains(QRegularExpression(QStringLiteral("\\.(gz|bz2|xz|zst|lz4|Z)$"))))
            continue;
        const int fd = ::open(QFile::encodeName(sibling.filePath()).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        auto file = std::make_shared<FileHandle>(fd);
        struct stat st;
        if (::fstat(fd, &st) != 0 || (st.st_dev == log.device && st.st_ino == log.inode) || st.st_size < log.offset ||
            fileMark(fd, log.mark.size()) != log.mark)
            continue;
        *name = sibling.fileName();
        *size = st.st_size;
        return file;
    }
    return nullptr;
}

// When region ends in an element left open and the head of the file fd
// (its first headBytes) finishes it before any new element starts, the two
// halves joined in an anonymous file; region then ends before its half.
std::shared_ptr<FileHandle> joinSplitEvent(XmlRegion *region, int fd, qint64 maxEventBytes, qint64 headBytes)
{
    if (region->openTail < 0)
        return nullptr;
    const qint64 tailBytes = region->end - region->openTail;
    headBytes = std::min(headBytes, maxEventBytes - tailBytes);
    if (headBytes <= 0)
        return nullptr;
    QByteArray joined(static_cast<int>(tailBytes + headBytes), '\0');
    if (!readFileAt(region->file->fd(), region->openTail, joined.data(), tailBytes) ||
        !readFileAt(fd, 0, joined.data() + tailBytes, headBytes))
        return nullptr;
    const char *head = joined.constData() + tailBytes;
    const char *close = static_cast<const char *>(memmem(head, static_cast<std::size_t>(headBytes), "</Event>", 8));
    if (!close)
        return nullptr;
    for (const char *p = head; p + 7 <= close; ++p) {
        if (*p == '<' && isXmlEventStart(p))
            return nullptr;
    }
    joined.truncate(static_cast<int>(close + 8 - joined.constData()));
    const int memory = ::memfd_create("split-event", MFD_CLOEXEC);
    auto file = std::make_shared<FileHandle>(memory);
    if (memory < 0 || ::write(memory, joined.constData(), static_cast<std::size_t>(joined.size())) != joined.size())
        return nullptr;
    region->end = region->openTail;
    while (!region->segments.empty() && region->segments.back() >= region->end)
        region->segments.pop_back();
    return file;
}

} // namespace

std::unique_ptr<IEventLogQuery> EventStoreSession::queryXml(const QString &path, quint64 afterRecordId,
                                                            const std::vector<quint16> &eventIds, quint32 *error)
{
    EventStore::XmlLogFile &current = m_store->m_xml;
    EventStore::XmlLogFile &rotated = m_store->m_xmlRotated;
    if (!path.isEmpty()) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        auto file = std::make_shared<FileHandle>(fd);
        struct stat st;
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            logProblem(QStringLiteral("unable to open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
            *error = EventLogError::ChannelNotFound;
            return nullptr;
        }
        if (current.file && (current.device != st.st_dev || current.inode != st.st_ino)) {
            // Renamed away and replaced: the old file is read to its end first.
            ApplicationDebug::logHigh(
                QStringLiteral("%1: %2 was rotated, reading the new file from its start").arg(m_server, current.name));
            rotated = std::move(current);
            rotated.size = -1; // its writer may not have let go yet
            current = EventStore::XmlLogFile();
        }
        if (!current.file) {
            current.file = std::move(file);
            current.name = QFileInfo(path).fileName();
            current.device = st.st_dev;
            current.inode = st.st_ino;
        }
    }

    std::vector<XmlRegion> regions;
    const auto add = [&regions](std::shared_ptr<FileHandle> file, const QString &name, qint64 begin, qint64 end,
                                bool final) -> XmlRegion & {
        XmlRegion region;
        region.file = std::move(file);
        region.name = name;
        region.begin = begin;
        region.end = end;
        region.final = final;
        regions.push_back(std::move(region));
        return regions.back();
    };
    struct stat st;
    if (rotated.file && ::fstat(rotated.file->fd(), &st) == 0) {
        // Done once its writer has let go of it: no growth since the last reading.
        const bool final = st.st_size == rotated.size;
        rotated.offset =
            add(rotated.file, rotated.name, rotated.offset, st.st_size, final).plan(m_store->m_maxEventBytes);
        rotated.size = st.st_size;
        if (final)
            rotated = EventStore::XmlLogFile();
    } else {
        rotated = EventStore::XmlLogFile();
    }
    if (current.file && ::fstat(current.file->fd(), &st) == 0) {
        if (st.st_size < current.offset ||
            (current.offset > 0 && fileMark(current.file->fd(), current.mark.size()) != current.mark)) {
            // Cut short or written anew in place: what was added before the cut
            // may be in the copy beside it; then the file is read from its start.
            QString copyName;
            qint64 copySize = 0;
            if (auto copy = path.isEmpty() ? nullptr : findRotatedCopy(path, current, &copyName, &copySize)) {
                XmlRegion &region = add(std::move(copy), copyName, current.offset, copySize, true);
                region.plan(m_store->m_maxEventBytes);
                // An event cut in two by the rotation: its start ends the copy,
                // its rest begins the truncated file.
                if (auto joined = joinSplitEvent(&region, current.file->fd(), m_store->m_maxEventBytes,
                                                 std::min<qint64>(st.st_size, m_store->m_maxEventBytes)))
                    add(std::move(joined), region.name, 0, static_cast<qint64>(::lseek(joined->fd(), 0, SEEK_END)),
                        true)
                        .plan(m_store->m_maxEventBytes);
            }
            logProblem(QStringLiteral("%1 was replaced or truncated, reading it from the start").arg(current.name));
            current.offset = 0;
        }
        current.offset =
            add(current.file, current.name, current.offset, st.st_size, false).plan(m_store->m_maxEventBytes);
        current.size = st.st_size;
        current.mark = fileMark(current.file->fd(), current.offset);
    }

    const EventFilter filter = [afterRecordId, eventIds](const EventValue &eventId, const EventValue &recordId) {
        return wanted(eventIds, eventId) && recordId.type == EventValueType::UInt64 && recordId.number > afterRecordId;
    };
    *error = 0;
    return std::make_unique<XmlLogQuery>(m_server, std::move(regions), filter, m_store->m_maxEventBytes);
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
        const FileHandle fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
        if (fd.fd() < 0 || !readFileAt(fd.fd(), 4096 + 8, firstChunk.data(), firstChunk.size()))
            firstChunk.clear();
    }
    const quint64 alreadyRead =
        sameFile && !firstChunk.isEmpty() && firstChunk == state.firstChunk ? state.highestRecord : 0;
    quint64 highest = alreadyRead;
    state.known = true;
    state.device = st.st_dev;
    state.inode = st.st_ino;
    state.size = st.st_size;
    state.modified = modified;
    state.firstChunk = firstChunk;
    if (chunksInOrder(path, &highest)) {
        state.highestRecord = std::max(highest, alreadyRead);
        const EventFilter filter = [afterRecordId, eventIds](const EventValue &eventId, const EventValue &recordId) {
            return wanted(eventIds, eventId) && recordId.type == EventValueType::UInt64 &&
                   recordId.number > afterRecordId;
        };
        return std::make_unique<EvtxNewestFirstQuery>(m_server, std::move(file), count, alreadyRead, filter);
    }
    // A wrapped log: every record's number is learnt first, to hand them out newest first.
    highest = alreadyRead;
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
    state.highestRecord = highest;
    return std::make_unique<EvtxQuery>(std::move(file), std::move(entries), std::move(problems), afterRecordId,
                                       eventIds);
}

} // namespace userCollector
