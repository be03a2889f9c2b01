#include "comm-serd/session/TakSessionCore.h"

#include "Tak.ComDefine.pb.h"
#include "comm-serd/TakComUtil.h"
#include "comm-serd/TakMetrics.h"
#include "comm-serd/protocol/TakSmCrypto.h"
#include "log/TakNanolog.h"

using Tak::Business::Businessdata;
using Tak::Business::MessageData;
namespace ComDefine = Tak::ComDefine;

TakSessionCore::TakSessionCore(ITakSessionOutput& out, std::string ownId, STLimits limits,
                               std::string peerAddr)
    : m_out(out),
      m_ownId(std::move(ownId)),
      m_limits(limits),
      m_peerAddr(std::move(peerAddr)),
      m_codec(limits.maxPlainFrameBytes) {}

std::shared_ptr<MessageData> TakSessionCore::buildReqMsgHead(const std::string& to) {
    return buildReqMsgHead(to, nextSeq());
}

std::shared_ptr<MessageData> TakSessionCore::buildReqMsgHead(const std::string& to,
                                                             uint32_t seq) const {
    auto head = std::make_shared<MessageData>();
    head->set_strfromuserid(m_ownId);
    head->set_strtosessionid(to);
    head->set_nseqid(seq);
    head->set_ndatatype(ComDefine::PackDataReq);
    head->set_ncreate_time(TakComUtil::nowMicros());
    return head;
}

std::shared_ptr<MessageData> TakSessionCore::buildAsrMsgHead(const MessageData& request) const {
    auto head = std::make_shared<MessageData>();
    head->set_strfromuserid(request.strfromuserid());
    head->set_strtosessionid(m_ownId);
    head->set_nseqid(request.nseqid());
    head->set_ndatatype(ComDefine::PackDataAsr);
    head->set_ncreate_time(TakComUtil::nowMicros());
    return head;
}

std::string TakSessionCore::emptyAnswerBody(const MessageData& request,
                                            const Businessdata& business) const {
    auto answer = buildAsrMsgHead(request);
    Businessdata copy = business;
    copy.mutable_moduledata()->set_commanddata(std::string());
    answer->set_bybusinessdata(copy.SerializePartialAsString());
    return answer->SerializePartialAsString();
}

void TakSessionCore::sendBody(const std::string& body) {
    m_out.sendFrame(TakFrameCodec::buildFrame(
        m_encrypted.load() ? TakSmCrypto::sm4Encrypt(m_keyMaterial.data(), body) : body));
}

void TakSessionCore::sendRequest(uint32_t seq, const STReqParams& params) {
    auto head = buildReqMsgHead(m_ownId, seq);
    if (params.callback) {
        TAK_LOG_DEBUG("call back bind id : " << seq);
        m_pending[seq] = params.callback;
    }
    Businessdata business;
    business.set_nmoduletype(params.module);
    auto* module = business.mutable_moduledata();
    module->set_ncommandid(params.command);
    module->set_commanddata(params.payload);
    head->set_bybusinessdata(business.SerializePartialAsString());
    sendBody(head->SerializePartialAsString());
}

void TakSessionCore::dropPending(uint32_t seq) { m_pending.erase(seq); }

void TakSessionCore::offerKey(const std::string& keyPath) {
    std::string pubKey;
    std::string sign;
    auto const status = TakKeyExchange::makeKeyOffer(keyPath, m_ephemeralKey, pubKey, sign);
    if (status != TakKeyExchange::OfferStatus::Signed) TakMetrics::instance().keyOffersFailed.add();
    if (!TakKeyExchange::mustSend(status)) return;
    // Sent in plain text, with no answer awaited.
    auto head = buildReqMsgHead(m_ownId);
    head->set_bybusinessdata(TakKeyExchange::buildOfferBusinessdata(pubKey, sign));
    sendBody(head->SerializePartialAsString());
}

void TakSessionCore::adoptKey(const TakKeyExchange::KeyMaterial& material) {
    if (m_encrypted.load()) return;
    m_keyMaterial = material;
    m_encrypted.store(true);
    // Encrypted frames may be large (uploads); before the exchange only small ones are.
    m_codec.setMaxBodyBytes(m_limits.maxFrameBytes);
}

void TakSessionCore::receive(const char* data, size_t size) {
    auto const status =
        m_codec.append(data, size, [this](std::string&& body) { onFrame(std::move(body)); });
    if (status == TakFrameCodec::Status::FrameTooLarge) {
        TAK_LOG_ERROR("frame too large" << m_codec.rejectedLength() << "peer:" << m_peerAddr);
        TakMetrics::instance().framesTooLarge.add();
        m_out.closeConnection();
    }
}

void TakSessionCore::onFrame(std::string&& body) {
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

void TakSessionCore::onKeyAnswer(const std::string& body) {
    // Before the exchange only a key answer is taken; everything else is dropped unanswered.
    std::string commandData;
    if (!TakKeyExchange::parseKeyAnswer(body, commandData)) return;
    if (m_ephemeralKey.empty()) return;
    TakKeyExchange::KeyMaterial material{};
    if (TakKeyExchange::acceptKeyAnswer(m_ephemeralKey, commandData, material) !=
        TakKeyExchange::AnswerStatus::Accepted) {
        TakMetrics::instance().handshakeBadAnswers.add();
        return;
    }
    adoptKey(material);
    TakMetrics& metrics = TakMetrics::instance();
    metrics.handshakes.add();
    metrics.sessionsKeyExchanged.add();
}

void TakSessionCore::deliver(const std::shared_ptr<MessageData>& message) {
    switch (message->ndatatype()) {
        case ComDefine::PackDataReq: {
            auto receipt = buildAsrMsgHead(*message);
            receipt->set_ndatatype(ComDefine::PackDataAck);
            sendBody(receipt->SerializePartialAsString());
            break;
        }
        case ComDefine::PackDataAck:
            return;
        default:
            break;
    }

    uint32_t const seq = message->nseqid();
    TAK_LOG_DEBUG("recv asr id: " << seq);
    auto pending = m_pending.find(seq);
    if (pending != m_pending.end()) {
        auto callback = std::move(pending->second);
        m_pending.erase(pending);
        TAK_LOG_DEBUG(
            "callfunc is call:" << seq << static_cast<uint64_t>(message->bybusinessdata().size()));
        std::string commandData;
        if (!message->bybusinessdata().empty()) {
            Businessdata business;
            business.ParsePartialFromString(message->bybusinessdata());
            commandData = business.moduledata().commanddata();
        }
        m_out.answer(std::move(callback), std::move(commandData));
        return;
    }
    m_out.dispatch(message);
}
