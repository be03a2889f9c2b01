#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <thread>

#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"

// A FIFO worker pool that grows on demand up to a maximum and shrinks back to a minimum when
// threads stay idle. A task that throws is logged at ERROR; the worker goes on.
class TakThreadPool {
public:
    using Task = std::function<void()>;

    TakThreadPool(size_t minThreads, size_t maxThreads, std::chrono::milliseconds maxIdle);
    // Stops the pool: wakes and joins every thread; tasks still queued are dropped.
    ~TakThreadPool();
    TakThreadPool(const TakThreadPool&) = delete;
    TakThreadPool& operator=(const TakThreadPool&) = delete;

    // Starts the pool with startThreads threads, clamped to [min, max].
    void start(size_t startThreads);
    // Wakes and joins every thread; tasks still queued are dropped, and so are tasks committed
    // from now on (a running task that queues more work while the pool stops) until start().
    // Must not be called from a task of this pool.
    void stop();
    // Queues a task; starts one more thread when no idle thread is left for it. A pool that was
    // never started starts with its minimum. Returns false when the task was dropped because the
    // pool was stopped.
    [[nodiscard]] bool commit(Task task);

    // Waits until no task is queued or running, or the deadline has passed; true when idle.
    // Must not be called from a task of this pool.
    [[nodiscard]] bool drain(std::chrono::steady_clock::time_point deadline);

    size_t threadCount();
    size_t queuedTaskCount();
    size_t minThreads() const { return m_minThreads; }
    size_t maxThreads() const { return m_maxThreads; }

private:
    void createThread() TAK_REQUIRES(m_mutex);
    void workerLoop() TAK_EXCLUDES(m_mutex);
    void joinFinished() TAK_EXCLUDES(m_mutex);

    const size_t m_minThreads;
    const size_t m_maxThreads;
    const std::chrono::milliseconds m_maxIdle;

    TakMutex m_mutex;
    std::condition_variable m_cond;
    std::condition_variable m_idleCond;  // a task ended with nothing queued
    std::deque<Task> m_tasks TAK_GUARDED_BY(m_mutex);
    std::list<std::thread> m_threads TAK_GUARDED_BY(m_mutex);   // running workers
    std::list<std::thread> m_finished TAK_GUARDED_BY(m_mutex);  // workers that ended, to be joined
    size_t m_idleThreads TAK_GUARDED_BY(m_mutex) = 0;
    size_t m_busyThreads TAK_GUARDED_BY(m_mutex) = 0;  // threads running a task
    bool m_running TAK_GUARDED_BY(m_mutex) = false;
    bool m_stopped TAK_GUARDED_BY(m_mutex) = false;  // stop() was called
};
