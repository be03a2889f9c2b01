#pragma once

#include "comm-serd/TakThreadAnnotations.h"

// Holds a lock for its scope, like std::lock_guard, in a way clang's thread-safety analysis
// follows. Mutex is TakMutex or another class marked TAK_CAPABILITY with lock() and unlock():
//     TakLockGuard lock(m_mutex);
template <typename Mutex>
class TAK_SCOPED_CAPABILITY TakLockGuard {
public:
    explicit TakLockGuard(Mutex& mutex) TAK_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~TakLockGuard() TAK_RELEASE() { m_mutex.unlock(); }
    TakLockGuard(const TakLockGuard&) = delete;
    TakLockGuard& operator=(const TakLockGuard&) = delete;

private:
    Mutex& m_mutex;
};
