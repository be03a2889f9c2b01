#include "comm-serd/net/TakEventLoop.h"

#include <asio/post.hpp>

#include <cstdlib>
#include <exception>

#include "log/TakNanolog.h"

TakEventLoop::TakEventLoop() : m_guard(asio::make_work_guard(m_io)) {}

TakEventLoop::~TakEventLoop() {
    m_guard.reset();
    m_timers.clear();
}

void TakEventLoop::run() {
    m_threadId.store(std::this_thread::get_id());
    for (;;) {
        try {
            m_io.run();
            break;
        } catch (const std::exception& e) {
            // A handler that throws must not end the loop that serves other connections.
            TAK_LOG_ERROR("event loop handler threw:" << e.what());
        }
    }
    m_timers.clear();
    // Run what was queued behind the stop (the completions of cancelled operations, clean-ups
    // posted by closing connections): a handler left in the queue would keep what it holds, and
    // a connection it holds keeps this loop, for good.
    m_io.restart();
    for (int round = 0; round < 1000 && m_io.poll() > 0; ++round) {
    }
    m_ended.store(true);
    m_threadId.store(std::thread::id());
}

void TakEventLoop::abortNotInLoopThread() {
    TAK_LOG_ERROR("loop-only code called off its loop thread");
    std::abort();
}

void TakEventLoop::stop() {
    asio::post(m_io, [this] {
        m_guard.reset();
        m_io.stop();
    });
}

void TakEventLoop::post(std::function<void()> fn) {
    // A loop that has ended runs nothing more; queued, fn would keep what it holds for good.
    if (m_ended.load()) return;
    asio::post(m_io, std::move(fn));
}

void TakEventLoop::runInLoop(std::function<void()> fn) {
    if (isInLoopThread()) {
        fn();
    } else {
        post(std::move(fn));
    }
}

TakTimerID TakEventLoop::setTimer(uint32_t timeoutMs, std::function<void(TakTimerID)> fn,
                                  uint32_t repeat) {
    TakTimerID const id = m_nextTimerId.fetch_add(1);
    runInLoop([this, id, timeoutMs, repeat, fn = std::move(fn)]() mutable {
        auto timer = std::make_unique<Timer>(
            Timer{asio::steady_timer(m_io), std::move(fn), timeoutMs, repeat == 0 ? 1 : repeat});
        m_timers[id] = std::move(timer);
        armTimer(id);
    });
    return id;
}

void TakEventLoop::armTimer(TakTimerID id) {
    auto it = m_timers.find(id);
    if (it == m_timers.end()) return;
    Timer& t = *it->second;
    t.timer.expires_after(std::chrono::milliseconds(t.timeoutMs));
    t.timer.async_wait([this, id](const std::error_code& ec) {
        if (ec) return;  // cancelled
        auto found = m_timers.find(id);
        if (found == m_timers.end()) return;
        auto fn = found->second->fn;
        bool const again = --found->second->remaining > 0;
        if (again) {
            armTimer(id);
        } else {
            m_timers.erase(found);
        }
        if (fn) fn(id);
    });
}

void TakEventLoop::killTimer(TakTimerID id) {
    runInLoop([this, id] {
        auto it = m_timers.find(id);
        if (it == m_timers.end()) return;
        it->second->timer.cancel();
        m_timers.erase(it);
    });
}
