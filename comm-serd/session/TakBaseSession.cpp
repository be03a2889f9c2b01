#include "comm-serd/session/TakBaseSession.h"

#include <chrono>

#include "Tak.ComDefine.pb.h"
#include "comm-serd/TakComUtil.h"
#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/TakManagerFactory.h"
#include "comm-serd/TakMetrics.h"
#include "comm-serd/business/TakBsDefine.h"
#include "comm-serd/session/TakKeyExchange.h"
#include "comm-serd/session/TakSmCrypto.h"
#include "log/TakNanolog.h"

using Tak::Business::Businessdata;
using Tak::Business::MessageData;
namespace ComDefine = Tak::ComDefine;

TakBaseSession::TakBaseSession(int fd, std::shared_ptr<TakSocketChannel> channel)
    : m_channel(std::move(channel)),
      m_fd(fd),
      m_codec(TakGlobalInfoManager::getInstance().getMaxPlainFrameBytes()),
      m_threadManager(TakManagerFactory::getInstance().getThreadManager()),
      m_strand(std::make_shared<TakStrand>(m_threadManager)),
      m_ownId(g_bsDeviceId),
      m_peerAddr(m_channel ? m_channel->peeraddr() : std::string()),
      m_maxFrameBytes(TakGlobalInfoManager::getInstance().getMaxFrameBytes()) {}

TakBaseSession::~TakBaseSession() = default;

void TakBaseSession::startReading() {
    if (!m_channel) return;
    std::weak_ptr<TakBaseSession> weak =
        std::static_pointer_cast<TakBaseSession>(shared_from_this());
    m_channel->setReadCallback([weak](const char* data, size_t size) {
        TAK_LOG_DEBUG("read tcp bufSize:" << static_cast<uint64_t>(size));
        if (auto self = weak.lock()) {
            self->append(data, size);
            self->afterChunk();
        }
    });
}

bool TakBaseSession::isHasMac(const std::vector<std::string>&) { return false; }

STSessionInfo TakBaseSession::describe() {
    STSessionInfo info;
    info.peer = m_peerAddr;
    info.connectedSince = m_connectedAt;
    info.keyExchanged = m_encrypted.load();
    return info;
}

void TakBaseSession::close() {}

std::shared_ptr<MessageData> TakBaseSession::buildReqMsgHead(const std::string& to) {
    auto head = std::make_shared<MessageData>();
    head->set_strfromuserid(m_ownId);
    head->set_strtosessionid(to);
    head->set_nseqid(m_seq.fetch_add(1));
    head->set_ndatatype(ComDefine::PackDataReq);
    head->set_ncreate_time(TakComUtil::nowMicros());
    return head;
}

std::shared_ptr<MessageData> TakBaseSession::buildAsrMsgHead(
    const std::shared_ptr<MessageData>& request) {
    auto head = std::make_shared<MessageData>();
    head->set_strfromuserid(request->strfromuserid());
    head->set_strtosessionid(m_ownId);
    head->set_nseqid(request->nseqid());
    head->set_ndatatype(ComDefine::PackDataAsr);
    head->set_ncreate_time(TakComUtil::nowMicros());
    return head;
}

void TakBaseSession::writeBody(const std::string& body) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_channel || !m_channel->isConnected()) return;
    std::string const frame = TakFrameCodec::buildFrame(
        m_encrypted.load() ? TakSmCrypto::sm4Encrypt(m_keyMaterial.data(), body) : body);
    if (m_channel->write(frame) >= 0) TakMetrics::instance().framesOut.add();
    TAK_LOG_DEBUG("send tcp size :" << static_cast<uint64_t>(frame.size()));
}

void TakBaseSession::writeBody(google::protobuf::Message& message) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    writeBody(message.SerializePartialAsString());
}

uint32_t TakBaseSession::sendReqMsgWithCallback(STReqParams& params) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto head = buildReqMsgHead(m_ownId);
    uint32_t const seq = head->nseqid();
    if (params.callback) {
        TAK_LOG_DEBUG("call back bind id : " << seq);
        m_pending[static_cast<int>(seq)] = params.callback;
    }
    Businessdata business;
    business.set_nmoduletype(params.module);
    auto* module = business.mutable_moduledata();
    module->set_ncommandid(params.command);
    module->set_commanddata(params.payload);
    head->set_bybusinessdata(business.SerializePartialAsString());
    writeBody(*head);
    return seq;
}

void TakBaseSession::dropPending(uint32_t seq) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_pending.erase(static_cast<int>(seq));
}

void TakBaseSession::sendPubKey1Toclient(std::string path) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::string pubKey;
    std::string sign;
    auto const status = TakKeyExchange::makeKeyOffer(path, m_ephemeralKey, pubKey, sign);
    if (status != TakKeyExchange::OfferStatus::Signed) TakMetrics::instance().keyOffersFailed.add();
    if (!TakKeyExchange::mustSend(status)) return;
    // Sent in plain text, with no answer awaited.
    auto head = buildReqMsgHead(m_ownId);
    head->set_bybusinessdata(TakKeyExchange::buildOfferBusinessdata(pubKey, sign));
    writeBody(*head);
}

void TakBaseSession::armHandshakeDeadline(std::chrono::seconds limit) {
    if (!m_channel) return;
    std::weak_ptr<TakBaseSession> weak =
        std::static_pointer_cast<TakBaseSession>(shared_from_this());
    auto const ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
    m_channel->loop().setTimer(static_cast<uint32_t>(ms), [weak](TakTimerID) {
        auto self = weak.lock();
        if (!self || self->m_encrypted.load() || !self->m_channel->isConnected()) return;
        TAK_LOG_WARN("key exchange not completed in time, closing:" << self->m_peerAddr);
        TakMetrics::instance().handshakeTimeouts.add();
        self->closeSession();
    });
}

void TakBaseSession::closeSession() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_channel && m_channel->isConnected()) m_channel->close(true);
}

void TakBaseSession::append(const char* data, size_t size) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto const status =
        m_codec.append(data, size, [this](std::string&& body) { onFrame(std::move(body)); });
    if (status == TakFrameCodec::Status::FrameTooLarge) {
        TAK_LOG_ERROR("frame too large" << m_codec.rejectedLength() << "peer:" << m_peerAddr);
        TakMetrics::instance().framesTooLarge.add();
        closeSession();
    }
}

void TakBaseSession::onFrame(std::string&& body) {
    TakMetrics::instance().framesIn.add();
    if (!m_encrypted.load()) {
        onKeyAnswer(body);
        return;
    }
    if (body.empty()) return;
    std::string plain(body.size(), '\0');
    size_t plainSize = 0;
    if (sm4Decrypt(m_keyMaterial.data(), reinterpret_cast<const unsigned char*>(body.data()),
                   body.size(), reinterpret_cast<unsigned char*>(plain.data()), &plainSize) != 1) {
        TakMetrics::instance().framesUndecryptable.add();
        return;
    }
    if (plainSize == 0) return;
    auto message = std::make_shared<MessageData>();
    // Missing fields keep their defaults; the delivery goes by nDataType (absent: a request).
    message->ParsePartialFromArray(plain.data(), static_cast<int>(plainSize));
    deliver(message);
}

void TakBaseSession::onKeyAnswer(const std::string& body) {
    // Before the exchange only a key answer is taken; everything else is dropped unanswered.
    std::string commandData;
    if (!TakKeyExchange::parseKeyAnswer(body, commandData)) return;
    if (m_ephemeralKey.empty()) return;
    if (TakKeyExchange::acceptKeyAnswer(m_ephemeralKey, commandData, m_keyMaterial) !=
        TakKeyExchange::AnswerStatus::Accepted) {
        TakMetrics::instance().handshakeBadAnswers.add();
    } else {
        m_encrypted.store(true);
        TakMetrics& metrics = TakMetrics::instance();
        metrics.handshakes.add();
        metrics.sessionsKeyExchanged.add();
        // Encrypted frames may be large (uploads); before the exchange only small ones are.
        m_codec.setMaxBodyBytes(m_maxFrameBytes);
    }
}

void TakBaseSession::deliver(const std::shared_ptr<MessageData>& message) {
    switch (message->ndatatype()) {
        case ComDefine::PackDataReq: {
            auto receipt = buildAsrMsgHead(message);
            receipt->set_ndatatype(ComDefine::PackDataAck);
            writeBody(*receipt);
            break;
        }
        case ComDefine::PackDataAck:
            return;
        default:
            break;
    }

    uint32_t const seq = message->nseqid();
    TAK_LOG_DEBUG("recv asr id: " << seq);
    auto pending = m_pending.find(static_cast<int>(seq));
    if (pending != m_pending.end()) {
        auto callback = pending->second;
        m_pending.erase(pending);
        TAK_LOG_DEBUG(
            "callfunc is call:" << seq << static_cast<uint64_t>(message->bybusinessdata().size()));
        std::string commandData;
        if (!message->bybusinessdata().empty()) {
            Businessdata business;
            business.ParsePartialFromString(message->bybusinessdata());
            commandData = business.moduledata().commanddata();
        }
        m_threadManager->addWork([callback, commandData = std::move(commandData)] {
            if (callback && *callback) (*callback)(commandData);
        });
        return;
    }

    // The job keeps the session alive until it has run.
    auto self = std::static_pointer_cast<TakBaseSession>(shared_from_this());
    m_strand->post([self, message] { self->doWork(message); });
}

void TakBaseSession::sendEmptyAnswer(const std::shared_ptr<MessageData>& request,
                                     const Businessdata& business) {
    auto answer = buildAsrMsgHead(request);
    Businessdata copy = business;
    copy.mutable_moduledata()->set_commanddata(std::string());
    answer->set_bybusinessdata(copy.SerializePartialAsString());
    writeBody(answer->SerializePartialAsString());
}
