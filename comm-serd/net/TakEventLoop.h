#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>

using TakTimerID = uint64_t;

// One event loop: an io_context run by one thread. Work from other threads reaches the loop only
// by posting to it.
class TakEventLoop {
public:
    TakEventLoop();
    ~TakEventLoop();
    TakEventLoop(const TakEventLoop&) = delete;
    TakEventLoop& operator=(const TakEventLoop&) = delete;

    asio::io_context& context() { return m_io; }

    // Runs the loop on the calling thread until stop().
    void run();
    // Makes run() return once the handlers already posted have run. Any thread.
    void stop();
    bool isInLoopThread() const { return std::this_thread::get_id() == m_threadId.load(); }
    // Ends the process when called off the loop thread: loop-only code run elsewhere is a bug
    // that would corrupt the loop's state. Checked in every build.
    void assertInLoopThread() const {
        if (!isInLoopThread()) abortNotInLoopThread();
    }

    // Queues fn to run on the loop thread. Any thread. Once run() has returned, fn is dropped.
    void post(std::function<void()> fn);
    // Runs fn now when called on the loop thread, otherwise queues it.
    void runInLoop(std::function<void()> fn);

    // Arms a one-shot (repeat 1) or repeating timer; returns its id. Any thread.
    TakTimerID setTimer(uint32_t timeoutMs, std::function<void(TakTimerID)> fn,
                        uint32_t repeat = 1);
    // Cancels a timer that has not fired yet. Any thread.
    void killTimer(TakTimerID id);

private:
    [[noreturn]] static void abortNotInLoopThread();

    struct Timer {
        asio::steady_timer timer;
        std::function<void(TakTimerID)> fn;
        uint32_t timeoutMs;
        uint32_t remaining;
    };
    void armTimer(TakTimerID id);  // requires: loop thread

    asio::io_context m_io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> m_guard;
    std::atomic<std::thread::id> m_threadId;
    std::atomic<bool> m_ended{false};  // run() has returned
    std::atomic<TakTimerID> m_nextTimerId{1};
    std::map<TakTimerID, std::unique_ptr<Timer>> m_timers;  // loop thread only
};
