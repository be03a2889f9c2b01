#pragma once

#include <mutex>

#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"

// Holds a TakMutex from its construction, may release and take it again (unlock(), lock()), and
// releases it when destroyed if held: a std::unique_lock that clang's thread-safety analysis
// follows. A std::condition_variable waits with native():
//     TakUniqueLock lock(m_mutex);
//     m_cond.wait(lock.native(), [this]() TAK_REQUIRES(m_mutex) { return m_ready; });
// (the predicate runs with the mutex held, which its TAK_REQUIRES tells the analysis).
class TAK_SCOPED_CAPABILITY TakUniqueLock {
public:
    explicit TakUniqueLock(TakMutex& mutex) TAK_ACQUIRE(mutex) : m_lock(mutex.native()) {}
    ~TakUniqueLock() TAK_RELEASE() {}
    TakUniqueLock(const TakUniqueLock&) = delete;
    TakUniqueLock& operator=(const TakUniqueLock&) = delete;

    void lock() TAK_ACQUIRE() { m_lock.lock(); }
    void unlock() TAK_RELEASE() { m_lock.unlock(); }

    // For std::condition_variable's waits, which release the mutex while they sleep and hold it
    // again when they return.
    std::unique_lock<std::mutex>& native() { return m_lock; }

private:
    std::unique_lock<std::mutex> m_lock;
};
