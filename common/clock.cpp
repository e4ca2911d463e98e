#include "clock.h"

#include <atomic>
#include <ctime>
#include <limits>

namespace common {

namespace {
// Milliseconds since the epoch of the pinned time, or INT64_MIN for the real clock.
std::atomic<qint64> pinnedMSecs{std::numeric_limits<qint64>::min()};
} // namespace

QDateTime Clock::now()
{
    return QDateTime::fromMSecsSinceEpoch(nowMSecsSinceEpoch());
}

void Clock::readTimeZoneOnce()
{
    if (!qEnvironmentVariableIsSet("TZ")) {
        qputenv("TZ", ":/etc/localtime");
        tzset();
    }
}

qint64 Clock::nowMSecsSinceEpoch()
{
    const qint64 pinned = pinnedMSecs.load();
    return pinned == std::numeric_limits<qint64>::min() ? QDateTime::currentMSecsSinceEpoch() : pinned;
}

void Clock::setNowForTest(const QDateTime &fixed)
{
    pinnedMSecs.store(fixed.toMSecsSinceEpoch());
}

void Clock::advanceForTest(qint64 seconds)
{
    qint64 current = nowMSecsSinceEpoch();
    pinnedMSecs.store(current + seconds * 1000);
}

void Clock::resetForTest()
{
    pinnedMSecs.store(std::numeric_limits<qint64>::min());
}

} // namespace common
