#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm-serd/TakMetrics.h"
#include "comm-serd/session/STSessionInfo.h"

namespace httplib {
class Server;
}

// The operators' HTTP endpoint ([Admin] Listen), served with cpp-httplib on a thread of its own
// and a small pool of its own:
//   GET /metrics   every figure of TakMetrics in the Prometheus text format;
//   GET /healthz   200 "ok" while both database connections are up and both listeners listen,
//                  otherwise 503 with one line per problem;
//   GET /sessions  the connected agents as a JSON array.
// It binds only the address it is given and has no authentication. The daemon's other layers do
// not know it: it reads TakMetrics and asks the session lister it is given.
class TakAdminServer {
public:
    using SessionLister = std::function<std::vector<STSessionInfo>()>;

    // databases: the connections /healthz requires to be up.
    TakAdminServer(std::string host, int port, std::vector<std::string> databases,
                   SessionLister sessions, TakMetrics& metrics = TakMetrics::instance());
    // Stops serving and joins every thread of the endpoint.
    ~TakAdminServer();
    TakAdminServer(const TakAdminServer&) = delete;
    TakAdminServer& operator=(const TakAdminServer&) = delete;

    // Binds the address and starts serving. False (logged at ERROR) when the address cannot be
    // bound: the daemon goes on without the endpoint.
    [[nodiscard]] bool start();
    // Stops serving; waits for the requests being answered. Any thread, more than once.
    void stop();
    // The port bound (useful with port 0); 0 before start().
    int port() const { return m_boundPort; }

    // The /sessions body. Every text is escaped, and bytes that are not UTF-8 are replaced, so
    // that what an agent reported cannot break the document.
    static std::string sessionsJson(const std::vector<STSessionInfo>& sessions,
                                    std::chrono::system_clock::time_point now);
    // text as a JSON string, quotes included.
    static std::string jsonString(const std::string& text);

private:
    void routes();

    const std::string m_host;
    const int m_port;
    const std::vector<std::string> m_databases;
    const SessionLister m_sessions;
    TakMetrics& m_metrics;
    std::unique_ptr<httplib::Server> m_server;
    int m_boundPort = 0;

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_finished = false;  // guarded by m_mutex: the listening loop has returned
};
