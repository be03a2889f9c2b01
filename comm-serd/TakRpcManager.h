#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <thread>

#include "comm-serd/ITakObject.h"
#include "comm-serd/ITakRpcManager.h"
#include "comm-serd/ITakSessionManager.h"
#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"

namespace apache::thrift::server {
class TThreadedServer;
}
class notifyServiceHandler;
class TakRpcServerSocket;

// Serves the console's Thrift service: a serving thread accepts console connections ([Rpc] Bind,
// Port) and serves each on a thread of its own, at most [Rpc] MaxConnections at a time; the
// handler runs their calls one at a time. Each call is bounded in time ([Rpc] CallTimeoutSeconds)
// and size (strings of 64 KiB, calls of 1 MiB); a connection that breaks a bound is closed with a
// WARN naming the console. A port that cannot be opened is reported and tried again every 5 s;
// the agents go on being served meanwhile.
class TakRpcManager : public ITakRpcManager, public ITakObject {
public:
    // The bounds of one call.
    static constexpr int32_t kMaxStringBytes = 64 * 1024;
    static constexpr uint32_t kMaxCallBytes = 1024 * 1024;
    static constexpr int32_t kMaxContainerElements = 1024;

    // sessions gives the session manager the console's calls go to, when the server is made.
    explicit TakRpcManager(std::function<std::shared_ptr<ITakSessionManager>()> sessions);
    ~TakRpcManager() override;

    void init() override;
    void start() override;
    // Stops serving: calls waiting for their turn are answered with an exception, open and
    // stalled console connections are cut, and every thread of the server is joined.
    void stop() override;

    void doWork();
    int port() const { return m_settings.port; }

private:
    const std::function<std::shared_ptr<ITakSessionManager>()> m_sessions;
    // A new server on a new listening socket.
    void makeServer() TAK_REQUIRES(m_mutex);

    std::shared_ptr<notifyServiceHandler> m_handler;
    STRpcSettings m_settings;
    TakMutex m_mutex;
    std::condition_variable m_cond;
    std::shared_ptr<apache::thrift::server::TThreadedServer> m_server TAK_GUARDED_BY(m_mutex);
    std::shared_ptr<TakRpcServerSocket> m_serverSocket TAK_GUARDED_BY(m_mutex);
    bool m_stopping TAK_GUARDED_BY(m_mutex) = false;
    bool m_serving TAK_GUARDED_BY(m_mutex) = false;
    std::shared_ptr<std::thread> m_thread;
};
