#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Tak.Business.pb.h"
#include "comm-serd/session/ITakSessionOutput.h"
#include "comm-serd/session/STReqParams.h"
#include "comm-serd/protocol/TakFrameCodec.h"
#include "comm-serd/protocol/TakKeyExchange.h"
#include "comm-serd/protocol/TakSm2Key.h"

// One agent session without its socket: received bytes become frames; before the key exchange
// a frame may only be the key answer, after it every frame body is SM4-CBC encrypted; each
// request is acknowledged with a receipt; an answer to one of the server's own requests goes to
// the callback waiting for it; everything else is dispatched. Sending frames (and encrypts)
// envelopes. What comes out goes to an ITakSessionOutput.
//
// Threads: one owner thread (the connection's loop) calls everything except nextSeq(),
// buildReqMsgHead() and keyExchanged(), which any thread may call.
class TakSessionCore {
public:
    struct STLimits {
        uint64_t maxPlainFrameBytes = 0;  // a frame body before the key exchange
        uint64_t maxFrameBytes = 0;       // a frame body after it
    };

    // out must outlive the core. ownId is the server's identity in the envelopes; peerAddr
    // names the peer in the log.
    TakSessionCore(ITakSessionOutput& out, std::string ownId, STLimits limits,
                   std::string peerAddr);
    TakSessionCore(const TakSessionCore&) = delete;
    TakSessionCore& operator=(const TakSessionCore&) = delete;

    // Takes a received chunk; complete frames are handled at once. A frame over the limit
    // closes the connection.
    void receive(const char* data, size_t size);

    // Makes the key offer from the server key file at keyPath and sends it in plain text. No
    // key file: nothing is sent and the session stays plain.
    void offerKey(const std::string& keyPath);
    // Uses key material agreed elsewhere, as if a key answer had carried it (tools, tests).
    void adoptKey(const TakKeyExchange::KeyMaterial& material);
    bool keyExchanged() const { return m_encrypted.load(); }

    // Frames the serialised envelope (encrypted once the key exchange is done) and sends it.
    void sendBody(const std::string& body);
    // Sends a request numbered seq (from nextSeq); its callback, if any, runs once with the
    // answer's commandData.
    void sendRequest(uint32_t seq, const STReqParams& params);
    // Forgets the callback of a request whose answer is no longer awaited.
    void dropPending(uint32_t seq);
    size_t pendingCount() const { return m_pending.size(); }

    uint32_t nextSeq() { return m_seq.fetch_add(1); }
    // The head of a request from the server to the session to, with the next sequence number.
    std::shared_ptr<Tak::Business::MessageData> buildReqMsgHead(const std::string& to);
    std::shared_ptr<Tak::Business::MessageData> buildReqMsgHead(const std::string& to,
                                                                uint32_t seq) const;
    // The head of the answer to request.
    std::shared_ptr<Tak::Business::MessageData> buildAsrMsgHead(
        const Tak::Business::MessageData& request) const;
    // The request's Businessdata with its commandData emptied, as the answer to it.
    std::string emptyAnswerBody(const Tak::Business::MessageData& request,
                                const Tak::Business::Businessdata& business) const;

private:
    void onFrame(std::string&& body);
    void onKeyAnswer(const std::string& body);
    void deliver(const std::shared_ptr<Tak::Business::MessageData>& message);

    ITakSessionOutput& m_out;
    const std::string m_ownId;
    const STLimits m_limits;
    const std::string m_peerAddr;
    TakFrameCodec m_codec;
    TakSm2Key m_ephemeralKey;
    TakKeyExchange::KeyMaterial m_keyMaterial{};  // written once, before m_encrypted is set
    std::atomic<bool> m_encrypted{false};
    std::atomic<uint32_t> m_seq{1};
    std::map<uint32_t, ITakSessionOutput::AnswerCallback> m_pending;  // by request number
};
