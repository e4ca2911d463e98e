#include "log/applicationdebug.h"

#include <QDateTime>
#include <atomic>

namespace {
// Published by create(), read by any logging thread.
std::atomic<ApplicationDebug *> theInstance{nullptr};
} // namespace

void ApplicationDebug::create(const QString &logDirectory)
{
    if (theInstance.load())
        return;
    theInstance.store(new ApplicationDebug(logDirectory));
}

ApplicationDebug *ApplicationDebug::instance()
{
    return theInstance.load();
}

void ApplicationDebug::destroy()
{
    delete theInstance.exchange(nullptr);
}

void ApplicationDebug::setLevel(quint32 mask, bool on)
{
    ApplicationDebug *log = theInstance.load();
    if (!log)
        return;
    log->setLevelMask(on ? (log->levelMask() | mask) : (log->levelMask() & ~mask));
}

void ApplicationDebug::applyVerboseLevel(int verboseLevel)
{
    setLevel(255, false);
    if (verboseLevel == 1) {
        setLevel(LevelLow, true);
    } else if (verboseLevel == 2) {
        setLevel(LevelLow, true);
        setLevel(LevelHigh, true);
    }
}

bool ApplicationDebug::logWithBit(quint32 bit, const QString &text)
{
    ApplicationDebug *log = theInstance.load();
    if (!log || !(log->levelMask() & bit))
        return false;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    return log->write(QStringLiteral("%1: %2").arg(stamp, text));
}

bool ApplicationDebug::logLow(const QString &text)
{
    return logWithBit(LevelLow, text);
}

bool ApplicationDebug::logHigh(const QString &text)
{
    return logWithBit(LevelHigh, text);
}
