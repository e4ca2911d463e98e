#include "common/backgroundrelease.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace common {

namespace {

struct ReleaseState
{
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::unique_ptr<BackgroundRelease::Held>> queue; // under mutex
    bool ending = false;                                        // under mutex: the thread ends once the queue is empty
    std::thread thread;                                         // started and joined under startStop

    std::mutex startStop;

    ~ReleaseState() { stop(); }

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return ending || !queue.empty(); });
            if (queue.empty())
                return;
            std::unique_ptr<BackgroundRelease::Held> next = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            next.reset(); // outside the lock: this takes the time
            lock.lock();
        }
    }

    void stop()
    {
        std::lock_guard<std::mutex> guard(startStop);
        if (!thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ending = true;
        }
        changed.notify_all();
        thread.join();
        std::lock_guard<std::mutex> lock(mutex);
        ending = false;
    }
};

ReleaseState &state()
{
    static ReleaseState releaseState;
    return releaseState;
}

} // namespace

void BackgroundRelease::post(std::unique_ptr<Held> held)
{
    ReleaseState &s = state();
    std::lock_guard<std::mutex> guard(s.startStop);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.queue.push_back(std::move(held));
    }
    if (!s.thread.joinable()) {
        try {
            s.thread = std::thread([&s] { s.run(); });
        } catch (const std::system_error &) {
            // No thread to be had: freed here after all.
            std::unique_ptr<Held> here;
            {
                std::lock_guard<std::mutex> lock(s.mutex);
                here = std::move(s.queue.back());
                s.queue.pop_back();
            }
            return;
        }
    }
    s.changed.notify_all();
}

void BackgroundRelease::waitForAll()
{
    state().stop();
}

} // namespace common
