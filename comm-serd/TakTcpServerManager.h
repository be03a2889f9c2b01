#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "comm-serd/ITakObject.h"
#include "comm-serd/ITakSessionManager.h"
#include "comm-serd/ITakTcpServerManager.h"
#include "comm-serd/net/TakTcpServer.h"

// Owns the listener the agents connect to and hands every accepted connection to the session
// manager. startServe() parks the calling thread until stopServe().
class TakTcpServerManager : public ITakObject, public ITakTcpServerManager {
public:
    // sessions gives the session manager that admits the connections, when the listener opens.
    explicit TakTcpServerManager(std::function<std::shared_ptr<ITakSessionManager>()> sessions);
    ~TakTcpServerManager() override;

    // Opens the listener on 0.0.0.0 and the configured port: 0, or the negative error.
    int init() override;
    void startServe() override;
    // Any thread: asks startServe() to stop the server and return.
    void stopServe() override;

private:
    void onConnection(const std::shared_ptr<TakSocketChannel>& channel);
    void stopServer();

    std::unique_ptr<TakTcpServer> m_server;
    std::mutex m_runMutex;
    std::condition_variable m_runCond;
    bool m_run = true;  // guarded by m_runMutex
    const std::function<std::shared_ptr<ITakSessionManager>()> m_sessions;
    std::shared_ptr<ITakSessionManager> m_sessionManager;
};
