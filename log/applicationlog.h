#pragma once

#include "log/log.h"

#include <atomic>

// The agent's log: "log/<executable base name>.log" in the given folder,
// 1 MiB per file, at most 100 files, lines prefixed by the local time.
// levelMask bit 1 is the level "low", bit 2 the level "high".
class ApplicationLog : public Log
{
public:
    explicit ApplicationLog(const QString &logDirectory);

    void setFileName(const QString &name) override;
    bool write(const QString &text) override;

    quint32 levelMask() const { return m_levelMask.load(std::memory_order_relaxed); }
    void setLevelMask(quint32 mask) { m_levelMask.store(mask, std::memory_order_relaxed); }
    // A console run also shows every line written on standard error.
    void setEcho(bool on) { m_echo.store(on, std::memory_order_relaxed); }

private:
    std::atomic<bool> m_echo{false};
    // Changed by the main thread, read by every logging thread; a change
    // between the test and the write is harmless.
    std::atomic<quint32> m_levelMask{3};
};
