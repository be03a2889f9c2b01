#pragma once

#include <google/protobuf/message.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Tak.Business.pb.h"
#include "comm-serd/ITakObject.h"
#include "comm-serd/ITakThreadManager.h"
#include "comm-serd/TakStrand.h"
#include "comm-serd/net/TakSocketChannel.h"
#include "comm-serd/session/ITakSessionOutput.h"
#include "comm-serd/session/STReqParams.h"
#include "comm-serd/session/STSessionInfo.h"
#include "comm-serd/session/TakSessionCore.h"

// One connected agent: a session core served by its connection.
//
// Threads: the connection's loop owns the session's state (the core: reassembly, the key
// exchange, the pending answers). Other threads hand their sends over to the loop, so a frame
// is framed, encrypted and written there, in the order handed over. Requests that answer none
// of the server's own requests go to doWork through the session's strand: one at a time, in
// the order they arrived, on the worker pool.
class TakBaseSession : public ITakObject, protected ITakSessionOutput {
public:
    struct STSettings {
        std::string ownId;  // the server's identity in the envelopes
        TakSessionCore::STLimits limits;
    };

    // id names the connection for its whole life and is never given to another one.
    TakBaseSession(uint64_t id, std::shared_ptr<TakSocketChannel> channel,
                   std::shared_ptr<ITakThreadManager> pool, const STSettings& settings);
    ~TakBaseSession() override;

    uint64_t id() const { return m_id; }

    // Installs this session's read callback on the channel. Loop thread, once, right after
    // construction.
    void startReading();
    // Makes and sends the key offer from the server key file at path. Loop thread.
    virtual void sendPubKey1Toclient(std::string path);
    // Closes the connection if the key exchange has not completed within the given time. Loop
    // thread, once, after the offer.
    void armHandshakeDeadline(std::chrono::seconds limit);

    // Any thread: frames (and, once the key exchange is done, encrypts) a serialised envelope
    // and sends it on the loop; nothing happens on a closed connection.
    virtual void writeBody(const std::string& body);
    virtual void writeBody(google::protobuf::Message& message);
    // Any thread: sends one request; a callback in the parameters runs once with the answer's
    // commandData. Returns the request's sequence number.
    virtual uint32_t sendReqMsgWithCallback(STReqParams& params);
    // Any thread: forgets the callback of a request whose answer is no longer awaited; a late
    // answer is then dropped like any answer nobody waits for.
    void dropPending(uint32_t seq);
    // Any thread: closes the connection asynchronously if it is still open; sends nothing.
    virtual void closeSession();

    // Handles an incoming envelope that answers none of the server's requests (strand).
    virtual void doWork(std::shared_ptr<Tak::Business::MessageData> message) = 0;
    // The connection has closed (loop thread, once).
    virtual void close();

    // Any thread. The head of a request to the session to, with the next sequence number.
    std::shared_ptr<Tak::Business::MessageData> buildReqMsgHead(const std::string& to);

    // The agent's address as "ip:port"; empty when unknown.
    const std::string& peerAddr() const { return m_peerAddr; }
    bool keyExchanged() const { return m_core.keyExchanged(); }
    // What an operator sees of the session. Any thread.
    virtual STSessionInfo describe();

protected:
    // Called on the loop thread after each received chunk has been handled.
    virtual void afterChunk() {}
    std::shared_ptr<TakBaseSession> self() {
        return std::static_pointer_cast<TakBaseSession>(shared_from_this());
    }
    // Runs fn on the loop thread: now when called there, otherwise queued. The session stays
    // alive until fn has run.
    void runOnLoop(std::function<void(TakBaseSession&)> fn);
    // Sends the request's Businessdata with its commandData emptied, as the answer to it.
    void sendEmptyAnswer(const std::shared_ptr<Tak::Business::MessageData>& request,
                         const Tak::Business::Businessdata& business);

    // ITakSessionOutput, on the loop thread.
    void sendFrame(std::string frame) override;
    void closeConnection() override;
    void dispatch(std::shared_ptr<Tak::Business::MessageData> message) override;
    void answer(AnswerCallback callback, std::string commandData) override;

    const uint64_t m_id;
    const std::shared_ptr<TakSocketChannel> m_channel;
    const std::shared_ptr<ITakThreadManager> m_pool;
    const std::shared_ptr<TakStrand> m_strand;  // this session's requests, in arrival order
    const std::string m_peerAddr;
    const std::chrono::system_clock::time_point m_connectedAt = std::chrono::system_clock::now();
    TakSessionCore m_core;  // loop thread only (except its any-thread members)
};
