#include "comm-serd/TakStrand.h"

#include <exception>
#include <utility>

#include "comm-serd/TakLockGuard.h"
#include "log/TakNanolog.h"

TakStrand::TakStrand(std::shared_ptr<ITakThreadManager> pool) : m_pool(std::move(pool)) {}

void TakStrand::post(std::function<void()> task) {
    if (!task) return;
    {
        TakLockGuard lock(m_mutex);
        m_tasks.push_back(std::move(task));
        if (m_scheduled) return;
        m_scheduled = true;
    }
    m_pool->addWork([self = shared_from_this()] { self->runBatch(); });
}

size_t TakStrand::pendingCount() {
    TakLockGuard lock(m_mutex);
    return m_tasks.size();
}

void TakStrand::runBatch() {
    for (int i = 0; i < kBatch; ++i) {
        std::function<void()> task;
        {
            TakLockGuard lock(m_mutex);
            if (m_tasks.empty()) {
                m_scheduled = false;
                return;
            }
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        try {
            task();
        } catch (const std::exception& e) {
            TAK_LOG_ERROR("worker task threw:" << e.what());
        } catch (...) {
            TAK_LOG_ERROR("worker task threw a non-standard exception");
        }
    }
    {
        TakLockGuard lock(m_mutex);
        if (m_tasks.empty()) {
            m_scheduled = false;
            return;
        }
    }
    // More is waiting: go to the back of the pool's queue, behind the other agents.
    m_pool->addWork([self = shared_from_this()] { self->runBatch(); });
}
