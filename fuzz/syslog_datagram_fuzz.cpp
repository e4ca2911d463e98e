// One syslog datagram as the syslog task processes it: UTF-8 decoding, line
// splitting and the three patterns, under a few pattern sets. Every logon is
// valid, names no ignored user, carries the configured domains, and there is
// never more than one per non-empty line.
#include "fuzz/fuzzcheck.h"
#include "service/syslogtask.h"

#include <QCoreApplication>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

struct Patterns
{
    const char *user, *address, *state;
};

std::vector<std::unique_ptr<service::SyslogTask>> makeTasks()
{
    const Patterns sets[] = {
        {"user=(\\S+)", "ip=(\\S+)", "logged on"}, // the usual form
        {"^(\\w+)", "([0-9a-fA-F:.]+)", "."},      // loose: most lines match something
        {"TargetUserName=\"([^\"]*)\"", "IpAddress=\"([^\"]*)\"$", "4624|4768"},
        {"(", "ip=(", "[a-"}, // invalid: never matches
    };
    std::vector<std::unique_ptr<service::SyslogTask>> tasks;
    for (const Patterns &set : sets) {
        settings::ADConfiguration config(QStringLiteral("fuzz"));
        config.setServers({QStringLiteral("127.0.0.1")});
        config.setIgnoreList({QStringLiteral("Administrator"), QStringLiteral("svc")});
        config.setNetbios(QStringLiteral("CORP"));
        config.setFqdn(QStringLiteral("corp.test"));
        config.setSyslogUserPattern(QString::fromLatin1(set.user));
        config.setSyslogAddrPattern(QString::fromLatin1(set.address));
        config.setSyslogMsgPattern(QString::fromLatin1(set.state));
        tasks.push_back(std::make_unique<service::SyslogTask>(config));
    }
    return tasks;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::vector<std::unique_ptr<service::SyslogTask>> tasks = makeTasks();
    if (size > 65536)
        return 0;
    const QByteArray payload(reinterpret_cast<const char *>(data), int(size));
    int lines = 0;
    for (const QStringRef &line : QString::fromUtf8(payload).splitRef(QLatin1Char('\n')))
        lines += line.isEmpty() ? 0 : 1;
    for (const auto &task : tasks) {
        const common::LogonList logons = task->logonsFromDatagram(payload);
        FUZZ_CHECK(logons.size() <= lines);
        for (const common::Logon &logon : logons) {
            FUZZ_CHECK(logon.isValid());
            FUZZ_CHECK(logon.user().compare(QLatin1String("administrator"), Qt::CaseInsensitive) != 0);
            FUZZ_CHECK(logon.user().compare(QLatin1String("svc"), Qt::CaseInsensitive) != 0);
            FUZZ_CHECK(!logon.user().contains(QLatin1Char('\n')));
            FUZZ_CHECK(logon.domain() == QLatin1String("CORP") && logon.fqdn() == QLatin1String("corp.test"));
            FUZZ_CHECK(logon.workstation().isEmpty() && logon.sid().isEmpty());
        }
    }
    return 0;
}
