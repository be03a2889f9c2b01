#pragma once

#include <atomic>

#include "comm-serd/TakThreadAnnotations.h"

namespace TakNanolog {

// Tells the processor that this thread spins, waiting for another.
inline void cpuRelax() { __builtin_ia32_pause(); }

// A lock for a few instructions of work that never sleeps, so that a producer filling a block of
// the log queue is not put to sleep by the writer thread holding it. Hold it with TakLockGuard.
class TAK_CAPABILITY("spin lock") SpinLock {
public:
    SpinLock() = default;
    SpinLock(SpinLock const&) = delete;
    SpinLock& operator=(SpinLock const&) = delete;

    void lock() TAK_ACQUIRE() {
        while (m_flag.test_and_set(std::memory_order_acquire)) cpuRelax();
    }
    void unlock() TAK_RELEASE() { m_flag.clear(std::memory_order_release); }

private:
    std::atomic_flag m_flag = ATOMIC_FLAG_INIT;
};

}  // namespace TakNanolog
