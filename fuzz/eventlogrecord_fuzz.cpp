// Feeds arbitrary bytes to the legacy event-log record parser as if one read
// had left them in the buffer. The parser must hand out only records that lie
// inside the data, strings that lie inside their record, and refuse the rest.
#include "eventsource/eventlogrecord.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4 * 1024 * 1024)
        return 0;
    // An exact-size copy, so that any read past the data is caught.
    const std::vector<char> buffer(data, data + size);
    const char *begin = buffer.data();
    const char *end = begin + buffer.size();

    userCollector::EventLogRecordReader reader(begin, quint32(buffer.size()));
    userCollector::EventLogRecord record;
    QStringList strings;
    QString error;
    quint64 covered = 0;
    while (reader.next(&record)) {
        if (record.data < begin || record.length < userCollector::EventLogRecord::FixedSize ||
            record.length > quint64(end - record.data) || record.length % 4 != 0)
            abort();
        covered += record.length;
        if (userCollector::eventLogRecordStrings(record, &strings, &error)) {
            if (strings.size() != record.numStrings)
                abort();
            // Every string and its terminating zero came from between the
            // string offset and the record's closing length.
            quint64 bytes = 0;
            for (const QString &text : strings)
                bytes += 2 * (quint64(text.size()) + 1);
            if (record.numStrings > 0 && record.stringOffset + bytes > record.length - 4)
                abort();
        } else if (error.isEmpty() || !strings.isEmpty()) {
            abort();
        }
    }
    if (covered > size || (reader.failed() && reader.error().isEmpty()) || (!reader.failed() && covered != size))
        abort();
    return 0;
}
