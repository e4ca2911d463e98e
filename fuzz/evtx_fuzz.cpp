// An EVTX event store on arbitrary bytes: opened through libevtx, its records
// rendered and their values taken by the project's XML reading. Damage is
// reported, never fatal; only wanted events above the bookmark come out; an
// unchanged file has nothing new.
#include "eventsource/eventstore.h"
#include "fuzz/fuzzcheck.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>

using namespace userCollector;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 2 * 1024 * 1024)
        return 0;
    static QTemporaryDir *work = new QTemporaryDir();
    QDir().mkpath(work->filePath(QStringLiteral("dc")));
    QFile file(work->filePath(QStringLiteral("dc/Security.evtx")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        abort();
    file.close();

    const quint64 after = size > 16 ? data[16] : 0;
    EventStore store(work->path());
    for (int pass = 0; pass < 2; ++pass) {
        quint32 error = 0;
        auto session = store.openSession(QStringLiteral("dc"), &error);
        FUZZ_CHECK(session);
        auto query = session->query(after, {4624, 4768}, &error);
        FUZZ_CHECK(query ? error == 0 : error != 0);
        if (!query)
            return 0;
        std::vector<RenderedEvent> batch;
        while (query->next(100, &batch) == 0) {
            for (const RenderedEvent &event : batch) {
                FUZZ_CHECK(pass == 0);
                if (!event.rendered) {
                    FUZZ_CHECK(!event.renderErrorText.isEmpty());
                    continue;
                }
                const EventValue &id = event.values[ValueEventId];
                const EventValue &record = event.values[ValueEventRecordId];
                FUZZ_CHECK(id.type == EventValueType::UInt16 && (id.number == 4624 || id.number == 4768));
                FUZZ_CHECK(record.type == EventValueType::UInt64 && record.number > after);
            }
            batch.clear();
        }
    }
    return 0;
}
