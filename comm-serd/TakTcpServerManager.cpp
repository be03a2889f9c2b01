#include "comm-serd/TakTcpServerManager.h"

#include <cstdlib>

#include "comm-serd/TakComUtil.h"
#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/TakMetrics.h"
#include "comm-serd/TakServiceNotifier.h"
#include "log/TakNanolog.h"

TakTcpServerManager::TakTcpServerManager(
    std::function<std::shared_ptr<ITakSessionManager>()> sessions)
    : m_sessions(std::move(sessions)) {}

TakTcpServerManager::~TakTcpServerManager() { stopServer(); }

void TakTcpServerManager::stopServer() {
    if (!m_server) return;
    // No new connection, then every session closes on its loop (its close callback runs there),
    // then the loops end.
    m_server->stopAccepting();
    if (m_sessionManager) m_sessionManager->closeAll();
    m_server->stop();
}

int TakTcpServerManager::init() {
    TakGlobalInfoManager& config = TakGlobalInfoManager::getInstance();
    std::string const portText = config.getPort();
    // The configuration has checked the text: a whole number from 1 to 65535.
    int const port = static_cast<int>(std::strtol(portText.c_str(), nullptr, 10));

    m_server = std::make_unique<TakTcpServer>();
    m_server->setThreadNum(TakComUtil::hardwareThreads());
    m_server->setMaxOutputBytes(config.getMaxOutputBytes());
    // A host that vanished (power cut, cable) leaves a half-open connection that only probes
    // reveal: after the idle time, 6 probes 10 s apart.
    m_server->setKeepAlive(config.getKeepAliveSeconds(), 10, 6);
    int const fd = m_server->createsocket(port, "0.0.0.0");
    TAK_LOG_INFO("server listen on port:" << port << fd);
    if (fd < 0) {
        // A daemon that cannot take agents must say so and not pretend to run.
        TAK_LOG_ERROR("cannot listen on port:" << port << m_server->lastError());
        return fd;
    }

    m_sessionManager = m_sessions ? m_sessions() : nullptr;
    m_server->setConnectionCallback(
        [this](const std::shared_ptr<TakSocketChannel>& channel) { onConnection(channel); });
    return 0;
}

void TakTcpServerManager::onConnection(const std::shared_ptr<TakSocketChannel>& channel) {
    TAK_LOG_DEBUG("new connect:" << channel->fd());
    if (m_sessionManager) m_sessionManager->addSession(channel->id(), channel);
}

void TakTcpServerManager::startServe() {
    if (m_server) {
        m_server->start();
        TakServiceNotifier::instance().agentListenerOpen(m_server->listenPort());
        TakMetrics::instance().agentListenerUp.set(1);
    }
    {
        std::unique_lock<std::mutex> lock(m_runMutex);
        m_runCond.wait(lock, [this] { return !m_run; });
    }
    TakMetrics::instance().agentListenerUp.set(0);
    stopServer();
}

void TakTcpServerManager::stopServe() {
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        m_run = false;
    }
    m_runCond.notify_all();
}
