#pragma once

#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <mutex>

class QThread;

namespace lookup {

// One short-lived look-up thread. The worker works on data it owns (shared
// with the batch that started it), so a worker the batch stopped waiting for
// can finish later without touching anything that is gone: once abandoned it
// writes no log line, and the batch takes no result from it. Threads are never
// killed; a look-up ends by itself within its time-outs.
class LookupThread
{
public:
    // Starts work in a new operating-system thread. Returns nullptr and sets
    // *error (errno) when the system cannot create one.
    static std::shared_ptr<LookupThread> start(std::function<void()> work, int *error);

    // Whether the work has finished (then its results are stable).
    bool isFinished() const;
    // Stops the worker's log lines; afterwards nothing it does is seen.
    void abandon();

    // Log lines of look-up code: from a worker thread they are written only
    // while its batch still waits for it; from any other thread always.
    static bool logLow(const QString &text);
    static bool logHigh(const QString &text);

    // Waits up to timeoutMs for all of the threads or for any one. Returns
    // 0 when all finished, the index of a finished thread when waiting for
    // any, -1 on time-out. No threads: 0 at once.
    static int waitFor(const QList<std::shared_ptr<LookupThread>> &threads, bool all, int timeoutMs);

    // Makes every batch run by thread give up at once, as at its time limit,
    // from now until allowBatchesIn: a thread being stopped must not sit out
    // its look-ups. Thread-safe.
    static void interruptBatchesIn(const QThread *thread);
    static void allowBatchesIn(const QThread *thread);
    // Whether the calling thread's batches are interrupted.
    static bool batchesInterrupted();

    // Look-up threads alive in the process, including abandoned ones.
    static int runningCount();
    // Tests: the next thread starts fail (with EAGAIN) after this many more
    // succeed; a negative count switches the failure off.
    static void failStartsAfterForTest(int count);

private:
    LookupThread() = default;
    void run(const std::function<void()> &work);
    static bool gatedLog(bool high, const QString &text);

    std::mutex m_gate;        // held while the worker writes a log line
    bool m_abandoned = false; // under m_gate
    bool m_finished = false;  // under the process-wide wait mutex
};

using LookupThreadHandle = std::shared_ptr<LookupThread>;

} // namespace lookup
