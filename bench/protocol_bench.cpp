// Costs of the firewall link's per-logon work: building a "[Login]" message,
// passing logons through a firewall's rules, and reading a large rule set.
#include "common/userfilter.h"
#include "firewall/protocol.h"

#include <QDateTime>
#include <benchmark/benchmark.h>

namespace {

const QDateTime Now(QDate(2024, 3, 1), QTime(12, 0));

// count logons of count/2 users, two addresses each, spread over 10.0.0.0/16.
common::LogonList makeLogons(int count)
{
    common::LogonList logons;
    logons.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QHostAddress ip(quint32((10u << 24) | quint32(i % 65536)));
        logons.append(common::Logon(QStringLiteral("user%1").arg(i / 2), ip, Now.addSecs(-(i % 28800)),
                                    QStringLiteral("PC%1").arg(i), QStringLiteral("CORP"),
                                    QStringLiteral("S-1-5-21-1-2-3-%1").arg(1000 + i),
                                    QStringLiteral("corp.example.com")));
    }
    return logons;
}

void setPerLogon(benchmark::State &state, int logons)
{
    state.SetItemsProcessed(int64_t(state.iterations()) * logons);
    state.counters["per_logon"] =
        benchmark::Counter(double(logons), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_LoginMessage(benchmark::State &state)
{
    const int count = int(state.range(0));
    const common::LogonList logons = makeLogons(count);
    for (auto _ : state) {
        const UtmConnect::AgentMessage message = UtmConnect::Protocol::loginMessage(logons, false, 3, 28800, Now);
        benchmark::DoNotOptimize(message.frame());
    }
    setPerLogon(state, count);
}
BENCHMARK(BM_LoginMessage)->Arg(10000)->Unit(benchmark::kMillisecond);

// ruleCount rules as a firewall might send them: most for single users from
// their own hosts, some for networks and ranges, a few negated, a final
// catch-all for "any". Returns the filter.
void fillRules(common::UserFilter &filter, int ruleCount)
{
    for (int id = 1; id <= ruleCount; ++id) {
        common::UserRule rule;
        rule.id = id;
        rule.pass = id % 7 != 0;
        rule.user = id == ruleCount ? QStringLiteral("any") : QStringLiteral("user%1").arg(id * 3);
        switch (id % 4) {
        case 0:
            rule.addEntry(QStringLiteral("10.0.%1.%2").arg((id / 256) % 256).arg(id % 256));
            rule.addEntry(QStringLiteral("!10.1.%1.0/24").arg(id % 256));
            break;
        case 1:
            rule.addEntry(QStringLiteral("10.0.%1.0/24").arg(id % 256));
            break;
        case 2:
            rule.addEntry(QStringLiteral("10.0.%1.1-10.0.%1.200").arg(id % 256));
            rule.addEntry(QStringLiteral("2001:db8::%1-2001:db8::%1:ffff").arg(id, 0, 16));
            break;
        default:
            rule.addEntry(QStringLiteral("10.0.0.0/255.255.0.0"));
            break;
        }
        filter.addRule(rule);
    }
}

void BM_FilterLogons(benchmark::State &state)
{
    const int count = int(state.range(0));
    common::UserFilter filter;
    fillRules(filter, int(state.range(1)));
    const common::LogonList logons = makeLogons(count);
    int admitted = 0;
    for (auto _ : state) {
        const common::LogonList out = filter.filter(logons);
        admitted = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.counters["admitted"] = admitted;
    setPerLogon(state, count);
}
BENCHMARK(BM_FilterLogons)->Args({10000, 1000})->Unit(benchmark::kMillisecond);

void BM_ReadInitialUserList(benchmark::State &state)
{
    const int rules = int(state.range(0));
    QString text;
    for (int i = 1; i <= rules; ++i) {
        text += i == 1 ? QStringLiteral("[Network]\n") : QStringLiteral("[Network_%1]\n").arg(i);
        text += QStringLiteral("user=user%1\nid=%1\naction=pass\nHOST=10.0.%2.%3\nNETWORK=10.1.%3.0/24\n")
                    .arg(i)
                    .arg(i / 256)
                    .arg(i % 256);
    }
    for (auto _ : state) {
        IniFile message;
        message.parse(text);
        benchmark::DoNotOptimize(UtmConnect::Protocol::readInitialUserList(message));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * rules);
}
BENCHMARK(BM_ReadInitialUserList)->Arg(1000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
