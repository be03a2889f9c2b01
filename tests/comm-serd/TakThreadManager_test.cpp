#include "comm-serd/TakThreadManager.h"

#include "comm-serd/TakComUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/TakNanolog.h"
#include "support/TakLogState.h"

using namespace std::chrono_literals;

namespace {}  // namespace

TEST(TakThreadManagerTest, PoolHasHardwareConcurrencyThreadsFromTheStart) {
    auto manager = std::make_shared<TakThreadManager>();
    EXPECT_EQ(manager->pool().minThreads(), 1u);
    EXPECT_EQ(manager->pool().maxThreads(), TakComUtil::hardwareThreads());
    EXPECT_EQ(manager->pool().threadCount(), TakComUtil::hardwareThreads());

    // Under load it never grows past the hardware threads.
    std::promise<void> release;
    std::shared_future<void> const released = release.get_future().share();
    std::atomic<int> done{0};
    for (int i = 0; i < 50; ++i) {
        manager->addWork([&done, released] {
            released.wait();
            ++done;
        });
    }
    EXPECT_EQ(manager->pool().threadCount(), TakComUtil::hardwareThreads());
    release.set_value();
    ASSERT_TRUE(manager->drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_EQ(done.load(), 50);
}

TEST(TakThreadManagerTest, PacketRunsItsHandlerWithItsMessageAndIsReleasedAfterwards) {
    auto manager = std::make_shared<TakThreadManager>();
    std::atomic<int> calls{0};
    auto packet = std::make_shared<STLogPacket>();
    packet->handler = [&calls](std::shared_ptr<Tak::Business::MessageData> message) {
        if (message == nullptr) ++calls;
    };
    std::weak_ptr<STLogPacket> const watch = packet;
    manager->addPacket(std::move(packet));
    // The pool is idle once the task has run and let go of what it held.
    ASSERT_TRUE(manager->drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_EQ(calls.load(), 1);
    // The task kept the packet alive until it ran, and not longer.
    EXPECT_TRUE(watch.expired());
}

TEST(TakThreadManagerTest, EmptyHandlerNullPacketAndEmptyWorkAreAccepted) {
    auto manager = std::make_shared<TakThreadManager>();
    manager->addPacket(std::make_shared<STLogPacket>());
    manager->addPacket(nullptr);
    manager->addWork(nullptr);
    std::atomic<bool> ran{false};
    manager->addWork([&] { ran.store(true); });
    ASSERT_TRUE(manager->drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_TRUE(ran.load());
}

TEST(TakThreadManagerTest, ThrowingWorkIsLoggedAndLaterWorkStillRuns) {
    TakLogState state;
    std::mutex mutex;
    std::vector<std::string> errors;
    TakNanolog::m_callback = [&](std::string text) {
        std::lock_guard<std::mutex> lock(mutex);
        if (text.find("[ERROR]") != std::string::npos) errors.push_back(text);
    };
    auto manager = std::make_shared<TakThreadManager>();
    std::atomic<int> ran{0};
    for (size_t i = 0; i < 2 * TakComUtil::hardwareThreads(); ++i) {
        manager->addWork([] { throw std::logic_error("bad packet"); });
    }
    for (int i = 0; i < 20; ++i) manager->addWork([&] { ++ran; });
    ASSERT_TRUE(manager->drain(std::chrono::steady_clock::now() + 10s));
    EXPECT_EQ(ran.load(), 20);
    manager.reset();
    TakNanolog::m_callback = nullptr;
    EXPECT_EQ(errors.size(), 2 * TakComUtil::hardwareThreads());
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors[0].find("bad packet"), std::string::npos);
}
