#include "comm-serd/TakStrand.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "comm-serd/TakThreadManager.h"

using namespace std::chrono_literals;

namespace {

TEST(TakStrandTest, TasksOfOneStrandRunOneAtATimeInOrderAndStrandsRunSideBySide) {
    auto pool = std::make_shared<TakThreadManager>();
    auto first = std::make_shared<TakStrand>(pool);
    auto second = std::make_shared<TakStrand>(pool);

    // The first strand's head task waits until the second strand has run: strands do not wait
    // for each other.
    std::promise<void> secondRan;
    auto secondRanFuture = secondRan.get_future().share();
    std::mutex mutex;
    std::vector<int> order;  // guarded by mutex
    std::atomic<int> running{0};
    std::atomic<int> overlap{0};
    constexpr int kTasks = 200;
    first->post([secondRanFuture] { (void)secondRanFuture.wait_for(10s); });
    for (int i = 0; i < kTasks; ++i) {
        first->post([&, i] {
            if (++running > 1) ++overlap;
            {
                std::lock_guard<std::mutex> lock(mutex);
                order.push_back(i);
            }
            --running;
        });
    }
    second->post([&secondRan] { secondRan.set_value(); });

    // Queued behind the others on the first strand: once it has run, they all have.
    std::promise<void> firstDone;
    first->post([&firstDone] { firstDone.set_value(); });
    ASSERT_EQ(firstDone.get_future().wait_for(10s), std::future_status::ready);
    ASSERT_TRUE(pool->drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_EQ(overlap.load(), 0);
    for (int i = 0; i < kTasks; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(first->pendingCount(), 0u);
}

TEST(TakStrandTest, ATaskThatThrowsDoesNotStopTheStrand) {
    auto pool = std::make_shared<TakThreadManager>();
    auto strand = std::make_shared<TakStrand>(pool);
    std::atomic<bool> after{false};
    strand->post([] { throw std::runtime_error("boom"); });
    strand->post([&after] { after = true; });
    ASSERT_TRUE(pool->drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_TRUE(after.load());
}

TEST(TakStrandTest, ThePoolDrainsWhatStrandsHold) {
    auto pool = std::make_shared<TakThreadManager>();
    auto strand = std::make_shared<TakStrand>(pool);
    std::atomic<int> ran{0};
    for (int i = 0; i < 100; ++i) strand->post([&ran] { ++ran; });
    EXPECT_TRUE(pool->drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_EQ(ran.load(), 100);
}

}  // namespace
