#include "comm-serd/TakSyncPoint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace {

TEST(TakSyncPointTest, CallbackRunsForItsOwnPointUntilReplacedOrRemoved) {
    TakSyncPoint& points = TakSyncPoint::instance();
    int first = 0;
    int second = 0;
    points.setCallback("test:a", [&first] { ++first; });
    points.process("test:a");
    points.process("test:b");  // no callback: nothing happens
    points.process("test:a");
    EXPECT_EQ(first, 2);

    points.setCallback("test:a", [&second] { ++second; });
    points.process("test:a");
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);

    points.clearCallback("test:a");
    points.clearCallback("test:a");  // removing twice is harmless
    points.process("test:a");
    EXPECT_EQ(second, 1);

#ifdef TAK_SYNC_POINTS
    points.setCallback("test:macro", [&first] { ++first; });
    TAK_SYNC_POINT("test:macro");
    points.clearCallback("test:macro");
    EXPECT_EQ(first, 3);
#endif
}

// Removing a callback waits for the calls that run it: what it refers to may go afterwards.
TEST(TakSyncPointTest, RemovalWaitsForRunningCallsAndSurvivesAThrowingOne) {
    TakSyncPoint& points = TakSyncPoint::instance();
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> const released = release.get_future().share();
    std::atomic<bool> removed{false};
    std::atomic<bool> removedWhileRunning{false};
    points.setCallback("test:held", [&] {
        entered.set_value();
        released.wait();
        removedWhileRunning = removed.load();
    });
    std::thread passer([&points] { points.process("test:held"); });
    entered.get_future().wait();
    std::thread remover([&] {
        points.clearCallback("test:held");
        removed = true;
    });
    release.set_value();
    remover.join();
    passer.join();
    EXPECT_TRUE(removed.load());
    EXPECT_FALSE(removedWhileRunning.load());

    // A callback that throws ends its call all the same: removal does not wait for it forever.
    points.setCallback("test:throws", [] { throw std::runtime_error("from the callback"); });
    EXPECT_THROW(points.process("test:throws"), std::runtime_error);
    points.clearCallback("test:throws");
}

}  // namespace
