#pragma once

#include <memory>

#include "comm-serd/ITakDbManager.h"
#include "comm-serd/ITakRpcManager.h"
#include "comm-serd/ITakSessionManager.h"
#include "comm-serd/ITakTcpServerManager.h"
#include "comm-serd/ITakThreadManager.h"

class ITakManagerFactory {
public:
    virtual std::shared_ptr<ITakDbManager> getDbManager() = 0;
    virtual std::shared_ptr<ITakThreadManager> getThreadManager() = 0;
    virtual std::shared_ptr<ITakSessionManager> getSessionManager() = 0;
    virtual std::shared_ptr<ITakTcpServerManager> getTcpServerManager() = 0;
    virtual std::shared_ptr<ITakRpcManager> getRpcManager() = 0;

protected:
    ~ITakManagerFactory() = default;
};
