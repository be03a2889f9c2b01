#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// A plain TCP client for tests that must send exactly the bytes they choose (half a call, a
// hostile size) and watch what the server does with the connection. Blocking, one thread.
class TakTestSocket {
public:
    TakTestSocket() = default;
    ~TakTestSocket();
    TakTestSocket(const TakTestSocket&) = delete;
    TakTestSocket& operator=(const TakTestSocket&) = delete;

    // Connects to host:port (numeric IPv4). receiveBuffer > 0 sets SO_RCVBUF before connecting.
    // False, with the reason in error(), when it cannot.
    [[nodiscard]] bool connect(const std::string& host, int port, int receiveBuffer = 0);
    // Sends all bytes; false when the connection refuses them (closed by the server). A send
    // that blocks longer than the time-out returns false as well.
    [[nodiscard]] bool send(const std::string& bytes,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads and discards whatever arrives until the server closes the connection (end of file or
    // reset): true when it did within the time-out.
    [[nodiscard]] bool waitClosed(std::chrono::milliseconds timeout);
    // Reads exactly n bytes; false on time-out or end of connection.
    [[nodiscard]] bool receive(std::string& bytes, size_t n, std::chrono::milliseconds timeout);
    void close();

    // Our end's port: the server names the connection by it.
    int localPort() const { return m_localPort; }
    // "127.0.0.1:PORT" as the server sees this connection.
    std::string peerName() const { return m_host + ":" + std::to_string(m_localPort); }
    const std::string& error() const { return m_error; }

private:
    int m_fd = -1;
    int m_localPort = 0;
    std::string m_host;
    std::string m_error;
};
