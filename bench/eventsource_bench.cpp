// Event-source benchmarks: what a collection costs on small and large logs.
#include "common/clock.h"
#include "eventsource/apiwindowseventlog.h"
#include "securityxml.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <map>
#include <memory>

using userCollector::ApiWindowsEventLog;

namespace {

// Repeated runs (--benchmark_repetitions) also report their minimum and maximum.
void minMax(benchmark::internal::Benchmark *b)
{
    b->ComputeStatistics("min", [](const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); });
    b->ComputeStatistics("max", [](const std::vector<double> &v) { return *std::max_element(v.begin(), v.end()); });
}

QTemporaryDir &workDir()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/sso-bench-eventsource-XXXXXX"));
    return dir;
}

quint64 nextRecord = 1;

// count events, one second apart, ending now; all logons of distinct users and addresses.
QByteArray events(int count, qint64 newestAge = 0)
{
    QByteArray out;
    out.reserve(count * 1400);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < count; ++i) {
        testsupport::SecurityEvent e;
        e.recordId = nextRecord++;
        e.time = now.addSecs(-(count - 1 - i) - newestAge);
        e.user = QStringLiteral("user%1").arg(e.recordId);
        e.ip = QStringLiteral("10.%1.%2.%3")
                   .arg((e.recordId >> 16) & 255)
                   .arg((e.recordId >> 8) & 255)
                   .arg(e.recordId & 255);
        out += testsupport::securityEventXml(e);
    }
    return out;
}

void append(const QString &server, const QByteArray &bytes)
{
    QDir().mkpath(workDir().filePath(server));
    QFile file(workDir().filePath(server + QStringLiteral("/Security.xml")));
    if (!file.open(QIODevice::Append) || file.write(bytes) != bytes.size())
        qFatal("cannot write the benchmark store");
}

// A store of `size` events, written once per process in pieces.
QString store(int size)
{
    static std::map<int, QString> made;
    auto found = made.find(size);
    if (found != made.end())
        return found->second;
    const QString server = QStringLiteral("xml%1").arg(size);
    for (int done = 0; done < size;) {
        const int piece = std::min(100000, size - done);
        // Older pieces first, so that the log runs oldest to newest.
        append(server, events(piece, size - done - piece));
        done += piece;
    }
    made[size] = server;
    return server;
}

std::unique_ptr<ApiWindowsEventLog> reader(const QString &server, quint32 window)
{
    ApiWindowsEventLog::setStoreRootForTest(workDir().path());
    return std::make_unique<ApiWindowsEventLog>(server, QStringList(), window, QString(), QString());
}

// A collection with nothing new: the same on 1,000 and 1,000,000 events.
void BM_XmlNoNewEvents(benchmark::State &state)
{
    const QString server = store(static_cast<int>(state.range(0)));
    auto source = reader(server, 600);
    source->collect(); // the first reading: the whole log, up to the window
    for (auto _ : state)
        benchmark::DoNotOptimize(source->collect());
}
BENCHMARK(BM_XmlNoNewEvents)->Apply(minMax)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// 100 new events per collection: the cost follows the new events, not the log.
void BM_XmlHundredNewEvents(benchmark::State &state)
{
    const QString server = store(static_cast<int>(state.range(0)));
    auto source = reader(server, 600);
    source->collect();
    for (auto _ : state) {
        state.PauseTiming();
        append(server, events(100));
        state.ResumeTiming();
        const common::LogonList logons = source->collect();
        if (logons.size() != 100)
            state.SkipWithError("expected 100 logons");
    }
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_XmlHundredNewEvents)->Apply(minMax)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// First reading of a whole XML log: events parsed per second.
void BM_XmlFirstReading(benchmark::State &state)
{
    const int size = static_cast<int>(state.range(0));
    // Written once per process, so that repetitions read the same log.
    const QString server = store(size);
    for (auto _ : state) {
        auto source = reader(server, static_cast<quint32>(2 * size));
        const common::LogonList logons = source->collect();
        if (logons.size() != size)
            state.SkipWithError("not every event became a logon");
    }
    state.SetItemsProcessed(state.iterations() * size);
    state.SetBytesProcessed(state.iterations() *
                            QFileInfo(workDir().filePath(server + QStringLiteral("/Security.xml"))).size());
}
BENCHMARK(BM_XmlFirstReading)->Apply(minMax)->Arg(100000)->Unit(benchmark::kMillisecond);

// EVTX: the file named by SSO_BENCH_EVTX (see eventsource_run.sh).
QString evtxStore()
{
    const QByteArray path = qgetenv("SSO_BENCH_EVTX");
    if (path.isEmpty())
        return QString();
    const QString server = QStringLiteral("evtx");
    QDir().mkpath(workDir().filePath(server));
    const QString link = workDir().filePath(server + QStringLiteral("/Security.evtx"));
    QFile::remove(link);
    QFile::link(QString::fromLocal8Bit(path), link);
    return server;
}

void BM_EvtxFirstReading(benchmark::State &state)
{
    const QString server = evtxStore();
    if (server.isEmpty()) {
        state.SkipWithError("SSO_BENCH_EVTX not set");
        return;
    }
    const qint64 records = qgetenv("SSO_BENCH_EVTX_RECORDS").toLongLong();
    for (auto _ : state) {
        auto source = reader(server, 0xFFFFFFFFu);
        benchmark::DoNotOptimize(source->collect());
    }
    state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(BM_EvtxFirstReading)->Apply(minMax)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_EvtxNoNewEvents(benchmark::State &state)
{
    const QString server = evtxStore();
    if (server.isEmpty()) {
        state.SkipWithError("SSO_BENCH_EVTX not set");
        return;
    }
    auto source = reader(server, 0xFFFFFFFFu);
    source->collect();
    for (auto _ : state)
        benchmark::DoNotOptimize(source->collect());
}
BENCHMARK(BM_EvtxNoNewEvents)->Apply(minMax)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    common::Clock::readTimeZoneOnce(); // as the agent does
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
