#pragma once

#include <thrift/transport/TSocket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class TakRpcServerSocket;

// What one console call may take.
struct STRpcCallLimits {
    // From the first byte of a call to its last, and again for taking the whole reply.
    std::chrono::milliseconds callTimeout{30000};
    // Bytes of one call, its message header included.
    uint32_t maxCallBytes = 1024 * 1024;
};

// One accepted console connection: a Thrift socket that bounds every call. Between calls it
// waits for the console as long as the console likes (a console may keep its connection open for
// hours); once a call has started arriving, the whole call must arrive within the call time-out
// and within maxCallBytes, and the reply must be taken within the call time-out. Otherwise the
// read or write throws, a WARN names the peer, and the server closes the connection.
//
// The server reads a call unbuffered from this socket (no read-ahead), so "the call has started"
// is exactly "a read returned bytes after the last reply". A call ends when the server starts
// writing its reply.
//
// Used by the one thread that serves the connection, except peer() and shutdownNow(), which the
// server socket calls from the stopping thread.
class TakRpcConnection : public apache::thrift::transport::TSocket {
public:
    TakRpcConnection(THRIFT_SOCKET fd, std::shared_ptr<THRIFT_SOCKET> interruptListener,
                     std::shared_ptr<apache::thrift::TConfiguration> config, STRpcCallLimits limits,
                     std::shared_ptr<TakRpcServerSocket> owner);
    ~TakRpcConnection() override;

    uint32_t read(uint8_t* buf, uint32_t len) override;
    void write(const uint8_t* buf, uint32_t len) override;
    // Leaves the server socket's table of open connections, then closes the socket.
    void close() override;

    // "address:port" of the console, as accepted.
    const std::string& peer() const { return m_peer; }
    // Ends every pending and later read or write of the connection at once (shutdown(2)); the
    // descriptor stays open until close().
    void shutdownNow();

private:
    enum class EState { Idle, Receiving, Replying };

    [[noreturn]] void receiveTimedOut();
    [[noreturn]] void replyTimedOut();

    int const m_fd;
    std::string const m_peer;
    STRpcCallLimits const m_limits;
    std::shared_ptr<TakRpcServerSocket> m_owner;  // empty once closed
    EState m_state = EState::Idle;
    std::chrono::steady_clock::time_point m_deadline;
    uint64_t m_callBytes = 0;
};
