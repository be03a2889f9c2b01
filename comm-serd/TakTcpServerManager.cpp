#include "comm-serd/TakTcpServerManager.h"

#include "comm-serd/TakManagerFactory.h"

int TakTcpServerManager::init() {
    m_sessionManager = TakManagerFactory::getInstance().getSessionManager();
    return 0;
}

void TakTcpServerManager::startServe() {
    std::unique_lock<std::mutex> lock(m_runMutex);
    m_runCond.wait(lock, [this] { return !m_run; });
}

void TakTcpServerManager::stopServe() {
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        m_run = false;
    }
    m_runCond.notify_all();
}
