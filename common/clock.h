#pragma once

#include <QDateTime>

namespace common {

// The one place the agent asks for "now". Rules on ages and time-outs
// (expiry, keep-alive, obsolescence) read it, so tests can move time
// without waiting. Thread-safe: the override is an atomic pointer swap.
class Clock
{
public:
    static QDateTime now(); // local time, second precision is up to the caller
    static qint64 nowMSecsSinceEpoch();

    // With TZ unset the C library looks at /etc/localtime again (a stat) on
    // every local-time conversion Qt makes, which dominated reading a log;
    // naming the file in TZ has it read once for the life of the process, as
    // the log's stamps already are. A TZ that is set is left alone. Call at
    // the start of main, before any thread exists.
    static void readTimeZoneOnce();

    // "Wed May 20 03:40:13 1998", or empty for an invalid time. Built by hand:
    // the locale-aware formatters are not safe on a thread's first use.
    static QString textDate(const QDateTime &time);

    // Tests: pin "now" to a fixed instant, move it, or go back to the real clock.
    static void setNowForTest(const QDateTime &fixed);
    static void advanceForTest(qint64 seconds);
    static void resetForTest();
};

} // namespace common
