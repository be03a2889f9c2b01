#include "comm-serd/TakSyncPoint.h"

#include <utility>

TakSyncPoint& TakSyncPoint::instance() {
    static TakSyncPoint points;
    return points;
}

void TakSyncPoint::waitIdle(std::unique_lock<std::mutex>& lock,
                            const std::shared_ptr<Entry>& entry) {
    m_idle.wait(lock, [&entry] { return entry->running == 0; });
}

void TakSyncPoint::setCallback(const std::string& name, Callback callback) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto entry = std::make_shared<Entry>();
    entry->callback = std::move(callback);
    auto [it, added] = m_entries.try_emplace(name, entry);
    if (added) {
        m_count.fetch_add(1, std::memory_order_release);
        return;
    }
    std::shared_ptr<Entry> const old = std::exchange(it->second, entry);
    waitIdle(lock, old);
}

void TakSyncPoint::clearCallback(const std::string& name) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_entries.find(name);
    if (it == m_entries.end()) return;
    std::shared_ptr<Entry> const old = std::move(it->second);
    m_entries.erase(it);
    m_count.fetch_sub(1, std::memory_order_release);
    waitIdle(lock, old);
}

void TakSyncPoint::process(std::string_view name) {
    if (m_count.load(std::memory_order_acquire) == 0) return;
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_entries.find(std::string(name));
        if (it == m_entries.end()) return;
        entry = it->second;
        ++entry->running;
    }
    // Ends the call also when the callback throws.
    struct Done {
        TakSyncPoint& points;
        Entry& entry;
        ~Done() {
            {
                std::lock_guard<std::mutex> lock(points.m_mutex);
                --entry.running;
            }
            points.m_idle.notify_all();
        }
    } const done{*this, *entry};
    // Called without the lock: a callback may wait (hold its thread at the point) while other
    // points run and tests install or remove callbacks.
    entry->callback();
}
