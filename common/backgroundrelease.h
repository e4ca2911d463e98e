#pragma once

#include <memory>
#include <type_traits>

namespace common {

// Frees large collections (a probe cache of a quarter of a million entries,
// say) in threads of their own, so that the thread that lets go of them (a
// collector thread that a stop is waiting for, the main thread closing a
// firewall's connection) does not spend seconds releasing memory node by node.
//
// Any thread may hand data over; each item is destroyed in a short-lived
// thread of its own. waitForAll() blocks until everything handed over so far
// is destroyed (the entry point calls it before the process ends; the
// process-wide state also does at exit). The data must not be thread-affine
// (no QObject): plain values and implicitly shared Qt containers are fine.
class BackgroundRelease
{
public:
    // Collections with fewer entries than this are cheap to free where they are.
    static constexpr int LargeEntries = 10000;

    template <typename T> static void release(T &&data)
    {
        post(std::make_unique<HeldValue<std::decay_t<T>>>(std::forward<T>(data)));
    }
    static void waitForAll();
    // The process is ending: what is handed over from now on is kept, not
    // freed. The system takes the whole memory back at once when the process
    // exits, where freeing millions of entries one by one would hold up the
    // exit (and systemctl stop) for seconds.
    static void keepUntilExit();

private:
    struct Held
    {
        virtual ~Held() = default;
    };
    template <typename T> struct HeldValue : Held
    {
        explicit HeldValue(T &&data) : value(std::move(data)) {}
        T value;
    };
    static void post(std::unique_ptr<Held> held);
};

} // namespace common
