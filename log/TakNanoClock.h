#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace TakNanolog {

// The time stamps of log records. A log statement reads the processor's time-stamp counter
// (about 10 ns) rather than the system clock (about 25 ns through the vDSO on a virtual machine,
// and a system call where the clock source has no vDSO path). The record's text shows the
// system clock's time all the same: toMicros() converts a count with a reference reading of both
// (taken again whenever the last one is more than 10 ms old) and the counter's rate, measured
// against the monotonic clock over the whole run so far. A record is thus shown within a fraction
// of a microsecond of the system clock's time when it was logged; a step of the system clock
// (settimeofday) shifts the records not yet written by then along with it.
//
// The counter is used only where the processor says that it runs at a constant rate in every
// state and on every core (the invariant time-stamp counter of x86-64); elsewhere a tick is a
// nanosecond of the system clock. The choice is made once, at the first time stamp.
class Clock {
public:
    // A time stamp, in ticks. Any thread; no system call when the counter is used.
    static uint64_t now() {
#if defined(__x86_64__)
        if (s_mode.load(std::memory_order_relaxed) == kCounter) return __rdtsc();
#endif
        return nowSlow();
    }
    // Microseconds since the Unix epoch, by the system clock. Any thread (the first call of a
    // run may wait up to a millisecond to measure the counter's rate).
    static uint64_t toMicros(uint64_t ticks);
    // Whether ticks come from the time-stamp counter.
    static bool usesCounter();

private:
    enum : int { kUndecided = 0, kCounter = 1, kSystemClock = 2 };
    static uint64_t nowSlow();
    static void decide();

    static std::atomic<int> s_mode;
};

}  // namespace TakNanolog
