#include "comm-serd/TakThreadPool.h"

#include <algorithm>
#include <exception>

#include "comm-serd/TakLockGuard.h"
#include "comm-serd/TakSyncPoint.h"
#include "comm-serd/TakUniqueLock.h"
#include "log/TakNanolog.h"

TakThreadPool::TakThreadPool(size_t minThreads, size_t maxThreads,
                             std::chrono::milliseconds maxIdle)
    : m_minThreads(std::max<size_t>(minThreads, 1)),
      m_maxThreads(std::max(maxThreads, std::max<size_t>(minThreads, 1))),
      m_maxIdle(maxIdle) {}

TakThreadPool::~TakThreadPool() { stop(); }

void TakThreadPool::start(size_t startThreads) {
    TakLockGuard lock(m_mutex);
    if (m_running) return;
    m_running = true;
    m_stopped = false;
    size_t const n = std::clamp(startThreads, m_minThreads, m_maxThreads);
    while (m_threads.size() < n) createThread();
}

void TakThreadPool::stop() {
    std::list<std::thread> threads;
    {
        TakLockGuard lock(m_mutex);
        m_running = false;
        m_stopped = true;
        m_tasks.clear();
        threads.splice(threads.end(), m_threads);
        threads.splice(threads.end(), m_finished);
    }
    m_cond.notify_all();
    TAK_SYNC_POINT("TakThreadPool::stop:joining");
    for (auto& t : threads) {
        if (t.joinable()) t.join();
    }
}

void TakThreadPool::createThread() { m_threads.emplace_back(&TakThreadPool::workerLoop, this); }

bool TakThreadPool::commit(Task task) {
    joinFinished();
    {
        TakLockGuard lock(m_mutex);
        // Restarting here would leave a thread that stop() no longer joins.
        if (m_stopped) return false;
        if (!m_running) {
            m_running = true;
            while (m_threads.size() < m_minThreads) createThread();
        }
        if (m_idleThreads <= m_tasks.size() && m_threads.size() < m_maxThreads) createThread();
        m_tasks.push_back(std::move(task));
    }
    m_cond.notify_one();
    return true;
}

void TakThreadPool::joinFinished() {
    std::list<std::thread> finished;
    {
        TakLockGuard lock(m_mutex);
        if (m_finished.empty()) return;
        finished.swap(m_finished);
    }
    for (auto& t : finished) {
        if (t.joinable()) t.join();
    }
}

void TakThreadPool::workerLoop() {
    TakUniqueLock lock(m_mutex);
    for (;;) {
        ++m_idleThreads;
        bool const woken = m_cond.wait_for(
            lock.native(), m_maxIdle,
            [this]() TAK_REQUIRES(m_mutex) { return !m_running || !m_tasks.empty(); });
        --m_idleThreads;
        if (!m_running) return;
        if (!woken) {
            TAK_SYNC_POINT("TakThreadPool::workerLoop:idleTimeout");
            // Idle for the whole idle time: end this thread unless the pool is at its minimum.
            if (m_threads.size() <= m_minThreads) continue;
            auto self = std::find_if(m_threads.begin(), m_threads.end(), [](std::thread& t) {
                return t.get_id() == std::this_thread::get_id();
            });
            if (self != m_threads.end()) m_finished.splice(m_finished.end(), m_threads, self);
            return;
        }
        Task task = std::move(m_tasks.front());
        m_tasks.pop_front();
        ++m_busyThreads;
        lock.unlock();
        try {
            if (task) task();
        } catch (const std::exception& e) {
            TAK_LOG_ERROR("worker task threw:" << e.what());
        } catch (...) {
            TAK_LOG_ERROR("worker task threw a non-standard exception");
        }
        task = nullptr;  // release what the task holds before taking the lock again
        lock.lock();
        --m_busyThreads;
        if (m_busyThreads == 0 && m_tasks.empty()) m_idleCond.notify_all();
    }
}

bool TakThreadPool::drain(std::chrono::steady_clock::time_point deadline) {
    TakUniqueLock lock(m_mutex);
    return m_idleCond.wait_until(lock.native(), deadline, [this]() TAK_REQUIRES(m_mutex) {
        return m_tasks.empty() && m_busyThreads == 0;
    });
}

size_t TakThreadPool::threadCount() {
    TakLockGuard lock(m_mutex);
    return m_threads.size();
}
size_t TakThreadPool::queuedTaskCount() {
    TakLockGuard lock(m_mutex);
    return m_tasks.size();
}
