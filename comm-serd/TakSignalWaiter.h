#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

// Turns SIGTERM and SIGINT into an orderly stop. The constructor blocks both signals in the
// calling thread, so it must run before any other thread starts (new threads inherit the mask);
// start() then waits for them on a thread of its own and calls the stop function there, outside
// any signal handler.
class TakSignalWaiter {
public:
    TakSignalWaiter();
    ~TakSignalWaiter();
    TakSignalWaiter(const TakSignalWaiter&) = delete;
    TakSignalWaiter& operator=(const TakSignalWaiter&) = delete;

    void start(std::function<void(int)> onStop);
    // The signal that arrived, or 0.
    int received() const { return m_received.load(); }

private:
    void waitLoop();

    sigset_t m_set;
    std::function<void(int)> m_onStop;
    std::atomic<bool> m_quit{false};
    std::atomic<int> m_received{0};
    std::thread m_thread;
};
