// Opens arbitrary bytes as a saved legacy event log and reads it the ways the
// legacy reader does. Every read must end (records, buffer too small, invalid
// parameter, end of the log or a damaged file), hand out only whole records
// and never touch memory outside its buffer.
#include "eventsource/eventlogfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>
#include <vector>

using userCollector::EventLogFile;

namespace {

QTemporaryDir *store()
{
    static QTemporaryDir *dir = [] {
        auto *made = new QTemporaryDir();
        QDir().mkpath(made->filePath(QStringLiteral("dc")));
        EventLogFile::setStoreRootForTest(made->path());
        return made;
    }();
    return dir;
}

// Reads until the log says stop; false if a read broke its promises.
bool readThrough(EventLogFile &log, quint32 flags, quint32 start)
{
    std::vector<char> buffer(256);
    quint32 readFlags = flags;
    for (int reads = 0; reads < 100000; ++reads) {
        quint32 got = 0;
        quint32 needed = 0;
        if (log.read(readFlags, start, buffer.data(), quint32(buffer.size()), &got, &needed)) {
            if (got == 0 || got > buffer.size())
                return false;
            userCollector::EventLogRecordReader reader(buffer.data(), got);
            userCollector::EventLogRecord record;
            quint32 covered = 0;
            while (reader.next(&record))
                covered += record.length;
            if (reader.failed() || covered != got)
                return false;
            readFlags = (flags & ~quint32(EventLogFile::SeekRead)) | EventLogFile::SequentialRead;
            continue;
        }
        if (log.lastError() != EventLogFile::ErrorInsufficientBuffer)
            return true;
        if (needed <= buffer.size() || needed > 64 * 1024 * 1024)
            return false;
        buffer.resize(needed);
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1024 * 1024)
        return 0;
    QFile file(store()->filePath(QStringLiteral("dc/Security.evt")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    EventLogFile log;
    if (!log.open(QStringLiteral("dc"), QStringLiteral("Security")))
        return 0;
    if (!readThrough(log, EventLogFile::SequentialRead | EventLogFile::BackwardsRead, 0) ||
        !readThrough(log, EventLogFile::SequentialRead | EventLogFile::ForwardsRead, 0))
        abort();
    // Seeks to record numbers near those the data mentions.
    for (size_t at = 8; at + 4 <= size && at < 64; at += 4) {
        const quint32 number =
            quint32(data[at]) | quint32(data[at + 1]) << 8 | quint32(data[at + 2]) << 16 | quint32(data[at + 3]) << 24;
        if (!log.open(QStringLiteral("dc"), QStringLiteral("Security")) ||
            !readThrough(log, EventLogFile::SeekRead | EventLogFile::ForwardsRead, number) ||
            !readThrough(log, EventLogFile::SeekRead | EventLogFile::BackwardsRead, number))
            abort();
    }
    return 0;
}
