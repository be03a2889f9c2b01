#include "log/TakNanoClock.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <cmath>
#include <cstdint>
#include <limits>

#include "comm-serd/TakLockGuard.h"
#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"

namespace TakNanolog {

namespace {

uint64_t clockNs(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

#if defined(__x86_64__)

// A reading of the counter and of both system clocks, as close together as a few tries give:
// the counter is read before and after the clocks and the pair with the least in between kept.
struct Reading {
    uint64_t ticks = 0;
    uint64_t realtimeNs = 0;   // CLOCK_REALTIME: what records show
    uint64_t monotonicNs = 0;  // CLOCK_MONOTONIC: never stepped, for the counter's rate
};

Reading read() {
    Reading best;
    uint64_t bestGap = std::numeric_limits<uint64_t>::max();
    for (int i = 0; i < 4; ++i) {
        uint64_t const before = __rdtsc();
        uint64_t const realtime = clockNs(CLOCK_REALTIME);
        uint64_t const monotonic = clockNs(CLOCK_MONOTONIC);
        uint64_t const after = __rdtsc();
        if (after - before < bestGap) {
            bestGap = after - before;
            best = Reading{before + (after - before) / 2, realtime, monotonic};
        }
    }
    return best;
}

// The reference readings and the measured rate. Conversions run on the log writer (and, rarely,
// on a thread that formats a record itself), so a mutex is cheap enough.
struct Calibration {
    TakMutex mutex;
    Reading origin TAK_GUARDED_BY(mutex);        // the first reading
    Reading reference TAK_GUARDED_BY(mutex);     // the latest reading
    double nsPerTick TAK_GUARDED_BY(mutex) = 0;  // 0 until measured over kMinSpanNs
    // Take a new reference when older than this.
    uint64_t refreshTicks TAK_GUARDED_BY(mutex) = 0;
};

constexpr uint64_t kMinSpanNs = 1000000;   // 1 ms: the shortest span a rate is taken over
constexpr uint64_t kRefreshNs = 10000000;  // 10 ms: how old a reference may get

Calibration& calibration() {
    static Calibration c;
    return c;
}

void refresh(Calibration& c) TAK_REQUIRES(c.mutex) {
    c.reference = read();
    uint64_t const spanNs = c.reference.monotonicNs - c.origin.monotonicNs;
    uint64_t const spanTicks = c.reference.ticks - c.origin.ticks;
    if (spanNs >= kMinSpanNs && spanTicks > 0) {
        c.nsPerTick = static_cast<double>(spanNs) / static_cast<double>(spanTicks);
        c.refreshTicks = static_cast<uint64_t>(static_cast<double>(kRefreshNs) / c.nsPerTick);
    }
}

bool invariantCounter() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(0x80000000, &eax, &ebx, &ecx, &edx) == 0 || eax < 0x80000007) return false;
    if (__get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (edx & (1u << 8)) != 0;
}

#endif

}  // namespace

std::atomic<int> Clock::s_mode{Clock::kUndecided};

void Clock::decide() {
    int mode = kSystemClock;
#if defined(__x86_64__)
    if (invariantCounter()) {
        mode = kCounter;
        Calibration& c = calibration();
        TakLockGuard lock(c.mutex);
        if (c.origin.ticks == 0) {
            c.origin = read();
            c.reference = c.origin;
        }
    }
#endif
    int expected = kUndecided;
    s_mode.compare_exchange_strong(expected, mode);
}

uint64_t Clock::nowSlow() {
    if (s_mode.load(std::memory_order_acquire) == kUndecided) decide();
#if defined(__x86_64__)
    if (s_mode.load(std::memory_order_relaxed) == kCounter) return __rdtsc();
#endif
    return clockNs(CLOCK_REALTIME);
}

bool Clock::usesCounter() {
    if (s_mode.load(std::memory_order_acquire) == kUndecided) decide();
    return s_mode.load(std::memory_order_relaxed) == kCounter;
}

uint64_t Clock::toMicros(uint64_t ticks) {
#if defined(__x86_64__)
    if (usesCounter()) {
        Calibration& c = calibration();
        TakLockGuard lock(c.mutex);
        if (c.nsPerTick == 0) {
            // The first conversion of the run, less than a millisecond after the first time
            // stamp: wait for a span long enough to measure the rate over.
            while (clockNs(CLOCK_MONOTONIC) - c.origin.monotonicNs < kMinSpanNs) {
            }
            refresh(c);
        } else if (__rdtsc() - c.reference.ticks > c.refreshTicks) {
            refresh(c);
        }
        double const offset =
            static_cast<double>(static_cast<int64_t>(ticks - c.reference.ticks)) * c.nsPerTick;
        int64_t const ns = static_cast<int64_t>(c.reference.realtimeNs) +
                           static_cast<int64_t>(std::llround(offset));
        return ns > 0 ? static_cast<uint64_t>(ns) / 1000 : 0;
    }
#endif
    return ticks / 1000;
}

}  // namespace TakNanolog
