#include "log/TakNanoQueueBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using TakNanolog::LogLevel;
using TakNanolog::QueueBuffer;
using TakNanolog::TakNanoLogLine;

namespace {

constexpr uint32_t kBlock = TakNanolog::Buffer::size;

// A record that names its producer and its sequence number; every 97th carries a text long
// enough to live on the heap.
TakNanoLogLine numbered(uint32_t producer, uint32_t seq) {
    TakNanoLogLine record(LogLevel::INFO, "queue", "producer", producer);
    record << producer << seq;
    if (seq % 97 == 0) record << std::string(300, static_cast<char>('a' + producer % 26));
    return record;
}

struct Decoded {
    uint32_t producer = 0;
    uint32_t seq = 0;
    bool textIntact = true;
};

Decoded decode(TakNanoLogLine& record) {
    std::string const text = record.getLineLogInfo();
    std::istringstream body(text.substr(text.find('\n') + 1));
    Decoded d;
    body >> d.producer >> d.seq;
    if (d.seq % 97 == 0) {
        std::string rest;
        body >> rest;
        d.textIntact = rest == std::string(300, static_cast<char>('a' + d.producer % 26));
    }
    return d;
}

}  // namespace

TEST(TakNanoQueueBufferTest, OneProducerCrossesBlocksInOrder) {
    QueueBuffer queue;
    TakNanoLogLine out(LogLevel::INFO, nullptr, nullptr, 0);
    EXPECT_FALSE(queue.try_pop(out));

    uint32_t const total = kBlock + kBlock / 4;
    for (uint32_t i = 0; i < total; ++i) queue.push(numbered(0, i));
    for (uint32_t i = 0; i < total; ++i) {
        ASSERT_TRUE(queue.try_pop(out)) << i;
        Decoded const d = decode(out);
        ASSERT_EQ(d.seq, i);
        ASSERT_TRUE(d.textIntact) << i;
    }
    EXPECT_FALSE(queue.try_pop(out));

    // The queue goes on working after it has been emptied across a block boundary.
    queue.push(numbered(0, 7));
    ASSERT_TRUE(queue.try_pop(out));
    EXPECT_EQ(decode(out).seq, 7u);
}

namespace {

// Producers and one consumer at the same time, as in operation; checks that every record comes
// out once and each producer's records in the order it pushed them.
void runConcurrently(uint32_t const kProducers, uint32_t const kEach) {
    QueueBuffer queue;
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, &go, p, kEach] {
            while (!go.load()) std::this_thread::yield();
            for (uint32_t i = 0; i < kEach; ++i) queue.push(numbered(p, i));
        });
    }

    // The consumer reads while the producers write, as the writer thread does.
    std::vector<uint32_t> next(kProducers, 0);
    uint32_t received = 0;
    bool ordered = true;
    bool intact = true;
    TakNanoLogLine out(LogLevel::INFO, nullptr, nullptr, 0);
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    go.store(true);
    while (received < kProducers * kEach && std::chrono::steady_clock::now() < deadline) {
        if (!queue.try_pop(out)) {
            std::this_thread::yield();
            continue;
        }
        Decoded const d = decode(out);
        ASSERT_LT(d.producer, kProducers);
        if (d.seq != next[d.producer]) ordered = false;
        next[d.producer] = d.seq + 1;
        intact = intact && d.textIntact;
        ++received;
    }
    for (auto& t : producers) t.join();

    EXPECT_EQ(received, kProducers * kEach);
    EXPECT_TRUE(ordered) << "a producer's records came out of order, or one was duplicated";
    EXPECT_TRUE(intact);
    for (uint32_t p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kEach) << p;
    EXPECT_FALSE(queue.try_pop(out));
}

}  // namespace

TEST(TakNanoQueueBufferTest, ManyProducersLoseNothingAndKeepEachProducersOrder) {
    // 40000 in all: the first block and part of a second.
    runConcurrently(4, 10000);
}

TEST(TakNanoQueueBufferTest, SustainedTrafficThroughRecycledBlocks) {
    // Six blocks' worth: the consumer hands each block it has read back to the producers.
    runConcurrently(2, 3 * kBlock);
}

TEST(TakNanoQueueBufferTest, DestroyingAQueueWithRecordsFreesTheirHeapBuffers) {
    // Run under AddressSanitizer, a leak of the records' heap buffers is reported here.
    QueueBuffer queue;
    for (uint32_t i = 0; i < 2 * 97; ++i) queue.push(numbered(1, i));
    TakNanoLogLine out(LogLevel::INFO, nullptr, nullptr, 0);
    ASSERT_TRUE(queue.try_pop(out));
}
