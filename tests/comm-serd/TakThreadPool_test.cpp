#include "comm-serd/TakThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log/TakNanolog.h"
#include "support/TakLogState.h"
#include "support/TakSyncPointCounter.h"

using namespace std::chrono_literals;

namespace {

// A gate that tasks wait at until the test opens it.
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = true;
        }
        m_cond.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_waiting;
        m_cond.notify_all();
        m_cond.wait(lock, [this] { return m_open; });
    }
    // Waits until n tasks have reached the gate.
    bool waitForWaiting(int n, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, timeout, [&] { return m_waiting >= n; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_open = false;
    int m_waiting = 0;
};

}  // namespace

TEST(TakThreadPoolTest, OneThreadRunsTasksInQueueOrder) {
    TakThreadPool pool(1, 1, 60s);
    pool.start(1);
    std::mutex mutex;
    std::vector<int> order;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(pool.commit([&, i] {
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(i);
        }));
    }
    ASSERT_TRUE(pool.drain(std::chrono::steady_clock::now() + 10s));
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}

TEST(TakThreadPoolTest, ThrowingTaskIsLoggedAtErrorAndTheWorkerGoesOn) {
    TakLogState state;
    std::mutex mutex;
    std::vector<std::string> records;
    TakNanolog::m_callback = [&](std::string text) {
        std::lock_guard<std::mutex> lock(mutex);
        records.push_back(std::move(text));
    };
    std::atomic<bool> after{false};
    {
        TakThreadPool pool(1, 1, 60s);
        pool.start(1);
        ASSERT_TRUE(pool.commit([] { throw std::runtime_error("boom"); }));
        ASSERT_TRUE(pool.commit([] { throw 42; }));
        ASSERT_TRUE(pool.commit([&] { after.store(true); }));
        ASSERT_TRUE(pool.drain(std::chrono::steady_clock::now() + 10s));
        EXPECT_TRUE(after.load());
        EXPECT_EQ(pool.threadCount(), 1u);
    }
    TakNanolog::m_callback = nullptr;
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].find("[ERROR]"), std::string::npos);
    EXPECT_NE(records[0].find("boom"), std::string::npos) << records[0];
    EXPECT_NE(records[1].find("[ERROR]"), std::string::npos);
}

TEST(TakThreadPoolTest, StartClampsTheThreadCount) {
    TakThreadPool low(2, 4, 60s);
    low.start(0);
    EXPECT_EQ(low.threadCount(), 2u);
    TakThreadPool high(1, 3, 60s);
    high.start(10);
    EXPECT_EQ(high.threadCount(), 3u);
    // Bounds that make no sense are put right: at least one thread, max not below min.
    TakThreadPool odd(0, 0, 60s);
    EXPECT_EQ(odd.minThreads(), 1u);
    EXPECT_EQ(odd.maxThreads(), 1u);
}

TEST(TakThreadPoolTest, GrowsToTheMaximumUnderLoadAndShrinksBackWhenIdle) {
    TakThreadPool pool(1, 4, 100ms);
    TakSyncPointCounter idleTimeouts("TakThreadPool::workerLoop:idleTimeout");
    pool.start(1);
    EXPECT_EQ(pool.threadCount(), 1u);

    Gate gate;
    std::atomic<int> done{0};
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(pool.commit([&] {
            gate.pass();
            ++done;
        }));
        EXPECT_LE(pool.threadCount(), 4u);
    }
    // Four run at once, never more; the rest wait in the queue.
    ASSERT_TRUE(gate.waitForWaiting(4));
    EXPECT_EQ(pool.threadCount(), 4u);
    EXPECT_EQ(pool.queuedTaskCount(), 8u);
    gate.open();
    ASSERT_TRUE(pool.drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_EQ(done.load(), 12);

    // Each idle time-out ends a thread (the thread leaves the pool before the next time-out is
    // counted) until one is left.
    bool shrunk = false;
    while (!shrunk && idleTimeouts.waitForNext()) shrunk = pool.threadCount() == 1u;
    ASSERT_TRUE(shrunk) << pool.threadCount() << " threads";
    // The last thread stays through its own idle time-out, and still works.
    ASSERT_TRUE(idleTimeouts.waitForNext());
    EXPECT_EQ(pool.threadCount(), 1u);
    std::atomic<bool> ran{false};
    ASSERT_TRUE(pool.commit([&] { ran.store(true); }));
    ASSERT_TRUE(pool.drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_TRUE(ran.load());
}

TEST(TakThreadPoolTest, CommitBeforeStartStartsThePool) {
    TakThreadPool pool(1, 2, 60s);
    std::atomic<bool> ran{false};
    ASSERT_TRUE(pool.commit([&] { ran.store(true); }));
    ASSERT_TRUE(pool.drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_TRUE(ran.load());
    EXPECT_GE(pool.threadCount(), 1u);
    EXPECT_LE(pool.threadCount(), 2u);
}

TEST(TakThreadPoolTest, StopDropsQueuedTasksAndJoinsTheRunningOne) {
    TakThreadPool pool(1, 1, 60s);
    pool.start(1);
    Gate gate;
    std::atomic<bool> firstDone{false};
    std::atomic<int> queuedRan{0};
    TakSyncPointCounter stopping("TakThreadPool::stop:joining");
    ASSERT_TRUE(pool.commit([&] {
        gate.pass();
        firstDone.store(true);
    }));
    ASSERT_TRUE(gate.waitForWaiting(1));
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(pool.commit([&] { ++queuedRan; }));

    std::thread stopper([&] { pool.stop(); });
    ASSERT_TRUE(stopping.waitFor(1));  // the queue is cleared before the point
    EXPECT_EQ(pool.queuedTaskCount(), 0u);
    gate.open();
    stopper.join();
    EXPECT_TRUE(firstDone.load());
    EXPECT_EQ(queuedRan.load(), 0);
    EXPECT_EQ(pool.threadCount(), 0u);
}

TEST(TakThreadPoolTest, TaskCommittedWhileThePoolStopsIsDropped) {
    // A running task that queues more work while the pool is being stopped (a policy pass that
    // queues an answer during shutdown) must not leave a thread behind.
    std::atomic<int> lateCommit{-1};
    std::atomic<bool> lateRan{false};
    TakSyncPointCounter joining("TakThreadPool::stop:joining");
    {
        TakThreadPool pool(1, 2, 60s);
        pool.start(1);
        Gate gate;
        ASSERT_TRUE(pool.commit([&] {
            gate.pass();
            EXPECT_TRUE(joining.waitFor(1));  // stop() is joining this thread now
            lateCommit.store(pool.commit([&] { lateRan.store(true); }) ? 1 : 0);
        }));
        ASSERT_TRUE(gate.waitForWaiting(1));
        gate.open();
        pool.stop();
        EXPECT_EQ(pool.threadCount(), 0u);
    }
    EXPECT_EQ(lateCommit.load(), 0);
    EXPECT_FALSE(lateRan.load());

    // start() after stop() makes the pool usable again.
    TakThreadPool again(1, 1, 60s);
    again.start(1);
    again.stop();
    again.start(1);
    std::atomic<bool> ran{false};
    ASSERT_TRUE(again.commit([&] { ran.store(true); }));
    ASSERT_TRUE(again.drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_TRUE(ran.load());
}
