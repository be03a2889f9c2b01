#include "comm-serd/session/TakBaseSession.h"

#include "comm-serd/TakMetrics.h"
#include "log/TakNanolog.h"

using Tak::Business::Businessdata;
using Tak::Business::MessageData;

TakBaseSession::TakBaseSession(uint64_t id, std::shared_ptr<TakSocketChannel> channel,
                               std::shared_ptr<ITakThreadManager> pool, const STSettings& settings)
    : m_id(id),
      m_channel(std::move(channel)),
      m_pool(std::move(pool)),
      m_strand(std::make_shared<TakStrand>(m_pool)),
      m_peerAddr(m_channel ? m_channel->peeraddr() : std::string()),
      m_core(*this, settings.ownId, settings.limits, m_peerAddr) {}

TakBaseSession::~TakBaseSession() = default;

void TakBaseSession::runOnLoop(std::function<void(TakBaseSession&)> fn) {
    if (!m_channel) {
        fn(*this);  // a session without a connection (tests) is its own loop
        return;
    }
    if (m_channel->loop().isInLoopThread()) {
        fn(*this);
        return;
    }
    // A closed connection takes nothing more, and its loop may have ended.
    if (!m_channel->isConnected()) return;
    m_channel->loop().post([self = self(), fn = std::move(fn)] { fn(*self); });
}

void TakBaseSession::startReading() {
    if (!m_channel) return;
    m_channel->loop().assertInLoopThread();
    std::weak_ptr<TakBaseSession> weak = self();
    m_channel->setReadCallback([weak](const char* data, size_t size) {
        TAK_LOG_DEBUG("read tcp bufSize:" << static_cast<uint64_t>(size));
        if (auto session = weak.lock()) {
            session->m_core.receive(data, size);
            session->afterChunk();
        }
    });
}

STSessionInfo TakBaseSession::describe() {
    STSessionInfo info;
    info.peer = m_peerAddr;
    info.connectedSince = m_connectedAt;
    info.keyExchanged = m_core.keyExchanged();
    return info;
}

void TakBaseSession::close() {}

std::shared_ptr<MessageData> TakBaseSession::buildReqMsgHead(const std::string& to) {
    return m_core.buildReqMsgHead(to);
}

void TakBaseSession::writeBody(const std::string& body) {
    runOnLoop([body](TakBaseSession& session) { session.m_core.sendBody(body); });
}

void TakBaseSession::writeBody(google::protobuf::Message& message) {
    writeBody(message.SerializePartialAsString());
}

uint32_t TakBaseSession::sendReqMsgWithCallback(STReqParams& params) {
    uint32_t const seq = m_core.nextSeq();
    runOnLoop([seq, params](TakBaseSession& session) { session.m_core.sendRequest(seq, params); });
    return seq;
}

void TakBaseSession::dropPending(uint32_t seq) {
    runOnLoop([seq](TakBaseSession& session) { session.m_core.dropPending(seq); });
}

void TakBaseSession::sendPubKey1Toclient(std::string path) {
    if (m_channel) m_channel->loop().assertInLoopThread();
    m_core.offerKey(path);
}

void TakBaseSession::armHandshakeDeadline(std::chrono::seconds limit) {
    if (!m_channel) return;
    m_channel->loop().assertInLoopThread();
    std::weak_ptr<TakBaseSession> weak = self();
    auto const ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
    m_channel->loop().setTimer(static_cast<uint32_t>(ms), [weak](TakTimerID) {
        auto session = weak.lock();
        if (!session || session->keyExchanged() || !session->m_channel->isConnected()) return;
        TAK_LOG_WARN("key exchange not completed in time, closing:" << session->m_peerAddr);
        TakMetrics::instance().handshakeTimeouts.add();
        session->closeSession();
    });
}

void TakBaseSession::closeSession() {
    if (m_channel && m_channel->isConnected()) m_channel->close(true);
}

void TakBaseSession::sendEmptyAnswer(const std::shared_ptr<MessageData>& request,
                                     const Businessdata& business) {
    writeBody(m_core.emptyAnswerBody(*request, business));
}

void TakBaseSession::sendFrame(std::string frame) {
    if (!m_channel || !m_channel->isConnected()) return;
    if (m_channel->write(frame) >= 0) TakMetrics::instance().framesOut.add();
    TAK_LOG_DEBUG("send tcp size :" << static_cast<uint64_t>(frame.size()));
}

void TakBaseSession::closeConnection() { closeSession(); }

void TakBaseSession::dispatch(std::shared_ptr<MessageData> message) {
    // The job keeps the session alive until it has run.
    m_strand->post([session = self(), message = std::move(message)] { session->doWork(message); });
}

void TakBaseSession::answer(AnswerCallback callback, std::string commandData) {
    m_pool->addWork([callback = std::move(callback), commandData = std::move(commandData)] {
        if (callback && *callback) (*callback)(commandData);
    });
}
