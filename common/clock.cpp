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

QString Clock::textDate(const QDateTime &time)
{
    static const char *const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (!time.isValid())
        return QString();
    const QDate date = time.date();
    const QTime clock = time.time();
    return QStringLiteral("%1 %2 %3 %4:%5:%6 %7")
        .arg(QLatin1String(days[date.dayOfWeek() - 1]), QLatin1String(months[date.month() - 1]))
        .arg(date.day())
        .arg(clock.hour(), 2, 10, QLatin1Char('0'))
        .arg(clock.minute(), 2, 10, QLatin1Char('0'))
        .arg(clock.second(), 2, 10, QLatin1Char('0'))
        .arg(date.year());
}

} // namespace common
