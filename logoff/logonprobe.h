#pragma once

#include "common/logon.h"

#include <QDateTime>
#include <QSharedPointer>

namespace logoffCollector {

// An entry of the probe cache: a logon and its probing state. Shared between
// the cache and the worker probing it; both use it only in the logoff
// collector's thread.
class LogonProbe : public common::Logon
{
public:
    explicit LogonProbe(const common::Logon &logon) : common::Logon(logon), lastProbeTime(logon.time()) {}

    // When the entry was last taken for a regular probe (the logon's time at first).
    QDateTime lastProbeTime;
    // 1 after a failed probe, 0 again after a successful one.
    qint32 failed = 0;
};

using ShdLogonProbe = QSharedPointer<LogonProbe>;

} // namespace logoffCollector
