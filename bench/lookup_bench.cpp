// A batch of 1,000 forward look-ups against a local dnsmasq, in threads
// (MaxThreadPool 1, 8 and 64) and the same 1,000 queries one after another.
#include "lookup/namelookup.h"
#include "support/dnsmasqserver.h"
#include "support/dnsmessagebuilder.h"
#include "support/udpresponder.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <cstdio>

namespace {

constexpr int Names = 1000;
testsupport::DnsmasqServer *server = nullptr;

lookup::LookupOptions benchOptions(int maxThreadPool)
{
    lookup::LookupOptions options;
    options.mode = QStringLiteral("dns");
    options.maxThreadPool = maxThreadPool;
    options.dnsServers = lookup::LookupOptions::parseEndpoints(server->endpoint(), 53, QStringLiteral("DnsServers"));
    return options;
}

QList<HostAddresses> batch()
{
    QList<HostAddresses> items;
    for (int i = 0; i < Names; ++i)
        items.append(HostAddresses(QStringLiteral("host%1.bench.test").arg(i)));
    return items;
}

void countFound(benchmark::State &state, const QList<HostAddresses> &items)
{
    int found = 0;
    for (const HostAddresses &item : items)
        found += item.addresses.isEmpty() ? 0 : 1;
    if (found != Names)
        state.SkipWithError("not every name was found");
}

// One batch of names in worker threads, at most options.maxThreadPool at once.
void runBatchInThreads(benchmark::State &state, const lookup::LookupOptions &options)
{
    lookup::BatchReport report;
    for (auto _ : state) {
        QList<HostAddresses> items = batch();
        lookupAddressesInThreads(items, options, &report);
        countFound(state, items);
    }
    state.counters["threads_at_once"] = report.peakRunning;
    state.counters["threads_started"] = report.started;
    state.counters["names"] = Names;
}

// The same names asked one after another on the calling thread.
void runOneAfterAnother(benchmark::State &state, const lookup::LookupOptions &options)
{
    for (auto _ : state) {
        QList<HostAddresses> items = batch();
        for (HostAddresses &item : items)
            item.append(getIpFromHostName(item.name, options));
        countFound(state, items);
    }
    state.counters["threads_at_once"] = 0;
    state.counters["names"] = Names;
}

void BM_BatchInThreads(benchmark::State &state)
{
    runBatchInThreads(state, benchOptions(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_BatchInThreads)->Arg(1)->Arg(8)->Arg(64)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OneAfterAnother(benchmark::State &state)
{
    runOneAfterAnother(state, benchOptions(1));
}
BENCHMARK(BM_OneAfterAnother)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same batches against a server 2 ms away, as a DNS server on the
// network is: here the threads pay off.
constexpr int LatencyMs = 2;
testsupport::UdpResponder *distant = nullptr;

lookup::LookupOptions distantOptions(int maxThreadPool)
{
    lookup::LookupOptions options = benchOptions(maxThreadPool);
    options.dnsServers = lookup::LookupOptions::parseEndpoints(distant->endpoint(), 53, QStringLiteral("DnsServers"));
    return options;
}

void BM_DistantBatchInThreads(benchmark::State &state)
{
    runBatchInThreads(state, distantOptions(static_cast<int>(state.range(0))));
    state.counters["latency_ms"] = LatencyMs;
}
BENCHMARK(BM_DistantBatchInThreads)->Arg(8)->Arg(64)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DistantOneAfterAnother(benchmark::State &state)
{
    runOneAfterAnother(state, distantOptions(1));
    state.counters["latency_ms"] = LatencyMs;
}
BENCHMARK(BM_DistantOneAfterAnother)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QByteArray hosts;
    for (int i = 0; i < Names; ++i)
        hosts += QStringLiteral("10.%1.%2.%3 host%4.bench.test\n")
                     .arg(100 + i / 65536)
                     .arg((i / 256) % 256)
                     .arg(i % 256)
                     .arg(i)
                     .toLatin1();
    testsupport::DnsmasqServer dnsmasq;
    if (!dnsmasq.start(hosts)) {
        std::fprintf(stderr, "dnsmasq did not start: %s\n", qPrintable(dnsmasq.error()));
        return 1;
    }
    server = &dnsmasq;
    testsupport::UdpResponder responder([](const QByteArray &query) {
        const testsupport::DnsQuestion question = testsupport::parseDnsQuery(query);
        testsupport::DnsReplyBuilder reply(query);
        if (question.type == 1)
            reply.addA(question.name, QHostAddress(QStringLiteral("10.100.0.1")));
        return testsupport::UdpResponder::Reply{reply.build(), LatencyMs};
    });
    distant = &responder;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
