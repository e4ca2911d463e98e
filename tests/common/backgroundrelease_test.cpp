// common::BackgroundRelease: what is handed over goes in another thread,
// waitForAll() returns only once all of it has gone, and once the process
// ends nothing more is freed.
#include "common/backgroundrelease.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Record
{
    std::mutex mutex;
    std::vector<int> order; // indexes of those destroyed
    std::vector<std::thread::id> threads;
};

// Says when and where it is destroyed; a moved-from one says nothing.
class Tracked
{
public:
    Tracked(std::shared_ptr<Record> record, int index) : m_record(std::move(record)), m_index(index) {}
    Tracked(Tracked &&other) noexcept = default;
    Tracked(const Tracked &) = delete;
    ~Tracked()
    {
        if (!m_record)
            return;
        std::lock_guard<std::mutex> lock(m_record->mutex);
        m_record->order.push_back(m_index);
        m_record->threads.push_back(std::this_thread::get_id());
    }

private:
    std::shared_ptr<Record> m_record;
    int m_index;
};

TEST(BackgroundRelease, DestroysInOtherThreadsUntilTheProcessEnds)
{
    // Twice: data handed over after waitForAll goes the same way.
    for (int round = 0; round < 2; ++round) {
        auto record = std::make_shared<Record>();
        for (int i = 0; i < 50; ++i)
            common::BackgroundRelease::release(Tracked(record, i));
        common::BackgroundRelease::waitForAll();
        std::vector<int> expected;
        for (int i = 0; i < 50; ++i)
            expected.push_back(i);
        std::lock_guard<std::mutex> lock(record->mutex);
        std::sort(record->order.begin(), record->order.end());
        EXPECT_EQ(record->order, expected) << "round " << round;
        for (const std::thread::id &thread : record->threads)
            EXPECT_NE(thread, std::this_thread::get_id()) << "round " << round;
    }

    // The process ends: what comes now is left to the system.
    common::BackgroundRelease::keepUntilExit();
    auto record = std::make_shared<Record>();
    common::BackgroundRelease::release(Tracked(record, 0));
    common::BackgroundRelease::waitForAll();
    std::lock_guard<std::mutex> lock(record->mutex);
    EXPECT_TRUE(record->order.empty());
}

} // namespace
