#include "common/backgroundrelease.h"

#include <atomic>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace common {

namespace {

// One thread per item handed over: freeing is bound by memory latency, so
// several caches let go of at once (every firewall's at a stop) go faster
// side by side, as they did in their own collector threads.
struct Freeing
{
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

struct ReleaseState
{
    std::mutex mutex;
    std::list<Freeing> running; // under mutex
    bool keeping = false;       // under mutex: keepUntilExit() was called

    ~ReleaseState() { join(true); }

    // Joins the threads that have finished; with all, waits for every one.
    void join(bool all)
    {
        std::list<Freeing> ending;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto it = running.begin(); it != running.end();) {
                if (all || it->done->load())
                    ending.splice(ending.end(), running, it++);
                else
                    ++it;
            }
        }
        for (Freeing &freeing : ending)
            freeing.thread.join();
    }
};

ReleaseState &state()
{
    static ReleaseState releaseState;
    return releaseState;
}

// What is kept until the process ends. A plain pointer in static storage:
// never destroyed, and reachable to the end (no leak to a leak checker).
std::vector<void *> *kept = nullptr;

} // namespace

void BackgroundRelease::post(std::unique_ptr<Held> held)
{
    ReleaseState &s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.keeping) {
            if (!kept)
                kept = new std::vector<void *>;
            kept->push_back(held.release());
            return;
        }
    }
    s.join(false);
    Freeing freeing;
    try {
        freeing.thread = std::thread([held = std::move(held), done = freeing.done]() mutable {
            held.reset();
            done->store(true);
        });
    } catch (const std::system_error &) {
        // No thread to be had: what it held went here after all.
        return;
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    s.running.push_back(std::move(freeing));
}

void BackgroundRelease::keepUntilExit()
{
    ReleaseState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.keeping = true;
}

void BackgroundRelease::waitForAll()
{
    state().join(true);
}

} // namespace common
