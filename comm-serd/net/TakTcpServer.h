#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm-serd/net/TakEventLoopThread.h"
#include "comm-serd/net/TakSocketChannel.h"

// A TCP server: one acceptor loop on a thread of its own, and worker loops that own the
// connections, assigned round-robin. Each connection gets an id that is never given to another
// one. The connection callback runs on the connection's worker loop before the first read; the
// owner of the callback keeps the connections it wants (the server keeps none, only a count)
// and closes them when it stops.
class TakTcpServer {
public:
    using ConnectionCallback = std::function<void(const std::shared_ptr<TakSocketChannel>&)>;

    TakTcpServer();
    ~TakTcpServer();
    TakTcpServer(const TakTcpServer&) = delete;
    TakTcpServer& operator=(const TakTcpServer&) = delete;

    // Opens the listening socket. Returns its descriptor, or a negative errno value; the reason
    // is then in lastError().
    int createsocket(int port, const char* host = "0.0.0.0");
    std::string lastError() const { return m_lastError; }
    // The port actually bound (useful with port 0).
    int listenPort() const { return m_port; }

    void setThreadNum(size_t n) { m_threadNum = n == 0 ? 1 : n; }
    void setMaxOutputBytes(uint64_t n) { m_maxOutputBytes = n; }
    // TCP keepalive on every accepted connection: probes after idleSeconds without traffic,
    // then every intervalSeconds; after count unanswered probes the kernel reports the
    // connection broken and it is closed. idleSeconds 0 leaves keepalive off.
    void setKeepAlive(int idleSeconds, int intervalSeconds, int count) {
        m_keepAliveIdle = idleSeconds;
        m_keepAliveInterval = intervalSeconds;
        m_keepAliveCount = count;
    }
    void setConnectionCallback(ConnectionCallback cb) { m_onConnection = std::move(cb); }

    // Starts the worker loops and then the acceptor; returns once all of them run.
    void start();
    // Stops accepting; returns once no connection callback is still to be queued. Call from a
    // thread that is not one of the server's loops.
    void stopAccepting();
    // Stops accepting, then stops the worker loops once they have run what was queued on them
    // (so the close callbacks of connections the owner has closed run first). Connections still
    // open then are dropped without their close callbacks. Not on one of the server's loops.
    void stop();

    size_t connectionNum();
    size_t workerCount() const { return m_workers.size(); }

private:
    void doAccept();
    void enableKeepAlive(int fd) const;
    TakEventLoopThread& nextWorker();

    size_t m_threadNum = 1;
    uint64_t m_maxOutputBytes = 64ull * 1024 * 1024;
    int m_keepAliveIdle = 0;
    int m_keepAliveInterval = 0;
    int m_keepAliveCount = 0;
    ConnectionCallback m_onConnection;
    std::string m_lastError;
    int m_port = 0;

    TakEventLoopThread m_acceptorThread;
    std::vector<std::unique_ptr<TakEventLoopThread>> m_workers;
    std::atomic<size_t> m_nextWorker{0};
    std::unique_ptr<asio::ip::tcp::acceptor> m_acceptor;  // acceptor loop only once started
    std::unique_ptr<asio::steady_timer> m_retryTimer;     // acceptor loop only
    bool m_started = false;
    bool m_acceptStopped = false;
    bool m_stopped = false;

    uint64_t m_nextConnId = 1;  // acceptor loop only
    std::atomic<size_t> m_open{0};
};
