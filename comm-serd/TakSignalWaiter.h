#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

// Turns SIGTERM and SIGINT into an orderly stop and SIGHUP into a new log file. The constructor
// blocks the three signals in the calling thread, so it must run before any other thread starts
// (new threads inherit the mask); start() then waits for them on a thread of its own and calls
// the given functions there, outside any signal handler.
class TakSignalWaiter {
public:
    TakSignalWaiter();
    ~TakSignalWaiter();
    TakSignalWaiter(const TakSignalWaiter&) = delete;
    TakSignalWaiter& operator=(const TakSignalWaiter&) = delete;

    // onStop is called once, for the first SIGTERM or SIGINT; onHangup for every SIGHUP.
    void start(std::function<void(int)> onStop, std::function<void()> onHangup = {});
    // The stop signal that arrived, or 0.
    int received() const { return m_received.load(); }

private:
    void waitLoop();

    sigset_t m_set;
    std::function<void(int)> m_onStop;
    std::function<void()> m_onHangup;
    std::atomic<bool> m_quit{false};
    std::atomic<int> m_received{0};
    std::thread m_thread;
};
