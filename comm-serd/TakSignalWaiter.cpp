#include "comm-serd/TakSignalWaiter.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

TakSignalWaiter::TakSignalWaiter() {
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGTERM);
    sigaddset(&m_set, SIGINT);
    sigaddset(&m_set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
}

TakSignalWaiter::~TakSignalWaiter() {
    m_quit.store(true);
    if (m_thread.joinable()) m_thread.join();
}

void TakSignalWaiter::start(std::function<void(int)> onStop, std::function<void()> onHangup) {
    m_onStop = std::move(onStop);
    m_onHangup = std::move(onHangup);
    m_thread = std::thread(&TakSignalWaiter::waitLoop, this);
}

void TakSignalWaiter::waitLoop() {
    // Short waits, so that the destructor can end this thread without a signal.
    timespec const timeout{0, 100 * 1000 * 1000};
    while (!m_quit.load()) {
        int const sig = sigtimedwait(&m_set, nullptr, &timeout);
        if (sig < 0) continue;  // EAGAIN on time-out, EINTR
        if (sig == SIGHUP) {
            if (m_onHangup) m_onHangup();
            continue;
        }
        if (m_received.exchange(sig) != 0) continue;  // already stopping
        if (m_onStop) m_onStop(sig);
    }
}
