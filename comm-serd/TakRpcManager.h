#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "comm-serd/ITakObject.h"
#include "comm-serd/ITakRpcManager.h"

namespace apache::thrift::server {
class TSimpleServer;
}
class notifyServiceHandler;

// Serves the console's Thrift service on its own thread, one console connection at a time.
// A port that cannot be opened is reported and tried again every 5 s; the agents go on being
// served meanwhile.
class TakRpcManager : public ITakRpcManager, public ITakObject {
public:
    TakRpcManager();
    ~TakRpcManager() override;

    void init() override;
    void start() override;
    // Stops serving (an open console connection is cut) and joins the serving thread.
    void stop() override;

    void doWork();
    int port() const { return m_port; }

private:
    std::shared_ptr<apache::thrift::server::TSimpleServer> makeServer();

    std::shared_ptr<notifyServiceHandler> m_handler;
    int m_port = 0;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::shared_ptr<apache::thrift::server::TSimpleServer> m_server;  // guarded by m_mutex
    bool m_stopping = false;                                          // guarded by m_mutex
    bool m_serving = false;                                           // guarded by m_mutex
    std::shared_ptr<std::thread> m_thread;
};
