#pragma once

#include "log/applicationlog.h"

#include <QString>
#include <QStringList>

// The process-wide log. Every operation is safe before create() and after
// destroy(): it then does nothing and returns false. Until a verbosity level
// is applied both levels are written.
class ApplicationDebug : public ApplicationLog
{
public:
    enum Level : quint32 { LevelLow = 1, LevelHigh = 2 };

    static void create(const QString &logDirectory);
    static ApplicationDebug *instance();
    static void destroy();

    // on sets the bits of mask, off clears them.
    static void setLevel(quint32 mask, bool on);
    // "<local ISO date-time>: <text>", written when level "low" is on.
    static bool logLow(const QString &text);
    // The same, written only when level "high" is on.
    static bool logHigh(const QString &text);
    // Whether lines of that level are written now: lets a busy caller skip
    // building texts nobody will read.
    static bool isOn(Level level);
    // Lines written together at level "high" (a message dump), joined by CR
    // LF after one time stamp; each line is made printable on its own.
    static bool logHighLines(const QStringList &lines);

    // Control characters (CR, LF, tab, escape, NUL, DEL and the C1 range)
    // as printable escapes ("\r", "\n", "\t", "\x1b"), so that text from
    // a firewall or a file can neither forge a line nor reach a terminal.
    // Every logged text goes through it.
    static QString printable(const QString &text);

    // Every line written from now on also goes to standard error (console runs).
    static void setEchoToStandardError(bool on);

    // Applies a VerboseLevel value: 0 off, 1 low, 2 low and high, anything else off.
    static void applyVerboseLevel(int verboseLevel);

private:
    using ApplicationLog::ApplicationLog;
    static bool logWithBit(quint32 bit, const QString &text);
};
