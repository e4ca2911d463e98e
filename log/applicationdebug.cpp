#include "log/applicationdebug.h"

#include <algorithm>
#include <atomic>
#include <ctime>

namespace {
// Published by create(), read by any logging thread.
std::atomic<ApplicationDebug *> theInstance{nullptr};

// The local time of the line, taken with the C library's reentrant calls:
// Qt 5's formatted date-time goes through the system locale, whose set-up on
// first use races between threads and then yields an empty stamp.
QString localStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32];
    if (!localtime_r(&now, &parts))
        return QStringLiteral("0000-00-00T00:00:00");
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    return QString::fromLatin1(text, int(length));
}
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

void ApplicationDebug::setEchoToStandardError(bool on)
{
    if (ApplicationDebug *log = theInstance.load())
        log->setEcho(on);
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

namespace {

bool isControl(ushort c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

} // namespace

QString ApplicationDebug::printable(const QString &text)
{
    const ushort *begin = text.utf16();
    const ushort *end = begin + text.size();
    const ushort *first = std::find_if(begin, end, isControl);
    if (first == end)
        return text;
    QString out = text.left(static_cast<int>(first - begin));
    out.reserve(text.size() + 16);
    for (const ushort *p = first; p < end; ++p) {
        const ushort c = *p;
        if (!isControl(c)) {
            out.append(QChar(c));
        } else if (c == '\r') {
            out.append(QLatin1String("\\r"));
        } else if (c == '\n') {
            out.append(QLatin1String("\\n"));
        } else if (c == '\t') {
            out.append(QLatin1String("\\t"));
        } else {
            static const char Hex[] = "0123456789abcdef";
            const char escape[] = {'\\', 'x', Hex[c >> 4], Hex[c & 15]};
            out.append(QLatin1String(escape, 4));
        }
    }
    return out;
}

bool ApplicationDebug::logWithBit(quint32 bit, const QString &text)
{
    ApplicationDebug *log = theInstance.load();
    if (!log || !(log->levelMask() & bit))
        return false;
    return log->write(QStringLiteral("%1: %2").arg(localStamp(), printable(text)));
}

bool ApplicationDebug::logHighLines(const QStringList &lines)
{
    ApplicationDebug *log = theInstance.load();
    if (!log || !(log->levelMask() & LevelHigh))
        return false;
    QStringList safe;
    safe.reserve(lines.size());
    for (const QString &line : lines)
        safe.append(printable(line));
    return log->write(QStringLiteral("%1: %2").arg(localStamp(), safe.join(QStringLiteral("\r\n"))));
}

bool ApplicationDebug::logLow(const QString &text)
{
    return logWithBit(LevelLow, text);
}

bool ApplicationDebug::logHigh(const QString &text)
{
    return logWithBit(LevelHigh, text);
}

bool ApplicationDebug::isOn(Level level)
{
    ApplicationDebug *log = theInstance.load();
    return log && (log->levelMask() & level);
}
