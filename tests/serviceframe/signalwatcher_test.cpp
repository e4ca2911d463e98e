#include "serviceframe/signalwatcher.h"

#include <QSignalSpy>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

namespace {

TEST(SignalWatcher, DeliversSignalsInTheEventLoopAndRestoresDefaults)
{
    std::unique_ptr<SignalWatcher> watcher(SignalWatcher::create({SignalWatcher::Interrupt, SignalWatcher::Terminate}));
    ASSERT_TRUE(watcher);
    QSignalSpy spy(watcher.get(), &SignalWatcher::handleSignal);

    ASSERT_EQ(::raise(SIGINT), 0);
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_EQ(::raise(SIGINT), 0);
    for (int i = 0; i < 3 && spy.count() < 3; ++i)
        spy.wait(2000);
    ASSERT_EQ(spy.count(), 3);
    EXPECT_EQ(spy.at(0).at(0).value<SignalWatcher::Action>(), SignalWatcher::Interrupt);
    EXPECT_EQ(spy.at(1).at(0).value<SignalWatcher::Action>(), SignalWatcher::Terminate);
    EXPECT_EQ(spy.at(2).at(0).value<SignalWatcher::Action>(), SignalWatcher::Interrupt);

    // Only one watcher per process: a second one is refused, the first keeps working.
    EXPECT_EQ(SignalWatcher::create({SignalWatcher::Interrupt}), nullptr);

    watcher.reset();
    struct sigaction current = {};
    ASSERT_EQ(::sigaction(SIGINT, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
    ASSERT_EQ(::sigaction(SIGTERM, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_DFL);

    // A new watcher can be made after the first is gone.
    std::unique_ptr<SignalWatcher> again(SignalWatcher::create({SignalWatcher::Terminate}));
    ASSERT_TRUE(again);
    QSignalSpy againSpy(again.get(), &SignalWatcher::handleSignal);
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_TRUE(againSpy.wait(2000));
}

} // namespace
