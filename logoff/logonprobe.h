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
    explicit LogonProbe(const common::Logon &logon)
        : common::Logon(logon), timeMSecs(logon.time().toMSecsSinceEpoch()),
          lastProbeTime(QDateTime::fromMSecsSinceEpoch(timeMSecs, Qt::UTC))
    {}

    // The logon's time as milliseconds since the epoch: ages are compared
    // without a time-zone conversion per entry and cycle.
    const qint64 timeMSecs;
    // When the entry was last taken for a regular probe (the logon's time at
    // first). Kept in UTC for the same reason; it is the same instant.
    QDateTime lastProbeTime;
    // 1 after a failed probe, 0 again after a successful one.
    qint32 failed = 0;
};

using ShdLogonProbe = QSharedPointer<LogonProbe>;

} // namespace logoffCollector
