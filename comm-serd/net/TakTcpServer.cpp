#include "comm-serd/net/TakTcpServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <asio/post.hpp>

#include <cerrno>
#include <cstring>
#include <future>

#include "log/TakNanolog.h"

TakTcpServer::TakTcpServer() = default;

TakTcpServer::~TakTcpServer() { stop(); }

int TakTcpServer::createsocket(int port, const char* host) {
    std::error_code ec;
    auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(m_acceptorThread.loop().context());
    asio::ip::tcp::endpoint endpoint(asio::ip::make_address(host, ec),
                                     static_cast<unsigned short>(port));
    if (!ec) acceptor->open(endpoint.protocol(), ec);
    if (!ec) acceptor->set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        m_lastError = ec.message();
        return ec.value() > 0 ? -ec.value() : -1;
    }
    m_port = acceptor->local_endpoint(ec).port();
    m_acceptor = std::move(acceptor);
    return m_acceptor->native_handle();
}

void TakTcpServer::start() {
    if (m_started || m_stopped) return;
    m_started = true;
    for (size_t i = 0; i < m_threadNum; ++i) {
        m_workers.push_back(std::make_unique<TakEventLoopThread>());
        m_workers.back()->start(true);
    }
    m_retryTimer = std::make_unique<asio::steady_timer>(m_acceptorThread.loop().context());
    if (m_acceptor) m_acceptorThread.loop().post([this] { doAccept(); });
    m_acceptorThread.start(true);
}

TakEventLoopThread& TakTcpServer::nextWorker() {
    return *m_workers[m_nextWorker.fetch_add(1) % m_workers.size()];
}

void TakTcpServer::doAccept() {
    if (!m_acceptor || !m_acceptor->is_open()) return;
    TakEventLoopThread& worker = nextWorker();
    std::shared_ptr<TakEventLoop> loop = worker.loopPtr();
    m_acceptor->async_accept(
        loop->context(), [this, loop](const std::error_code& ec, asio::ip::tcp::socket socket) {
            if (ec == asio::error::operation_aborted) return;
            if (ec) {
                // Out of descriptors or a transient fault: wait a little instead of spinning.
                TAK_LOG_WARN("accept failed:" << ec.message());
                m_retryTimer->expires_after(std::chrono::milliseconds(100));
                m_retryTimer->async_wait([this](const std::error_code& wait_ec) {
                    if (!wait_ec) doAccept();
                });
                return;
            }
            if (m_keepAliveIdle > 0) enableKeepAlive(socket.native_handle());
            auto channel = std::make_shared<TakSocketChannel>(m_nextConnId++, loop,
                                                              std::move(socket), m_maxOutputBytes);
            m_open.fetch_add(1);
            channel->setServerCloseHook([this] { m_open.fetch_sub(1); });
            loop->post([this, channel] {
                if (m_onConnection) m_onConnection(channel);
                channel->startRead();
            });
            doAccept();
        });
}

void TakTcpServer::enableKeepAlive(int fd) const {
    int on = 1;
    int idle = m_keepAliveIdle;
    int interval = m_keepAliveInterval > 0 ? m_keepAliveInterval : 1;
    int count = m_keepAliveCount > 0 ? m_keepAliveCount : 1;
    bool const ok = setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
                    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
                    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
                    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0;
    if (!ok) TAK_LOG_WARN("TCP keepalive could not be set:" << std::strerror(errno) << "fd:" << fd);
}

void TakTcpServer::stopAccepting() {
    if (!m_started || m_acceptStopped) {
        m_acceptStopped = true;
        return;
    }
    m_acceptStopped = true;

    // Stop accepting, on the acceptor loop, and wait for it.
    std::promise<void> closed;
    m_acceptorThread.loop().post([this, &closed] {
        std::error_code ec;
        if (m_acceptor) m_acceptor->close(ec);
        m_retryTimer->cancel();
        closed.set_value();
    });
    closed.get_future().wait();
    m_acceptorThread.stop(true);
}

void TakTcpServer::stop() {
    if (!m_started || m_stopped) {
        m_stopped = true;
        return;
    }
    m_stopped = true;
    stopAccepting();
    for (auto& worker : m_workers) worker->stop(true);
    m_retryTimer.reset();
    m_acceptor.reset();
}

size_t TakTcpServer::connectionNum() { return m_open.load(); }
