// Address entry texts of firewall rules. An entry is accepted into exactly one
// list or rejected; an accepted entry's text form parses back to the same
// entry; tests against any address never fail.
#include "common/userfilter.h"
#include "fuzz/fuzzcheck.h"

#include <QHostAddress>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QString entryText(const common::UserRule &rule)
{
    // "<id>: <action>: <user> on (<entry>)"
    const QString text = rule.toString();
    const int open = text.indexOf(QStringLiteral(" on ("));
    return text.mid(open + 5, text.size() - open - 6);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));

    common::UserRule rule;
    rule.id = 1;
    rule.pass = true;
    rule.user = QStringLiteral("any");
    const bool accepted = rule.addEntry(text);
    const int count = rule.hosts.size() + rule.networks.size() + rule.ranges.size();
    FUZZ_CHECK(count == (accepted ? 1 : 0));
    FUZZ_CHECK(rule.isValid() == accepted);
    if (!accepted)
        return 0;

    common::UserRule again = rule;
    again.hosts.clear();
    again.networks.clear();
    again.ranges.clear();
    FUZZ_CHECK(again.addEntry(entryText(rule)));
    if (again != rule)
        fprintf(stderr, "%s\n%s\n", qPrintable(rule.toString()), qPrintable(again.toString()));
    FUZZ_CHECK(again == rule);

    common::UserFilter filter;
    filter.addRule(rule);
    for (const char *address : {"10.0.0.1", "0.0.0.0", "255.255.255.255", "::", "::1", "fe80::1", "2001:db8::5"}) {
        common::Logon logon(QStringLiteral("u"), QHostAddress(QString::fromLatin1(address)), QDateTime(), QString(),
                            QString(), QString(), QString());
        (void)filter.match(logon);
    }
    FUZZ_CHECK(filter.removeRule(again));
    return 0;
}
