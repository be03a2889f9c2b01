#pragma once

#include <google/protobuf/message.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Tak.Business.pb.h"
#include "comm-serd/ITakObject.h"
#include "comm-serd/ITakThreadManager.h"
#include "comm-serd/TakStrand.h"
#include "comm-serd/net/TakSocketChannel.h"
#include "comm-serd/session/STReqParams.h"
#include "comm-serd/session/STSessionInfo.h"
#include "comm-serd/session/TakFrameCodec.h"
#include "comm-serd/session/TakSm2Key.h"

// One connected agent: frame reassembly and sending, the key exchange and body encryption,
// receipts for incoming requests and the matching of answers to the server's own requests.
//
// Locks: the session lock (the ITakObject mutex, recursive) serialises reassembly, sending and
// the pending-request table. The service lock of a derived session is taken before the session
// lock, never after it.
//
// Requests that answer none of the server's own requests go to doWork through the session's
// strand: one at a time, in the order they arrived.
class TakBaseSession : public ITakObject {
public:
    TakBaseSession(int fd, std::shared_ptr<TakSocketChannel> channel);
    ~TakBaseSession() override;

    // Installs this session's read callback on the channel. Call once, on the channel's loop
    // thread, right after construction.
    void startReading();

    virtual bool isHasMac(const std::vector<std::string>& macs);
    // Frames (and, once the key exchange is done, encrypts) a serialised envelope and sends it;
    // nothing happens on a closed connection.
    virtual void writeBody(const std::string& body);
    virtual void writeBody(google::protobuf::Message& message);
    // Sends one request; a callback in the parameters runs once with the answer's commandData.
    // Returns the request's sequence number.
    virtual uint32_t sendReqMsgWithCallback(STReqParams& params);
    // Forgets the callback of a request whose answer is no longer awaited; a late answer is
    // then dropped like any answer nobody waits for.
    void dropPending(uint32_t seq);
    // Handles an incoming envelope that answers none of the server's requests (worker pool).
    virtual void doWork(std::shared_ptr<Tak::Business::MessageData> message) = 0;
    // Makes and sends the key offer from the server key file at path.
    virtual void sendPubKey1Toclient(std::string path);
    // Closes the connection if the key exchange has not completed within the given time. Call
    // once, on the channel's loop thread, after the offer.
    void armHandshakeDeadline(std::chrono::seconds limit);
    // Closes the connection asynchronously if it is still open; sends nothing.
    virtual void closeSession();
    // The connection has closed.
    virtual void close();

    std::shared_ptr<Tak::Business::MessageData> buildReqMsgHead(const std::string& to);
    std::shared_ptr<Tak::Business::MessageData> buildAsrMsgHead(
        const std::shared_ptr<Tak::Business::MessageData>& request);

    // Collects a received chunk into frames and handles each complete one.
    void append(const char* data, size_t size);

    // The agent's address as "ip:port"; empty when unknown.
    const std::string& peerAddr() const { return m_peerAddr; }
    bool keyExchanged() const { return m_encrypted.load(); }
    // What an operator sees of the session (the registry lock may be held).
    virtual STSessionInfo describe();

protected:
    // Called on the loop thread after each received chunk has been handled.
    virtual void afterChunk() {}

    void onFrame(std::string&& body);           // requires: session lock
    void onKeyAnswer(const std::string& body);  // requires: session lock
    void deliver(const std::shared_ptr<Tak::Business::MessageData>& message);  // session lock
    // The request's Businessdata with its commandData emptied, as the answer to it.
    void sendEmptyAnswer(const std::shared_ptr<Tak::Business::MessageData>& request,
                         const Tak::Business::Businessdata& business);

    std::shared_ptr<TakSocketChannel> m_channel;
    const int m_fd;
    std::mutex m_serviceMutex;  // the service lock of derived sessions
    TakFrameCodec m_codec;      // guarded by the session lock
    std::shared_ptr<ITakThreadManager> m_threadManager;
    std::shared_ptr<TakStrand> m_strand;  // this session's requests, in arrival order
    std::atomic<uint32_t> m_seq{1};
    const std::string m_ownId;
    TakSm2Key m_ephemeralKey;                       // guarded by the session lock
    std::array<unsigned char, 32> m_keyMaterial{};  // written once, before m_encrypted is set
    std::atomic<bool> m_encrypted{false};
    // Answer callbacks by request number; guarded by the session lock.
    std::map<int, std::shared_ptr<std::function<void(std::string)>>> m_pending;
    const std::string m_peerAddr;
    const uint64_t m_maxFrameBytes;
    const std::chrono::system_clock::time_point m_connectedAt =
        std::chrono::system_clock::now();  // once encrypted; before, [Limits] MaxPlainFrameBytes
};
