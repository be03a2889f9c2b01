#include "support/TakTestSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Milliseconds left until the deadline, 0 when it has passed.
int left(std::chrono::steady_clock::time_point deadline) {
    auto const ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return ms.count() > 0 ? static_cast<int>(ms.count()) : 0;
}

}  // namespace

TakTestSocket::~TakTestSocket() { close(); }

bool TakTestSocket::connect(const std::string& host, int port, int receiveBuffer) {
    close();
    m_host = host;
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_error = std::strerror(errno);
        return false;
    }
    if (receiveBuffer > 0) {
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        m_error = "not an IPv4 address: " + host;
        return false;
    }
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        m_error = std::strerror(errno);
        close();
        return false;
    }
    socklen_t length = sizeof address;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_localPort = ntohs(address.sin_port);
    return true;
}

bool TakTestSocket::send(const std::string& bytes, std::chrono::milliseconds timeout) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    size_t sent = 0;
    while (sent < bytes.size()) {
        pollfd p{m_fd, POLLOUT, 0};
        if (::poll(&p, 1, left(deadline)) <= 0) {
            m_error = "send timed out";
            return false;
        }
        ssize_t const n =
            ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            m_error = std::strerror(errno);
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool TakTestSocket::waitClosed(std::chrono::milliseconds timeout) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        int const ready = ::poll(&p, 1, left(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t const n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return true;  // reset
    }
}

bool TakTestSocket::receive(std::string& bytes, size_t n, std::chrono::milliseconds timeout) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    bytes.clear();
    char buffer[65536];
    while (bytes.size() < n) {
        pollfd p{m_fd, POLLIN, 0};
        int const ready = ::poll(&p, 1, left(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t const got =
            ::recv(m_fd, buffer, std::min(sizeof buffer, n - bytes.size()), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) return false;
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

void TakTestSocket::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}
