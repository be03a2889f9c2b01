#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "comm-serd/ITakObject.h"
#include "comm-serd/ITakSessionManager.h"
#include "comm-serd/ITakTcpServerManager.h"

// Placeholder until the network layer lands: parks the main thread until stopped.
class TakTcpServerManager : public ITakObject, public ITakTcpServerManager {
public:
    int init() override;
    void startServe() override;
    void stopServe() override;

private:
    std::mutex m_runMutex;
    std::condition_variable m_runCond;
    bool m_run = true;  // guarded by m_runMutex
    std::shared_ptr<ITakSessionManager> m_sessionManager;
};
