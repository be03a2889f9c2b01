#pragma once

// What the fuzz targets and the seed writer (tak-fuzz-seeds) agree on: the fixed ephemeral key
// of the key-answer target and the input layout of the business target.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace TakFuzzInputs {

// The ephemeral SM2 key the key-answer target answers are made for: a PKCS#8 PrivateKeyInfo
// (DER, hex), fixed so that the seeds stay valid answers from one run to the next.
inline constexpr std::string_view kEphemeralKeyInfoHex =
    "308187020100301306072a8648ce3d020106082a811ccf5501822d046d306b0201010420375d9eaf778d384b"
    "ed9a15d880546b2ebb3cbe3c7a44f0627fca4cef3603090ba1440342000411a4607582bbb0a2dad0701e5039"
    "8e72e00d1ca10328c14c6380935ffe8e9435164d15b69583a4cb9b030b4d21def50b0cc0cd45c08a0ee0002f"
    "5cecc4bc4d28";

inline std::string fromHex(std::string_view hex) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return out;
}

// Key-answer target: byte 0 picks the mode.
//   even: the rest is a frame body as it arrives before the key exchange;
//   odd:  byte 1 holds flags (KeyAnswerFlags), the rest is the key material the agent sends:
//         the target encrypts it to the ephemeral key and wraps it as an agent would.
enum KeyAnswerFlags : uint8_t {
    kOtherModule = 1,   // a module other than Module_Base
    kOtherCommand = 2,  // a command other than base_cmsKeyUp
    kNoCipher = 4,      // the EncMsgData carries no byMsg
};

// Business target: the input is a sequence of operations on one device session, each an
// operation byte (BusinessOp, modulo kOpCount), a 16-bit little-endian length and that many
// bytes of payload (fewer at the end of the input).
enum BusinessOp : uint8_t {
    kDeviceInfo = 0,  // commandData of policy_deviceInfoUp (a DeviceInfoUp)
    kAuditUpload,     // commandData of policy_auditUp (an AuditContentUpReq)
    kAuditReset,      // commandData of policy_auditReset (an AuditLogResetReq)
    kPolicyError,     // byBusinessdata of an error envelope (a MsgError)
    kHostAnswer,      // commandData of the answer to hostInfo_getSystemRes (a ResourceInfoAsr)
    kBusinessdata,    // a whole Businessdata, given to both services
    kCloseSession,    // the session closes (payload ignored)
    kOpCount,
};

inline void appendOp(std::string& input, BusinessOp op, const std::string& payload) {
    input.push_back(static_cast<char>(op));
    input.push_back(static_cast<char>(payload.size() & 0xff));
    input.push_back(static_cast<char>((payload.size() >> 8) & 0xff));
    input += payload.substr(0, 0xffff);
}

}  // namespace TakFuzzInputs
