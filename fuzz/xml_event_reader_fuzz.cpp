// The XML event store on arbitrary bytes, with small limits so that short
// inputs cross segment edges and the size limit. Each element the scanner
// finds in one piece it finds in any cutting; the file read at once and read
// while it grows hands out the same events; only wanted events above the
// bookmark, or unreadable ones, come out.
#include "eventsource/eventstore.h"
#include "eventsource/xmleventscanner.h"
#include "fuzz/fuzzcheck.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <vector>

using namespace userCollector;

namespace {

constexpr qint64 MaxBytes = 300;
const std::vector<quint16> Wanted = {4624, 4768};

struct Found
{
    qint64 offset, length;
    XmlEventScanner::Kind kind;
    // Where an element too large is given up depends on where the data was cut.
    bool operator==(const Found &o) const
    {
        return offset == o.offset && kind == o.kind && (length == o.length || kind == XmlEventScanner::Kind::TooLarge);
    }
};

std::vector<Found> scanInPieces(const char *data, qint64 size, qint64 piece)
{
    std::vector<Found> found;
    const XmlEventScanner::Sink sink = [&found](const XmlEventScanner::Element &e, qint64 resolved) {
        FUZZ_CHECK(resolved >= e.offset + e.length || e.kind == XmlEventScanner::Kind::Truncated);
        found.push_back({e.offset, e.length, e.kind});
    };
    XmlEventScanner scanner(0, MaxBytes);
    for (qint64 end = std::min(piece, size);; end = std::min(end + piece, size)) {
        // Only the bytes from the scan position on are offered, as a reader holds them.
        const qint64 from = scanner.scanPosition();
        FUZZ_CHECK(from <= end);
        scanner.scan(data + from, from, end - from, end == size, sink);
        if (end == size)
            break;
    }
    scanner.finish(size, true, sink);
    return found;
}

QTemporaryDir *work()
{
    static QTemporaryDir *dir = new QTemporaryDir();
    return dir;
}

void write(const QString &path, const char *data, qint64 size, bool append)
{
    QFile file(path);
    if (!file.open(append ? QIODevice::Append : (QIODevice::WriteOnly | QIODevice::Truncate)) ||
        file.write(data, size) != size)
        abort();
}

// Record ids of the wanted events of one query; unreadable ones counted.
// False when the store refuses the file (text that looks like UTF-16).
bool read(EventStore &store, std::vector<quint64> *ids, int *unreadable)
{
    quint32 error = 0;
    auto session = store.openSession(QStringLiteral("dc"), &error);
    FUZZ_CHECK(session);
    auto query = session->query(0, Wanted, &error);
    if (!query) {
        FUZZ_CHECK(error == EventLogError::InvalidData);
        return false;
    }
    FUZZ_CHECK(error == 0);
    std::vector<RenderedEvent> batch;
    while (query->next(7, &batch) == 0) {
        FUZZ_CHECK(!batch.empty() && batch.size() <= 7);
        for (const RenderedEvent &event : batch) {
            if (!event.rendered) {
                FUZZ_CHECK(!event.renderErrorText.isEmpty());
                ++*unreadable;
                continue;
            }
            const EventValue &id = event.values[ValueEventId];
            const EventValue &record = event.values[ValueEventRecordId];
            FUZZ_CHECK(id.type == EventValueType::UInt16 && (id.number == 4624 || id.number == 4768));
            FUZZ_CHECK(record.type == EventValueType::UInt64 && record.number > 0);
            ids->push_back(record.number);
        }
        batch.clear();
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 2 || size > 64 * 1024)
        return 0;
    const qint64 piece = bytes[0] % 64 + 1;
    const qint64 length = static_cast<qint64>(size) - 2;
    const qint64 split = length * bytes[1] / 255;
    const char *data = reinterpret_cast<const char *>(bytes) + 2;

    const std::vector<Found> whole = scanInPieces(data, length, length + 1);
    FUZZ_CHECK(whole == scanInPieces(data, length, piece));
    for (const Found &found : whole)
        FUZZ_CHECK(found.offset >= 0 && found.length > 0 && found.offset + found.length <= length);

    XmlRegion::setSegmentBytesForTest(piece);
    const QString at = work()->filePath(QStringLiteral("dc"));
    QDir().mkpath(at);
    const QString path = at + QStringLiteral("/Security.xml");

    write(path, data, length, false);
    EventStore once(work()->path());
    once.setMaxEventBytesForTest(MaxBytes);
    int unreadableOnce = 0;
    std::vector<quint64> readOnce;
    if (!read(once, &readOnce, &unreadableOnce))
        return 0;

    write(path, data, split, false);
    EventStore growing(work()->path());
    growing.setMaxEventBytesForTest(MaxBytes);
    int unreadableGrowing = 0;
    std::vector<quint64> readGrowing;
    bool readable = read(growing, &readGrowing, &unreadableGrowing);
    write(path, data + split, length - split, true);
    readable = read(growing, &readGrowing, &unreadableGrowing) && readable;
    std::vector<quint64> again;
    FUZZ_CHECK(!read(growing, &again, &unreadableGrowing) || again.empty());
    if (!readable)
        return 0;

    std::sort(readOnce.begin(), readOnce.end());
    std::sort(readGrowing.begin(), readGrowing.end());
    FUZZ_CHECK(readOnce == readGrowing);
    const auto complete = std::count_if(whole.begin(), whole.end(),
                                        [](const Found &f) { return f.kind == XmlEventScanner::Kind::Complete; });
    FUZZ_CHECK(static_cast<qint64>(readOnce.size()) <= complete);
    return 0;
}
