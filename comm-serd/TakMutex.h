#pragma once

#include <mutex>

#include "comm-serd/TakThreadAnnotations.h"

// A std::mutex that clang's thread-safety analysis knows as a lock (libstdc++'s is not
// annotated). Hold it with TakLockGuard, or with TakUniqueLock where a condition variable waits
// on it. New locks of the daemon are TakMutex.
class TAK_CAPABILITY("mutex") TakMutex {
public:
    TakMutex() = default;
    TakMutex(const TakMutex&) = delete;
    TakMutex& operator=(const TakMutex&) = delete;

    void lock() TAK_ACQUIRE() { m_mutex.lock(); }
    void unlock() TAK_RELEASE() { m_mutex.unlock(); }
    bool try_lock() TAK_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

    // The mutex itself, for a std::unique_lock that a std::condition_variable waits with (see
    // TakUniqueLock::native()); the analysis does not see locks taken through it.
    std::mutex& native() { return m_mutex; }

private:
    std::mutex m_mutex;
};
