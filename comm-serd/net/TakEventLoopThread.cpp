#include "comm-serd/net/TakEventLoopThread.h"

#include "comm-serd/TakLockGuard.h"
#include "comm-serd/TakUniqueLock.h"

TakEventLoopThread::~TakEventLoopThread() { stop(true); }

void TakEventLoopThread::start(bool waitStarted) {
    if (m_thread.joinable()) return;
    m_thread = std::thread([this] {
        m_loop->post([this] {
            TakLockGuard lock(m_mutex);
            m_started = true;
            m_cond.notify_all();
        });
        m_loop->run();
    });
    if (waitStarted) {
        TakUniqueLock lock(m_mutex);
        m_cond.wait(lock.native(), [this]() TAK_REQUIRES(m_mutex) { return m_started; });
    }
}

void TakEventLoopThread::stop(bool waitStopped) {
    if (!m_thread.joinable()) return;
    m_loop->stop();
    if (waitStopped && std::this_thread::get_id() != m_thread.get_id()) m_thread.join();
}
