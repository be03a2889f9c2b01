#include "log/TakNanoClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

using TakNanolog::Clock;

namespace {

uint64_t systemMicros() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

// A time stamp shows the system clock's time between two readings of it taken around the stamp
// (give or take the microsecond the text shows and a little for the conversion), now and after
// the clock has moved on and the conversion's reference with it.
TEST(TakNanoClockTest, TimeStampShowsTheSystemClocksTime) {
    constexpr uint64_t kSlackUs = 20;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        uint64_t const before = systemMicros();
        uint64_t const stamp = Clock::now();
        uint64_t const after = systemMicros();
        EXPECT_GE(Clock::toMicros(stamp) + kSlackUs, before);
        EXPECT_LE(Clock::toMicros(stamp), after + kSlackUs);

        // The clock's own time is tested: let it move past a reference's age (10 ms).
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        uint64_t const later = Clock::now();
        EXPECT_GE(Clock::toMicros(stamp) + kSlackUs, before) << "converted again later";
        EXPECT_LE(Clock::toMicros(stamp), after + kSlackUs) << "converted again later";
        EXPECT_GE(Clock::toMicros(later), Clock::toMicros(stamp) + 30000);
    }
}

TEST(TakNanoClockTest, StampsFromAnotherThreadKeepTheirOrder) {
    uint64_t const first = Clock::now();
    uint64_t second = 0;
    std::thread([&second] { second = Clock::now(); }).join();
    uint64_t const third = Clock::now();
    EXPECT_LE(Clock::toMicros(first), Clock::toMicros(second));
    EXPECT_LE(Clock::toMicros(second), Clock::toMicros(third));
}
