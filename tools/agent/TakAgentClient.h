#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Tak.Business.pb.h"
#include "Tak.ComDefine.pb.h"
#include "Tak.PolicyNotify.pb.h"
#include "comm-serd/protocol/TakFrameCodec.h"
#include "comm-serd/protocol/TakSm2Key.h"

// The agent's side of the protocol, blocking, on one socket: for the integration tests and the
// agent simulator. Not thread-safe.
class TakAgentClient {
public:
    using KeyMaterial = std::array<unsigned char, 32>;

    TakAgentClient();
    ~TakAgentClient();
    TakAgentClient(const TakAgentClient&) = delete;
    TakAgentClient& operator=(const TakAgentClient&) = delete;

    // The server's long-term public key (64 point bytes); with it, the key offer's signature is
    // checked.
    void setServerPoint(const TakSm2Key::Point& point) { m_serverPoint = point; }

    // A small receive buffer (set before connect) lets a test fill the path to this agent fast.
    void setReceiveBuffer(int bytes) { m_receiveBuffer = bytes; }
    [[nodiscard]] bool connect(const std::string& host, int port, int timeoutMs = 5000);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // This end's address as "ip:port": what the server sees as the peer.
    std::string localAddr() const;

    // Reads the key offer (the first frame), checks it, and sends the key answer with fresh
    // key material; from then on both directions are encrypted. False, with a reason, when the
    // offer does not come, is empty, or its signature does not verify.
    [[nodiscard]] bool handshake(std::string* error = nullptr, int timeoutMs = 5000);
    bool encrypted() const { return m_encrypted; }
    const KeyMaterial& keyMaterial() const { return m_material; }
    // The offer as received (after handshake() or readOffer()).
    const Tak::Business::MessageData& offer() const { return m_offer; }

    // Sends bytes as they are.
    [[nodiscard]] bool sendRaw(std::string_view bytes);
    // Sends one frame around the payload (encrypted when the session is).
    [[nodiscard]] bool sendBody(std::string_view envelope);
    [[nodiscard]] bool sendEnvelope(const Tak::Business::MessageData& envelope);

    // Sends a request; returns its sequence number.
    uint32_t sendRequest(Tak::ComDefine::EModuleType module, Tak::ComDefine::ECmdType command,
                         const std::string& commandData, const std::string& toService);
    uint32_t sendDeviceInfo(const Tak::PolicyNotify::DeviceInfoUp& info);
    uint32_t sendDeviceInfo(const std::string& mac, const std::string& hostName = "host",
                            const std::string& localIp = "10.0.0.1",
                            const std::string& systemVersion = "Linux 6.1");
    uint32_t sendAuditUpload(Tak::PolicyNotify::EAuditUpType type, const std::string& mac,
                             const std::string& logData,
                             const std::string& toService = "takNetLog");
    uint32_t sendAuditReset(Tak::PolicyNotify::EAuditUpType type, const std::string& mac,
                            const std::string& toService = "takNetLog");
    // Answers a request of the server: PackDataAsr (or PackDataErr) with the same nSeqId and a
    // Businessdata of the request's module and command holding commandData.
    [[nodiscard]] bool sendAnswer(const Tak::Business::MessageData& request,
                                  const std::string& commandData,
                                  Tak::ComDefine::EPackDataType type = Tak::ComDefine::PackDataAsr);
    // Reports a failed policy push: PackDataErr whose byBusinessdata is a MsgError.
    [[nodiscard]] bool sendPolicyError(const Tak::Business::MessageData& push, uint32_t policyId,
                                       const std::string& errMsg);

    // The next envelope from the server, decrypted; false on time-out or when the connection
    // closed (see peerClosed()).
    [[nodiscard]] bool receive(Tak::Business::MessageData& out, int timeoutMs = 5000);
    // The next envelope that is not a receipt (PackDataAck).
    [[nodiscard]] bool receiveNonAck(Tak::Business::MessageData& out, int timeoutMs = 5000);
    // True when the server has closed the connection (waits up to timeoutMs for it).
    bool waitClosed(int timeoutMs);
    bool peerClosed() const { return m_peerClosed; }

    uint32_t nextSeq() { return m_seq++; }

    // Helpers to read what the server sent.
    static Tak::Business::Businessdata businessOf(const Tak::Business::MessageData& m);
    // The byLogdata of a system-log upload: a SystemLogContentAsr of these lines and items.
    static std::string systemLogData(const std::vector<std::vector<std::string>>& lines);
    // Reads the server's public point from the hex file tak-keygen writes (scert-pub.hex).
    [[nodiscard]] static bool readServerPoint(const std::string& hexFile, TakSm2Key::Point& point);

private:
    bool readFrames(int timeoutMs);  // reads one chunk into m_frames; false on time-out/close

    int m_fd = -1;
    int m_receiveBuffer = 0;
    std::optional<TakSm2Key::Point> m_serverPoint;
    TakFrameCodec m_codec{1ull << 32};
    std::deque<std::string> m_frames;
    bool m_encrypted = false;
    bool m_peerClosed = false;
    KeyMaterial m_material{};
    Tak::Business::MessageData m_offer;
    uint32_t m_seq = 1;
};
