#include "support/TakSyncPointCounter.h"

#include <gtest/gtest.h>

#include "comm-serd/TakSyncPoint.h"

TakSyncPointCounter::TakSyncPointCounter(std::string name, std::function<void()> action)
    : m_name(std::move(name)), m_action(std::move(action)) {
#ifndef TAK_SYNC_POINTS
    ADD_FAILURE() << "this test waits on the sync point " << m_name
                  << ": build with -DTAK_SYNC_POINTS=ON";
#endif
    TakSyncPoint::instance().setCallback(m_name, [this] {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_count;
        }
        m_cond.notify_all();
        if (m_action) m_action();
    });
}

TakSyncPointCounter::~TakSyncPointCounter() { TakSyncPoint::instance().clearCallback(m_name); }

int TakSyncPointCounter::count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

bool TakSyncPointCounter::waitFor(int n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_for(lock, timeout, [&] { return m_count >= n; });
}

bool TakSyncPointCounter::waitForNext(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    int const next = m_count + 1;
    return m_cond.wait_for(lock, timeout, [&] { return m_count >= next; });
}
