#include "TakAgentClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "Tak.Base.pb.h"
#include "Tak.EncAndDec.pb.h"
#include "Tak.SystemLog.pb.h"
#include "comm-serd/TakComUtil.h"
#include "comm-serd/protocol/TakKeyExchange.h"
#include "comm-serd/protocol/TakSmCrypto.h"

using Tak::Business::Businessdata;
using Tak::Business::MessageData;
namespace ComDefine = Tak::ComDefine;

namespace {

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

TakAgentClient::TakAgentClient() = default;

TakAgentClient::~TakAgentClient() { close(); }

bool TakAgentClient::connect(const std::string& host, int port, int timeoutMs) {
    close();
    m_peerClosed = false;
    m_encrypted = false;
    m_frames.clear();
    m_codec = TakFrameCodec(1ull << 32);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        ::close(fd);
        return false;
    }
    if (m_receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &m_receiveBuffer, sizeof m_receiveBuffer);
    }
    int const flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, timeoutMs) == 1) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            rc = err == 0 ? 0 : -1;
        }
    }
    ::fcntl(fd, F_SETFL, flags);
    if (rc != 0) {
        ::close(fd);
        return false;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_fd = fd;
    return true;
}

void TakAgentClient::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

std::string TakAgentClient::localAddr() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "";
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool TakAgentClient::sendRaw(std::string_view bytes) {
    if (m_fd < 0) return false;
    while (!bytes.empty()) {
        ssize_t const n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool TakAgentClient::sendBody(std::string_view envelope) {
    std::string const payload =
        m_encrypted ? TakSmCrypto::sm4Encrypt(m_material.data(), envelope) : std::string(envelope);
    return sendRaw(TakFrameCodec::buildFrame(payload));
}

bool TakAgentClient::sendEnvelope(const MessageData& envelope) {
    return sendBody(envelope.SerializePartialAsString());
}

bool TakAgentClient::readFrames(int timeoutMs) {
    if (m_fd < 0 || m_peerClosed) return false;
    pollfd p{m_fd, POLLIN, 0};
    int const r = ::poll(&p, 1, timeoutMs);
    if (r <= 0) return false;
    char buf[64 * 1024];
    ssize_t const n = ::recv(m_fd, buf, sizeof buf, 0);
    if (n <= 0) {
        m_peerClosed = true;
        return false;
    }
    auto const status = m_codec.append(buf, static_cast<size_t>(n), [this](std::string&& body) {
        m_frames.push_back(std::move(body));
    });
    return status == TakFrameCodec::Status::Ok;
}

bool TakAgentClient::receive(MessageData& out, int timeoutMs) {
    int64_t const deadline = nowMs() + timeoutMs;
    for (;;) {
        while (!m_frames.empty()) {
            std::string body = std::move(m_frames.front());
            m_frames.pop_front();
            std::string plain;
            if (m_encrypted) {
                if (!TakSmCrypto::sm4Decrypt(m_material.data(), body, plain)) continue;
            } else {
                plain = std::move(body);
            }
            out.Clear();
            out.ParsePartialFromString(plain);
            return true;
        }
        int64_t const left = deadline - nowMs();
        if (left <= 0) return false;
        if (!readFrames(static_cast<int>(left)) && m_frames.empty()) {
            if (m_peerClosed || nowMs() >= deadline) return false;
        }
    }
}

bool TakAgentClient::receiveNonAck(MessageData& out, int timeoutMs) {
    int64_t const deadline = nowMs() + timeoutMs;
    for (;;) {
        int64_t const left = deadline - nowMs();
        if (left <= 0 || !receive(out, static_cast<int>(left))) return false;
        if (out.ndatatype() != ComDefine::PackDataAck) return true;
    }
}

bool TakAgentClient::waitClosed(int timeoutMs) {
    int64_t const deadline = nowMs() + timeoutMs;
    while (!m_peerClosed) {
        int64_t const left = deadline - nowMs();
        if (left <= 0) return false;
        readFrames(static_cast<int>(left));
        m_frames.clear();
    }
    return true;
}

bool TakAgentClient::handshake(std::string* error, int timeoutMs) {
    auto fail = [error](const char* why) {
        if (error) *error = why;
        return false;
    };
    if (!receive(m_offer, timeoutMs)) return fail("no key offer");
    Businessdata business = businessOf(m_offer);
    if (business.nmoduletype() != ComDefine::Module_Base ||
        business.moduledata().ncommandid() != ComDefine::base_publicCertDown) {
        return fail("the first frame is not a key offer");
    }
    Tak::EncAndDec::PubKeyInfo info;
    info.ParsePartialFromString(business.moduledata().commanddata());
    if (info.bypubkey().empty()) return fail("the key offer is empty");
    if (m_serverPoint &&
        !TakKeyExchange::verifyOffer(*m_serverPoint, info.bypubkey(), info.bypubkeysign())) {
        return fail("the key offer's signature does not verify");
    }
    if (RAND_bytes(m_material.data(), static_cast<int>(m_material.size())) != 1) {
        return fail("no random bytes");
    }
    std::string answerBusiness;
    if (!TakKeyExchange::buildAnswerBusinessdata(info.bypubkey(), m_material, answerBusiness)) {
        return fail("cannot encrypt the key answer");
    }
    MessageData answer;
    answer.set_strfromuserid("agent");
    answer.set_strtosessionid("takNetDevice");
    answer.set_nseqid(nextSeq());
    answer.set_ndatatype(ComDefine::PackDataReq);
    answer.set_ncreate_time(TakComUtil::nowMicros());
    answer.set_bybusinessdata(answerBusiness);
    if (!sendEnvelope(answer)) return fail("cannot send the key answer");
    m_encrypted = true;
    return true;
}

uint32_t TakAgentClient::sendRequest(ComDefine::EModuleType module, ComDefine::ECmdType command,
                                     const std::string& commandData, const std::string& toService) {
    Businessdata business;
    business.set_nmoduletype(module);
    business.mutable_moduledata()->set_ncommandid(command);
    business.mutable_moduledata()->set_commanddata(commandData);
    MessageData request;
    uint32_t const seq = nextSeq();
    request.set_strfromuserid("agent");
    request.set_strtosessionid(toService);
    request.set_nseqid(seq);
    request.set_ndatatype(ComDefine::PackDataReq);
    request.set_ncreate_time(TakComUtil::nowMicros());
    request.set_bybusinessdata(business.SerializePartialAsString());
    return sendEnvelope(request) ? seq : 0;
}

uint32_t TakAgentClient::sendDeviceInfo(const Tak::PolicyNotify::DeviceInfoUp& info) {
    return sendRequest(ComDefine::Module_Policy, ComDefine::policy_deviceInfoUp,
                       info.SerializePartialAsString(), "takNetDevice");
}

uint32_t TakAgentClient::sendDeviceInfo(const std::string& mac, const std::string& hostName,
                                        const std::string& localIp,
                                        const std::string& systemVersion) {
    Tak::PolicyNotify::DeviceInfoUp info;
    info.set_strmacaddr(mac);
    info.set_strlocalipaddr(localIp);
    info.set_strhostname(hostName);
    info.set_strsystemversion(systemVersion);
    return sendDeviceInfo(info);
}

uint32_t TakAgentClient::sendAuditUpload(Tak::PolicyNotify::EAuditUpType type,
                                         const std::string& mac, const std::string& logData,
                                         const std::string& toService) {
    Tak::PolicyNotify::AuditContentUpReq req;
    req.set_ntype(type);
    req.set_bylogdata(logData);
    req.set_strmac(mac);
    return sendRequest(ComDefine::Module_Policy, ComDefine::policy_auditUp,
                       req.SerializePartialAsString(), toService);
}

uint32_t TakAgentClient::sendAuditReset(Tak::PolicyNotify::EAuditUpType type,
                                        const std::string& mac, const std::string& toService) {
    Tak::PolicyNotify::AuditLogResetReq req;
    req.set_ntype(type);
    req.set_strmac(mac);
    return sendRequest(ComDefine::Module_Policy, ComDefine::policy_auditReset,
                       req.SerializePartialAsString(), toService);
}

bool TakAgentClient::sendAnswer(const MessageData& request, const std::string& commandData,
                                ComDefine::EPackDataType type) {
    Businessdata asked = businessOf(request);
    Businessdata business;
    business.set_nmoduletype(asked.nmoduletype());
    business.mutable_moduledata()->set_ncommandid(asked.moduledata().ncommandid());
    business.mutable_moduledata()->set_commanddata(commandData);
    MessageData answer;
    answer.set_strfromuserid(request.strtosessionid());
    answer.set_strtosessionid(request.strfromuserid());
    answer.set_nseqid(request.nseqid());
    answer.set_ndatatype(type);
    answer.set_ncreate_time(TakComUtil::nowMicros());
    answer.set_bybusinessdata(business.SerializePartialAsString());
    return sendEnvelope(answer);
}

bool TakAgentClient::sendPolicyError(const MessageData& push, uint32_t policyId,
                                     const std::string& errMsg) {
    Tak::Base::MsgError error;
    error.set_errcode(1);
    error.set_nid(policyId);
    error.set_errmsg(errMsg);
    MessageData answer;
    answer.set_strfromuserid(push.strtosessionid());
    answer.set_strtosessionid("takNetDevice");
    answer.set_nseqid(push.nseqid());
    answer.set_ndatatype(ComDefine::PackDataErr);
    answer.set_ncreate_time(TakComUtil::nowMicros());
    answer.set_bybusinessdata(error.SerializePartialAsString());
    return sendEnvelope(answer);
}

Businessdata TakAgentClient::businessOf(const MessageData& m) {
    Businessdata business;
    business.ParsePartialFromString(m.bybusinessdata());
    return business;
}

std::string TakAgentClient::systemLogData(const std::vector<std::vector<std::string>>& lines) {
    Tak::SystemLog::SystemLogContentAsr content;
    for (const auto& items : lines) {
        auto* line = content.add_logcontent();
        for (const auto& item : items) line->add_stritem(item);
    }
    return content.SerializeAsString();
}

bool TakAgentClient::readServerPoint(const std::string& hexFile, TakSm2Key::Point& point) {
    std::ifstream in(hexFile);
    std::string hex;
    in >> hex;
    if (hex.size() != 2 * point.size()) return false;
    for (size_t i = 0; i < point.size(); ++i) {
        char* end = nullptr;
        std::string const byte = hex.substr(2 * i, 2);
        unsigned long const value = std::strtoul(byte.c_str(), &end, 16);
        if (end != byte.c_str() + 2) return false;
        point[i] = static_cast<unsigned char>(value);
    }
    return true;
}
