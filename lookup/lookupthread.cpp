#include "lookup/lookupthread.h"

#include "log/applicationdebug.h"

#include <QThread>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <set>
#include <system_error>
#include <thread>

namespace lookup {

namespace {

// Shared by every batch: a finishing worker wakes all waiters, each checks its
// own threads. Never destroyed, since an abandoned worker may finish while
// the process exits.
struct WaitState
{
    std::mutex mutex;
    std::condition_variable finished;
    std::set<const QThread *> interrupted; // threads whose batches give up; under mutex
};

WaitState &waitState()
{
    static WaitState *state = new WaitState;
    return *state;
}

std::atomic<int> running{0};
std::atomic<int> startsBeforeFailure{-1};

thread_local LookupThread *currentThread = nullptr;

} // namespace

std::shared_ptr<LookupThread> LookupThread::start(std::function<void()> work, int *error)
{
    int allowed = startsBeforeFailure.load();
    while (allowed >= 0) {
        if (allowed == 0) {
            *error = EAGAIN;
            return nullptr;
        }
        if (startsBeforeFailure.compare_exchange_weak(allowed, allowed - 1))
            break;
    }
    std::shared_ptr<LookupThread> thread(new LookupThread);
    running.fetch_add(1);
    try {
        // The thread keeps its own reference: it outlives the batch if need be.
        std::thread([thread, work = std::move(work)] { thread->run(work); }).detach();
    } catch (const std::system_error &failure) {
        running.fetch_sub(1);
        *error = failure.code().value();
        return nullptr;
    }
    return thread;
}

void LookupThread::run(const std::function<void()> &work)
{
    currentThread = this;
    work();
    currentThread = nullptr;
    {
        std::lock_guard<std::mutex> lock(waitState().mutex);
        m_finished = true;
    }
    waitState().finished.notify_all();
    running.fetch_sub(1);
}

bool LookupThread::isFinished() const
{
    std::lock_guard<std::mutex> lock(waitState().mutex);
    return m_finished;
}

void LookupThread::abandon()
{
    std::lock_guard<std::mutex> lock(m_gate);
    m_abandoned = true;
}

int LookupThread::waitFor(const QList<std::shared_ptr<LookupThread>> &threads, bool all, int timeoutMs)
{
    if (threads.isEmpty())
        return 0;
    int index = -1;
    bool interrupted = false;
    const QThread *self = QThread::currentThread();
    const auto done = [&] {
        if (waitState().interrupted.count(self) != 0) {
            interrupted = true;
            return true;
        }
        for (int i = 0; i < threads.size(); ++i) {
            if (threads.at(i)->m_finished == !all) {
                index = i;
                return !all;
            }
        }
        if (all)
            index = 0;
        return all;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    std::unique_lock<std::mutex> lock(waitState().mutex);
    if (!waitState().finished.wait_until(lock, deadline, done) || interrupted)
        return -1;
    return index;
}

void LookupThread::interruptBatchesIn(const QThread *thread)
{
    {
        std::lock_guard<std::mutex> lock(waitState().mutex);
        waitState().interrupted.insert(thread);
    }
    waitState().finished.notify_all();
}

void LookupThread::allowBatchesIn(const QThread *thread)
{
    std::lock_guard<std::mutex> lock(waitState().mutex);
    waitState().interrupted.erase(thread);
}

bool LookupThread::batchesInterrupted()
{
    const QThread *self = QThread::currentThread();
    std::lock_guard<std::mutex> lock(waitState().mutex);
    return waitState().interrupted.count(self) != 0;
}

bool LookupThread::gatedLog(bool high, const QString &text)
{
    LookupThread *thread = currentThread;
    if (!thread)
        return high ? ApplicationDebug::logHigh(text) : ApplicationDebug::logLow(text);
    std::lock_guard<std::mutex> lock(thread->m_gate);
    if (thread->m_abandoned)
        return false;
    return high ? ApplicationDebug::logHigh(text) : ApplicationDebug::logLow(text);
}

bool LookupThread::logLow(const QString &text)
{
    return gatedLog(false, text);
}

bool LookupThread::logHigh(const QString &text)
{
    return gatedLog(true, text);
}

int LookupThread::runningCount()
{
    return running.load();
}

void LookupThread::failStartsAfterForTest(int count)
{
    startsBeforeFailure.store(count);
}

} // namespace lookup
