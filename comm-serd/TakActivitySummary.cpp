#include "comm-serd/TakActivitySummary.h"

#include "comm-serd/TakLockGuard.h"
#include "comm-serd/TakUniqueLock.h"
#include "log/TakNanolog.h"

TakActivitySummary::TakActivitySummary(std::chrono::seconds interval, TakMetrics& metrics)
    : m_interval(interval), m_metrics(metrics) {}

TakActivitySummary::~TakActivitySummary() { stop(); }

void TakActivitySummary::start() {
    if (m_thread.joinable() || m_interval.count() <= 0) return;
    m_thread = std::thread(&TakActivitySummary::run, this);
}

void TakActivitySummary::stop() {
    {
        TakLockGuard lock(m_mutex);
        m_stopping = true;
    }
    m_cond.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

bool TakActivitySummary::changed(const TakMetrics::STActivity& before,
                                 const TakMetrics::STActivity& now) {
    // The log's own INFO records are not activity: the summary is one of them.
    return before.sessions != now.sessions || before.registered != now.registered ||
           before.connections != now.connections || before.uploads != now.uploads ||
           before.rowsStored != now.rowsStored || before.linesSkipped != now.linesSkipped ||
           before.errors != now.errors || before.warnings != now.warnings ||
           before.queuedTasks != now.queuedTasks;
}

void TakActivitySummary::run() {
    TakMetrics::STActivity before = m_metrics.activity();
    TakUniqueLock lock(m_mutex);
    auto next = std::chrono::steady_clock::now() + m_interval;
    while (!m_cond.wait_until(lock.native(), next,
                              [this]() TAK_REQUIRES(m_mutex) { return m_stopping; })) {
        next += m_interval;
        lock.unlock();
        TakMetrics::STActivity const now = m_metrics.activity();
        if (changed(before, now)) report(before, now);
        before = now;
        lock.lock();
    }
}

void TakActivitySummary::report(const TakMetrics::STActivity& before,
                                const TakMetrics::STActivity& now) {
    auto const delta = [](uint64_t a, uint64_t b) { return b >= a ? b - a : uint64_t{0}; };
    TAK_LOG_INFO("activity in the last"
                 << static_cast<int64_t>(m_interval.count()) << "s: sessions:" << now.sessions
                 << "(+" << delta(before.connections, now.connections) << "connections) registered:"
                 << now.registered << "uploads:" << delta(before.uploads, now.uploads)
                 << "rows stored:" << delta(before.rowsStored, now.rowsStored)
                 << "lines skipped:" << delta(before.linesSkipped, now.linesSkipped)
                 << "errors:" << delta(before.errors, now.errors)
                 << "warnings:" << delta(before.warnings, now.warnings)
                 << "database tasks queued:" << now.queuedTasks);
}
