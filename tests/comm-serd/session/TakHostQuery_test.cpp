#include "comm-serd/session/TakHostQuery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using std::chrono::milliseconds;

std::string figures(uint32_t cpu, uint64_t totalMem, uint64_t freeMem) {
    Tak::HostInfo::ResourceInfoAsr answer;
    answer.set_ncpurate(cpu);
    answer.set_ntotalmem(totalMem);
    answer.set_nfreemem(freeMem);
    // The disk figures are missing: they read 0.
    return answer.SerializePartialAsString();
}

TEST(TakHostQueryTest, TheFirstAnswerCountsAndMissingFiguresReadZero) {
    TakHostQuery query;
    Tak::HostInfo::ResourceInfoAsr out;
    out.set_ncpurate(99);
    // No answer yet: nothing is waited for and nothing is written.
    EXPECT_FALSE(query.waitFor(milliseconds(0), out));
    EXPECT_EQ(out.ncpurate(), 99u);

    query.answer(figures(42, 8ull << 30, 2ull << 30));
    query.answer(figures(7, 1, 1));
    ASSERT_TRUE(query.waitFor(milliseconds(0), out));
    EXPECT_EQ(out.ncpurate(), 42u);
    EXPECT_EQ(out.ntotalmem(), 8ull << 30);
    EXPECT_EQ(out.nfreemem(), 2ull << 30);
    EXPECT_EQ(out.ntotaldisk(), 0u);
    EXPECT_EQ(out.nfreedisk(), 0u);
}

TEST(TakHostQueryTest, AnAnswerThatDoesNotParseGivesZeroFigures) {
    TakHostQuery query;
    query.answer(std::string("\xff\xff\xff", 3));
    Tak::HostInfo::ResourceInfoAsr out;
    out.set_ncpurate(99);
    ASSERT_TRUE(query.waitFor(milliseconds(0), out));
    EXPECT_EQ(out.ncpurate(), 0u);
}

TEST(TakHostQueryTest, AnAnswerFromAnotherThreadWakesTheWaiter) {
    TakHostQuery query;
    std::thread agent([&query] { query.answer(figures(5, 4, 1)); });
    Tak::HostInfo::ResourceInfoAsr out;
    // Returns as soon as the answer is there; the bound only keeps a broken build from hanging.
    EXPECT_TRUE(query.waitFor(milliseconds(60000), out));
    agent.join();
    EXPECT_EQ(out.ncpurate(), 5u);
}

}  // namespace
