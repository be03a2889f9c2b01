#pragma once

#include <asio/ip/tcp.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "comm-serd/net/TakEventLoop.h"

// One accepted TCP connection, served by one event loop and shared by pointer.
//
// The read and close callbacks are replaceable; set them on the channel's loop thread (the
// connection callback of the server runs there). The read callback receives each chunk as it is
// read. The close callback runs once, on the loop thread, whichever side closes, before the
// descriptor is released. write() may be called from any thread: what the socket does not take
// at once is queued and sent by the loop, in order. A connection whose unsent output would pass
// the bound given at construction is closed.
class TakSocketChannel : public std::enable_shared_from_this<TakSocketChannel> {
public:
    using ReadCallback = std::function<void(const char* data, size_t size)>;
    using CloseCallback = std::function<void()>;

    // The channel keeps its loop's io_context alive for as long as it exists.
    TakSocketChannel(std::shared_ptr<TakEventLoop> loop, asio::ip::tcp::socket socket,
                     uint64_t maxOutputBytes);
    ~TakSocketChannel();
    TakSocketChannel(const TakSocketChannel&) = delete;
    TakSocketChannel& operator=(const TakSocketChannel&) = delete;

    int fd() const { return m_fd; }
    // The peer's address as "ip:port"; empty when it could not be read.
    const std::string& peeraddr() const { return m_peer; }
    TakEventLoop& loop() { return *m_loop; }

    void setReadCallback(ReadCallback cb) { m_onRead = std::move(cb); }
    void setCloseCallback(CloseCallback cb) { m_onClose = std::move(cb); }
    // Bookkeeping of the server that owns the connection; runs after the close callback.
    void setServerCloseHook(CloseCallback cb) { m_serverHook = std::move(cb); }

    // Starts reading; call once, on the loop thread.
    void startRead();
    // Stops reading after the chunk being read (the peer's sending then stalls once the
    // socket's buffers are full), until resumeReading(). Any thread.
    void pauseReading();
    void resumeReading();

    // Sends the bytes as one block. Returns the number of bytes taken (sent or queued), or -1
    // when the connection is closed or closing, or would pass its output bound (it is then
    // closed, with an ERROR record).
    int write(const void* data, size_t size);
    int write(const std::string& data) { return write(data.data(), data.size()); }

    // Closes the connection. On the loop thread and not async: now; otherwise queued to the loop.
    // Queued output is dropped.
    void close(bool async = false);
    // False once closing has begun, from either side.
    bool isConnected() const { return !m_closing.load(); }
    // Bytes accepted by write() and not yet handed to the socket.
    size_t pendingOutputBytes();

private:
    void doRead();
    void doClose();
    void waitWritable();                             // requires: loop thread
    void flushQueued();                              // requires: loop thread
    bool sendSome(const char*& data, size_t& size);  // requires: m_writeMutex held

    std::shared_ptr<TakEventLoop> m_loop;  // declared before the socket: outlives it
    asio::ip::tcp::socket m_socket;
    int const m_fd;
    std::string m_peer;
    uint64_t const m_maxOutputBytes;

    ReadCallback m_onRead;       // loop thread only
    CloseCallback m_onClose;     // loop thread only
    CloseCallback m_serverHook;  // loop thread only
    std::array<char, 16 * 1024> m_readBuffer;
    bool m_reading = false;  // loop thread only: a read is armed
    std::atomic<bool> m_readPaused{false};

    std::atomic<bool> m_closing{false};
    bool m_closed = false;  // loop thread only

    std::mutex m_writeMutex;
    std::string m_output;            // guarded by m_writeMutex: bytes not yet sent
    size_t m_outputOffset = 0;       // guarded by m_writeMutex
    bool m_waitingWritable = false;  // guarded by m_writeMutex
};
