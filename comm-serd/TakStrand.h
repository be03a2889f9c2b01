#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>

#include "comm-serd/ITakThreadManager.h"
#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"

// Runs the tasks posted to it one after another, in the order posted, on the worker pool; the
// tasks of different strands run in parallel. A device session has one, so that one agent's
// requests are handled in arrival order (an upload, a reset and another upload are stored in
// that order) while other agents' requests are not held up.
//
// A strand never occupies a pool thread while it has nothing to run, and gives the thread back
// after a few tasks so that a busy agent does not starve the others. A task that throws is
// logged; the strand goes on with the next one.
class TakStrand : public std::enable_shared_from_this<TakStrand> {
public:
    explicit TakStrand(std::shared_ptr<ITakThreadManager> pool);
    TakStrand(const TakStrand&) = delete;
    TakStrand& operator=(const TakStrand&) = delete;

    // Any thread. The task keeps the strand alive until it has run.
    void post(std::function<void()> task);
    size_t pendingCount();

private:
    static constexpr int kBatch = 8;
    void runBatch();

    const std::shared_ptr<ITakThreadManager> m_pool;
    TakMutex m_mutex;
    std::deque<std::function<void()>> m_tasks TAK_GUARDED_BY(m_mutex);
    bool m_scheduled TAK_GUARDED_BY(m_mutex) = false;  // a batch is queued on the pool or running
};
