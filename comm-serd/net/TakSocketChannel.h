#pragma once

#include <asio/ip/tcp.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "comm-serd/net/TakEventLoop.h"

// One accepted TCP connection, owned by one event loop and shared by pointer.
//
// The loop owns the channel's state: the callbacks, the reading and the output. The read and
// close callbacks are replaceable; set them on the loop thread (the connection callback of the
// server runs there). The read callback receives each chunk as it is read. The close callback
// runs once, on the loop thread, whichever side closes, before the descriptor is released.
// write() runs on the loop thread; send() hands bytes over to it from any thread. What the
// socket does not take at once is queued and sent by the loop, in order. A connection whose
// unsent output would pass the bound given at construction is closed.
class TakSocketChannel : public std::enable_shared_from_this<TakSocketChannel> {
public:
    using ReadCallback = std::function<void(const char* data, size_t size)>;
    using CloseCallback = std::function<void()>;

    // The channel keeps its loop's io_context alive for as long as it exists.
    // id names the connection for its whole life; the server never gives it to another one.
    TakSocketChannel(uint64_t id, std::shared_ptr<TakEventLoop> loop, asio::ip::tcp::socket socket,
                     uint64_t maxOutputBytes);
    ~TakSocketChannel();
    TakSocketChannel(const TakSocketChannel&) = delete;
    TakSocketChannel& operator=(const TakSocketChannel&) = delete;

    uint64_t id() const { return m_id; }
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

    // Loop thread: sends the bytes as one block. Returns the number of bytes taken (sent or
    // queued), or -1 when the connection is closed or closing, or would pass its output bound
    // (it is then closed, with an ERROR record).
    int write(const void* data, size_t size);
    int write(const std::string& data) { return write(data.data(), data.size()); }
    // Any thread: writes the bytes on the loop thread (now when called there), in the order
    // handed over.
    void send(std::string data);

    // Closes the connection. On the loop thread and not async: now; otherwise queued to the loop.
    // Queued output is dropped.
    void close(bool async = false);
    // False once closing has begun, from either side.
    bool isConnected() const { return !m_closing.load(); }
    // Bytes accepted by write() and not yet handed to the socket. Any thread.
    size_t pendingOutputBytes() const { return m_pendingBytes.load(); }

private:
    void doRead();
    void doClose();
    void waitWritable();                             // requires: loop thread
    void flushQueued();                              // requires: loop thread
    bool sendSome(const char*& data, size_t& size);  // requires: loop thread
    void notePending();                              // requires: loop thread

    const uint64_t m_id;
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

    std::string m_output;                   // loop thread only: bytes not yet sent
    size_t m_outputOffset = 0;              // loop thread only
    bool m_waitingWritable = false;         // loop thread only
    std::atomic<size_t> m_pendingBytes{0};  // a copy of the unsent count, for any thread
};
