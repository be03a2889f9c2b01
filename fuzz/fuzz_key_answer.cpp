// A key answer as it arrives before the key exchange: the plain frame body through
// TakKeyExchange::parseKeyAnswer and acceptKeyAnswer, under a fixed ephemeral key (the session
// does the same with each plain frame). Checked:
// - the session's key material is written only when the answer is accepted;
// - an accepted answer carried exactly 32 bytes of key material, the bytes now in the session.
//
// Input layout: see TakFuzzInputs.h. The odd mode makes real answers (an SM2 ciphertext of any
// plaintext for the ephemeral key), so the accepting path is reached with every length.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Tak.Business.pb.h"
#include "Tak.ComDefine.pb.h"
#include "Tak.EncAndDec.pb.h"
#include "comm-serd/protocol/TakKeyExchange.h"
#include "comm-serd/protocol/TakSm2Key.h"
#include "fuzz/TakFuzzInputs.h"

namespace {

using AnswerStatus = TakKeyExchange::AnswerStatus;
using KeyMaterial = TakKeyExchange::KeyMaterial;

struct Ephemeral {
    TakSm2Key key;
    TakSm2Key::Point point{};
};

const Ephemeral& ephemeral() {
    static const Ephemeral e = [] {
        Ephemeral made;
        made.key = TakSm2Key::fromPrivateKeyInfo(
            TakFuzzInputs::fromHex(TakFuzzInputs::kEphemeralKeyInfoHex));
        if (made.key.empty() || !made.key.publicPoint(made.point)) std::abort();
        return made;
    }();
    return e;
}

KeyMaterial untouched() {
    KeyMaterial material;
    material.fill(0xa5);
    return material;
}

// What a session does with a plain frame body. Returns whether the key material was set, and
// checks what may be set.
bool takeBody(std::string_view body, std::string* expectedMaterial) {
    std::string command;
    if (!TakKeyExchange::parseKeyAnswer(body, command)) return false;
    KeyMaterial material = untouched();
    const AnswerStatus status = TakKeyExchange::acceptKeyAnswer(ephemeral().key, command, material);
    if (status != AnswerStatus::Accepted) {
        if (material != untouched()) std::abort();  // written although refused
        return false;
    }
    // Accepted: the answer's plaintext is exactly the 32 bytes now in the material.
    Tak::EncAndDec::EncMsgData message;
    std::string plain;
    if (!message.ParsePartialFromString(command) ||
        !ephemeral().key.decrypt(message.bymsg(), plain) || plain.size() != material.size() ||
        plain != std::string(material.begin(), material.end())) {
        std::abort();
    }
    if (expectedMaterial && *expectedMaterial != plain) std::abort();
    return true;
}

// The frame body an agent sends with the key material it chose; false when there is none (SM2
// does not encrypt an empty message).
bool agentAnswer(uint8_t flags, const std::string& material, std::string& body) {
    std::string cipher;
    if (!TakSm2Key::encryptTo(ephemeral().point.data(), material, cipher)) {
        if (!material.empty()) std::abort();
        return false;
    }
    Tak::EncAndDec::EncMsgData message;
    if (!(flags & TakFuzzInputs::kNoCipher)) message.set_bymsg(cipher);
    Tak::Business::Businessdata bs;
    bs.set_nmoduletype((flags & TakFuzzInputs::kOtherModule) ? Tak::ComDefine::Module_Policy
                                                             : Tak::ComDefine::Module_Base);
    bs.mutable_moduledata()->set_ncommandid((flags & TakFuzzInputs::kOtherCommand)
                                                ? Tak::ComDefine::base_publicCertDown
                                                : Tak::ComDefine::base_cmsKeyUp);
    bs.mutable_moduledata()->set_commanddata(message.SerializePartialAsString());
    Tak::Business::MessageData envelope;
    envelope.set_strfromuserid("takNetDevice");
    envelope.set_strtosessionid("takNetDevice");
    envelope.set_nseqid(1);
    envelope.set_ndatatype(Tak::ComDefine::PackDataReq);
    envelope.set_ncreate_time(1700000000000000ull);
    envelope.set_bybusinessdata(bs.SerializeAsString());
    body = envelope.SerializeAsString();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if ((data[0] & 1) == 0) {
        (void)takeBody(rest, nullptr);
        return 0;
    }
    if (rest.empty()) return 0;
    const uint8_t flags = static_cast<uint8_t>(rest[0]);
    std::string material(rest.substr(1));
    std::string body;
    if (!agentAnswer(flags, material, body)) return 0;
    const bool set = takeBody(body, &material);
    // A well-formed answer with exactly 32 bytes is always taken, anything else never.
    const bool wellFormed = (flags & (TakFuzzInputs::kOtherModule | TakFuzzInputs::kOtherCommand |
                                      TakFuzzInputs::kNoCipher)) == 0;
    if (set != (wellFormed && material.size() == TakSmCrypto::kKeyMaterialSize)) std::abort();
    return 0;
}
