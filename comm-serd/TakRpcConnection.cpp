#include "comm-serd/TakRpcConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "comm-serd/TakRpcServerSocket.h"
#include "log/TakNanolog.h"

using apache::thrift::transport::TSocket;
using apache::thrift::transport::TTransportException;

namespace {

// "a.b.c.d:port" or "[v6]:port"; an IPv4 peer of a dual-stack listener without its "::ffff:".
std::string peerOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "unknown";
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        auto const* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (address.ss_family == AF_INET6) {
        auto const* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        std::string const port = std::to_string(ntohs(v6->sin6_port));
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
            return std::string(text) + ":" + port;
        }
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + port;
    }
    return "unknown";
}

// Whole milliseconds left until the deadline, at least 1 (0 would mean "no time-out" to the
// socket); 0 when it has passed.
int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    auto const left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

TakRpcConnection::TakRpcConnection(THRIFT_SOCKET fd,
                                   std::shared_ptr<THRIFT_SOCKET> interruptListener,
                                   std::shared_ptr<apache::thrift::TConfiguration> config,
                                   STRpcCallLimits limits,
                                   std::shared_ptr<TakRpcServerSocket> owner)
    : TSocket(fd, std::move(interruptListener), std::move(config)),
      m_fd(fd),
      m_peer(peerOf(fd)),
      m_limits(limits),
      m_owner(std::move(owner)) {}

TakRpcConnection::~TakRpcConnection() { close(); }

uint32_t TakRpcConnection::read(uint8_t* buf, uint32_t len) {
    if (m_state != EState::Receiving) {
        // Between calls: wait for the next one without a limit (a stop interrupts the wait).
        setRecvTimeout(0);
        uint32_t const got = TSocket::read(buf, len);
        if (got == 0) return 0;  // the console closed the connection
        m_state = EState::Receiving;
        m_deadline = std::chrono::steady_clock::now() + m_limits.callTimeout;
        m_callBytes = got;
        return got;
    }
    int const left = millisecondsLeft(m_deadline);
    if (left == 0) receiveTimedOut();
    setRecvTimeout(left);
    // Never read past the limit: the byte after it is enough to know the call is too long.
    uint64_t const room = m_limits.maxCallBytes + uint64_t{1} - m_callBytes;
    uint32_t got = 0;
    try {
        got = TSocket::read(buf, static_cast<uint32_t>(std::min<uint64_t>(len, room)));
    } catch (const TTransportException& e) {
        if (e.getType() == TTransportException::TIMED_OUT) receiveTimedOut();
        throw;
    }
    m_callBytes += got;
    if (m_callBytes > m_limits.maxCallBytes) {
        TAK_LOG_WARN("console call longer than" << m_limits.maxCallBytes
                                                << "bytes, connection closed:" << m_peer);
        throw TTransportException(TTransportException::END_OF_FILE, "call too long");
    }
    return got;
}

void TakRpcConnection::write(const uint8_t* buf, uint32_t len) {
    if (m_state != EState::Replying) {
        // The call has been read whole: its reply starts, with a time-limit of its own.
        m_state = EState::Replying;
        m_deadline = std::chrono::steady_clock::now() + m_limits.callTimeout;
    }
    uint32_t sent = 0;
    while (sent < len) {
        int const left = millisecondsLeft(m_deadline);
        if (left == 0) replyTimedOut();
        setSendTimeout(left);
        uint32_t const n = write_partial(buf + sent, len - sent);  // 0: the send time-out
        if (n == 0) replyTimedOut();
        sent += n;
    }
}

void TakRpcConnection::close() {
    if (m_owner) {
        m_owner->forget(this);
        m_owner.reset();
    }
    TSocket::close();
}

void TakRpcConnection::shutdownNow() { ::shutdown(m_fd, SHUT_RDWR); }

void TakRpcConnection::receiveTimedOut() {
    TAK_LOG_WARN("console call not complete within"
                 << static_cast<int64_t>(m_limits.callTimeout.count() / 1000)
                 << "s, connection closed:" << m_peer);
    throw TTransportException(TTransportException::TIMED_OUT, "call time-out");
}

void TakRpcConnection::replyTimedOut() {
    TAK_LOG_WARN("console reply not taken within"
                 << static_cast<int64_t>(m_limits.callTimeout.count() / 1000)
                 << "s, connection closed:" << m_peer);
    throw TTransportException(TTransportException::TIMED_OUT, "reply time-out");
}
