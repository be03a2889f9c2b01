#include "comm-serd/net/TakSocketChannel.h"

#include <sys/socket.h>

#include <asio/socket_base.hpp>

#include <cerrno>
#include <cstring>

#include "comm-serd/TakMetrics.h"
#include "log/TakNanolog.h"

namespace {

std::string peerText(asio::ip::tcp::socket& socket) {
    std::error_code ec;
    auto const endpoint = socket.remote_endpoint(ec);
    if (ec) return std::string();
    auto const address = endpoint.address();
    std::string ip =
        address.is_v6() && address.to_v6().is_v4_mapped()
            ? asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string()
            : address.to_string();
    return ip + ":" + std::to_string(endpoint.port());
}

}  // namespace

TakSocketChannel::TakSocketChannel(uint64_t id, std::shared_ptr<TakEventLoop> loop,
                                   asio::ip::tcp::socket socket, uint64_t maxOutputBytes)
    : m_id(id),
      m_loop(std::move(loop)),
      m_socket(std::move(socket)),
      m_fd(m_socket.native_handle()),
      m_peer(peerText(m_socket)),
      m_maxOutputBytes(maxOutputBytes) {
    std::error_code ec;
    m_socket.non_blocking(true, ec);
    m_socket.set_option(asio::ip::tcp::no_delay(true), ec);
}

TakSocketChannel::~TakSocketChannel() {
    std::error_code ec;
    m_socket.close(ec);
}

void TakSocketChannel::startRead() {
    if (m_reading || m_closed) return;
    m_reading = true;
    doRead();
}

void TakSocketChannel::doRead() {
    auto self = shared_from_this();
    m_socket.async_read_some(asio::buffer(m_readBuffer),
                             [this, self](const std::error_code& ec, size_t n) {
                                 if (m_closed) return;
                                 if (ec) {
                                     doClose();
                                     return;
                                 }
                                 TakMetrics::instance().bytesIn.add(n);
                                 if (m_onRead && n > 0) m_onRead(m_readBuffer.data(), n);
                                 if (m_closed || m_closing.load()) return;
                                 if (m_readPaused.load()) {
                                     m_reading = false;
                                     return;
                                 }
                                 doRead();
                             });
}

void TakSocketChannel::pauseReading() { m_readPaused.store(true); }

void TakSocketChannel::resumeReading() {
    m_readPaused.store(false);
    m_loop->runInLoop([self = shared_from_this()] {
        if (self->m_closed || self->m_reading || self->m_readPaused.load()) return;
        self->m_reading = true;
        self->doRead();
    });
}

bool TakSocketChannel::sendSome(const char*& data, size_t& size) {
    while (size > 0) {
        ssize_t const n = ::send(m_fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;  // the connection is broken; the read side will see it too
    }
    return true;
}

void TakSocketChannel::send(std::string data) {
    if (m_closing.load()) return;
    m_loop->runInLoop([self = shared_from_this(), data = std::move(data)] { self->write(data); });
}

void TakSocketChannel::notePending() { m_pendingBytes.store(m_output.size() - m_outputOffset); }

int TakSocketChannel::write(const void* data, size_t size) {
    if (m_closing.load()) return -1;
    m_loop->assertInLoopThread();
    bool overLimit = false;
    bool broken = false;
    bool startWaiting = false;
    size_t const pending = m_output.size() - m_outputOffset;
    if (pending + size > m_maxOutputBytes) {
        overLimit = true;
    } else if (pending == 0) {
        // Nothing queued: give the socket what it takes now, queue the rest.
        const char* p = static_cast<const char*>(data);
        size_t left = size;
        if (!sendSome(p, left)) {
            broken = true;
        } else if (left > 0) {
            m_output.assign(p, left);
            m_outputOffset = 0;
            if (!m_waitingWritable) startWaiting = m_waitingWritable = true;
        }
    } else {
        m_output.append(static_cast<const char*>(data), size);
    }
    notePending();
    if (overLimit) {
        TAK_LOG_ERROR("output queue over limit, closing connection:"
                      << m_peer << "fd:" << m_fd << "unsent bytes:"
                      << static_cast<uint64_t>(pending + size) << "limit:" << m_maxOutputBytes);
        close(true);
        return -1;
    }
    if (broken) {
        close(true);
        return -1;
    }
    if (startWaiting) waitWritable();
    TakMetrics::instance().bytesOut.add(size);
    return static_cast<int>(size);
}

void TakSocketChannel::waitWritable() {
    if (m_closed) return;
    auto self = shared_from_this();
    m_socket.async_wait(asio::socket_base::wait_write, [this, self](const std::error_code& ec) {
        if (m_closed) return;
        if (ec) {
            doClose();
            return;
        }
        flushQueued();
    });
}

void TakSocketChannel::flushQueued() {
    bool broken = false;
    bool more = false;
    const char* p = m_output.data() + m_outputOffset;
    size_t left = m_output.size() - m_outputOffset;
    if (!sendSome(p, left)) {
        broken = true;
    } else if (left == 0) {
        m_output.clear();
        m_output.shrink_to_fit();
        m_outputOffset = 0;
        m_waitingWritable = false;
    } else {
        m_outputOffset = m_output.size() - left;
        // Compact now and then so that a long stream does not keep sent bytes in memory.
        if (m_outputOffset > (1u << 20) && m_outputOffset > m_output.size() / 2) {
            m_output.erase(0, m_outputOffset);
            m_outputOffset = 0;
        }
        more = true;
    }
    notePending();
    if (broken) {
        doClose();
    } else if (more) {
        waitWritable();
    }
}

void TakSocketChannel::close(bool async) {
    // Once closing has begun its close is under way: queueing another would hold this channel
    // in a loop that may have ended already.
    if (m_closing.exchange(true)) return;
    if (!async && m_loop->isInLoopThread()) {
        doClose();
        return;
    }
    auto self = shared_from_this();
    m_loop->post([self] { self->doClose(); });
}

void TakSocketChannel::doClose() {
    if (m_closed) return;
    m_closed = true;
    m_closing.store(true);
    std::error_code ec;
    m_socket.cancel(ec);
    m_output.clear();
    m_outputOffset = 0;
    notePending();
    // The callbacks are released once run: they may hold what holds this channel.
    CloseCallback onClose = std::move(m_onClose);
    CloseCallback hook = std::move(m_serverHook);
    m_onClose = nullptr;
    m_serverHook = nullptr;
    // The read callback may be running right now (it may have closed the connection itself):
    // release it once the current handler is done.
    auto self = shared_from_this();
    m_loop->post([self] { self->m_onRead = nullptr; });
    if (onClose) onClose();
    if (hook) hook();
    // The descriptor is released only now, so a new connection cannot reuse it while the close
    // callback still looks for this one.
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    m_socket.close(ec);
}
