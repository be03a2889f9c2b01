#pragma once

#include <condition_variable>
#include <memory>
#include <thread>

#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"
#include "comm-serd/net/TakEventLoop.h"

// An event loop with a thread of its own. The destructor stops the loop and joins the thread.
class TakEventLoopThread {
public:
    TakEventLoopThread() = default;
    ~TakEventLoopThread();
    TakEventLoopThread(const TakEventLoopThread&) = delete;
    TakEventLoopThread& operator=(const TakEventLoopThread&) = delete;

    // Starts the thread; with waitStarted, returns once the loop runs.
    void start(bool waitStarted = true);
    // Stops the loop; with waitStopped, joins the thread (not from the loop thread itself).
    void stop(bool waitStopped = true);
    TakEventLoop& loop() { return *m_loop; }
    // Shared, so that what runs on the loop can keep its io_context alive.
    const std::shared_ptr<TakEventLoop>& loopPtr() { return m_loop; }

private:
    std::shared_ptr<TakEventLoop> m_loop = std::make_shared<TakEventLoop>();
    TakMutex m_mutex;
    std::condition_variable m_cond;
    bool m_started TAK_GUARDED_BY(m_mutex) = false;
    std::thread m_thread;
};
