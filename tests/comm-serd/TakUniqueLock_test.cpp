#include "comm-serd/TakUniqueLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

#include "comm-serd/TakLockGuard.h"
#include "comm-serd/TakMutex.h"

namespace {

// A flag behind a TakMutex that a std::condition_variable waits for, as the pool, the host
// query and the loop threads use them.
struct Signal {
    TakMutex mutex;
    std::condition_variable cond;
    bool ready TAK_GUARDED_BY(mutex) = false;

    void set() {
        {
            TakLockGuard lock(mutex);
            ready = true;
        }
        cond.notify_all();
    }
};

// Whether another thread finds the mutex free (and leaves it as it was).
bool freeElsewhere(TakMutex& mutex) {
    return std::async(std::launch::async, [&mutex] {
               if (!mutex.try_lock()) return false;
               mutex.unlock();
               return true;
           }).get();
}

TEST(TakUniqueLockTest, WaitReleasesTheMutexAndWakesWhenNotified) {
    Signal signal;
    std::promise<void> waiting;
    std::thread waiter([&] {
        TakUniqueLock lock(signal.mutex);
        waiting.set_value();
        // Far longer than any run takes: returning true means the notification woke it.
        bool const woken = signal.cond.wait_for(
            lock.native(), std::chrono::seconds(30),
            [&signal]() TAK_REQUIRES(signal.mutex) { return signal.ready; });
        EXPECT_TRUE(woken);
    });
    waiting.get_future().wait();
    // Takes the mutex the waiter holds while it waits: only possible if the wait released it.
    signal.set();
    waiter.join();
}

TEST(TakUniqueLockTest, TimedWaitReturnsWithTheMutexHeldAndUnlockReleasesIt) {
    Signal signal;
    {
        TakUniqueLock lock(signal.mutex);
        auto const start = std::chrono::steady_clock::now();
        EXPECT_FALSE(signal.cond.wait_for(
            lock.native(), std::chrono::milliseconds(20),
            [&signal]() TAK_REQUIRES(signal.mutex) { return signal.ready; }));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
        EXPECT_FALSE(freeElsewhere(signal.mutex));
        lock.unlock();
        EXPECT_TRUE(freeElsewhere(signal.mutex));
        lock.lock();
        EXPECT_FALSE(freeElsewhere(signal.mutex));
    }
    EXPECT_TRUE(freeElsewhere(signal.mutex));
}

}  // namespace
