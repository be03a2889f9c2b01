#include "comm-serd/net/TakEventLoopThread.h"

TakEventLoopThread::~TakEventLoopThread() { stop(true); }

void TakEventLoopThread::start(bool waitStarted) {
    if (m_thread.joinable()) return;
    m_thread = std::thread([this] {
        m_loop->post([this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_started = true;
            m_cond.notify_all();
        });
        m_loop->run();
    });
    if (waitStarted) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [this] { return m_started; });
    }
}

void TakEventLoopThread::stop(bool waitStopped) {
    if (!m_thread.joinable()) return;
    m_loop->stop();
    if (waitStopped && std::this_thread::get_id() != m_thread.get_id()) m_thread.join();
}
