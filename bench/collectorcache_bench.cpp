// The collector cache at scale: merge throughput for batches of 1, 100 and
// 10,000 logons into caches of 1,000 to 250,000 logons (the cost per logon
// should not depend on the cache's size), and, with --memory, the resident
// memory per cached logon at 250,000 logons with both indexes filled
// (--memory address-only: logons without workstation, the address index alone).
#include "common/clock.h"
#include "service/collectorcache.h"

#include <QCoreApplication>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <unistd.h>

namespace {

const QDateTime Base(QDate(2026, 3, 10), QTime(8, 0, 0));

settings::ADConfiguration benchConfig()
{
    settings::ADConfiguration config(QStringLiteral("bench"));
    config.setServers({QStringLiteral("10.255.0.1")});
    config.setCacheTimeout(86400);
    return config;
}

// Logon i as an event source would make it: every text its own copy of
// exactly its length (as parsed from an event), one workstation and one
// address per user.
bool withWorkstations = true;

QString text(const char *format, int i)
{
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, format, i);
    return QString::fromLatin1(buffer);
}

common::Logon benchLogon(int i, const QDateTime &time)
{
    return common::Logon(text("user%06d", i), QHostAddress(quint32(0x0a000000u + quint32(i) + 1)), time,
                         withWorkstations ? text("PC%06d", i) : QString(), text("CORP", i),
                         text("S-1-5-21-1004336348-1177238915-682003330-%d", 100000 + i), text("corp.example.com", i));
}

void fill(CollectorCache &cache, int size)
{
    common::LogonList created;
    QList<common::Logoff> logoffs;
    for (int first = 0; first < size; first += 10000) {
        common::LogonList batch;
        for (int i = first; i < std::min(size, first + 10000); ++i)
            batch.append(benchLogon(i, Base));
        cache.update(batch, created, logoffs);
    }
}

double minimum(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}
double maximum(const std::vector<double> &v)
{
    return *std::max_element(v.begin(), v.end());
}

// Each iteration refreshes batchSize cached users with a later time: the
// common case, every logon announced again, the cache's size unchanged. The
// batches are made before the clock starts.
void merge(benchmark::State &state, int cacheSize, int batchSize)
{
    common::Clock::setNowForTest(Base.addSecs(3600));
    CollectorCache cache(benchConfig());
    fill(cache, cacheSize);
    std::vector<common::LogonList> batches(size_t(state.max_iterations));
    int next = 0;
    for (size_t b = 0; b < batches.size(); ++b) {
        const QDateTime time = Base.addMSecs(qint64(b) + 1);
        for (int i = 0; i < batchSize; ++i, next = (next + 1) % cacheSize)
            batches[b].append(benchLogon(next, time));
    }
    size_t b = 0;
    for (auto _ : state) {
        common::LogonList created;
        QList<common::Logoff> logoffs;
        cache.update(batches[b++], created, logoffs);
        if (created.size() != batchSize)
            state.SkipWithError("not every logon was announced");
    }
    state.SetItemsProcessed(state.iterations() * batchSize);
    state.counters["cache"] = cache.size();
    common::Clock::resetForTest();
}

void registerMerges()
{
    for (int cacheSize : {25000, 250000}) {
        for (int batchSize : {1, 100, 10000}) {
            // Each logon of the cache refreshed at most once, so that every one is newer than the cached one.
            const int iterations = std::max(1, std::min(20000, cacheSize / batchSize));
            benchmark::RegisterBenchmark(
                QStringLiteral("Merge/cache:%1/batch:%2").arg(cacheSize).arg(batchSize).toLatin1().constData(),
                [=](benchmark::State &state) { merge(state, cacheSize, batchSize); })
                ->Iterations(iterations)
                ->Unit(benchmark::kMicrosecond)
                ->ComputeStatistics("min", minimum)
                ->ComputeStatistics("max", maximum);
        }
    }
}

long residentBytes()
{
    long pages = 0, resident = 0;
    FILE *statm = std::fopen("/proc/self/statm", "r");
    if (statm) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

// Resident memory added by a cache of 250,000 logons, per logon.
int measureMemory()
{
    constexpr int Logons = 250000;
    common::Clock::setNowForTest(Base.addSecs(3600));
    malloc_trim(0);
    const long before = residentBytes();
    auto cache = std::make_unique<CollectorCache>(benchConfig());
    fill(*cache, Logons);
    malloc_trim(0); // the batches are gone; only the cache remains
    const long after = residentBytes();
    const int workstations = cache->hostRecordsForTest().size();
    std::printf("logons %d, workstations indexed %d, resident bytes per logon %.0f\n", cache->size(), workstations,
                double(after - before) / Logons);
    return cache->size() == Logons && workstations == (withWorkstations ? Logons : 0) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--memory") == 0) {
        withWorkstations = !(argc > 2 && std::strcmp(argv[2], "address-only") == 0);
        return measureMemory();
    }
    registerMerges();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
