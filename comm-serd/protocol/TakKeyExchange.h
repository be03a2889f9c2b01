#pragma once

#include <array>
#include <string>
#include <string_view>

#include "comm-serd/protocol/TakServerKeyCache.h"
#include "comm-serd/protocol/TakSm2Key.h"
#include "comm-serd/protocol/TakSmCrypto.h"

// The session's key exchange, without the sending. The server offers a fresh SM2 public key
// signed with its long-term key (Module_Base / base_publicCertDown, a PubKeyInfo); the agent
// answers with 32 bytes of SM4 key material encrypted to it (Module_Base / base_cmsKeyUp, an
// EncMsgData). Thread-safe: all state is in the arguments.
class TakKeyExchange {
public:
    using KeyMaterial = std::array<unsigned char, TakSmCrypto::kKeyMaterialSize>;

    enum class OfferStatus {
        NoKeyFile,  // no key file: send nothing, the session stays plain
        Signed,     // both fields filled: send the offer
        Empty,      // key generation or the key file failed: send the offer with empty fields
    };
    static bool mustSend(OfferStatus status) { return status != OfferStatus::NoKeyFile; }

    enum class AnswerStatus {
        Accepted,        // material written: the session is encrypted from now on
        NoEphemeralKey,  // no offer was made (no key file)
        Malformed,       // commandData is not an EncMsgData
        DecryptFailed,   // not a ciphertext for the ephemeral key
        WrongLength,     // decrypted, but not exactly 32 bytes: ignored
    };

    // Makes the key offer with the long-term key of the file at keyPath (through the cache).
    // Replaces ephemeralKey with a new key (empty when generation fails). Reports problems as
    // the server always has: ERROR "not private key" in the log for a missing file,
    // "GenerateSm2Key error" or "密钥错误" on standard output otherwise (written without waiting:
    // dropped when standard output does not take it).
    [[nodiscard]] static OfferStatus makeKeyOffer(
        const std::string& keyPath, TakSm2Key& ephemeralKey, std::string& pubKey, std::string& sign,
        TakServerKeyCache& cache = TakServerKeyCache::getInstance());

    // Takes a key answer's commandData. On Accepted the 32 plaintext bytes are in material; on
    // any other status material is untouched.
    [[nodiscard]] static AnswerStatus acceptKeyAnswer(const TakSm2Key& ephemeralKey,
                                                      std::string_view commandData,
                                                      KeyMaterial& material);

    // For a plain frame body before the exchange: true when it is a MessageData carrying a
    // Module_Base / base_cmsKeyUp command, whose commandData is then returned. nDataType is
    // not looked at, and missing required fields are tolerated as they always were.
    [[nodiscard]] static bool parseKeyAnswer(std::string_view body, std::string& commandData);

    // The byBusinessdata of the offer envelope.
    static std::string buildOfferBusinessdata(const std::string& pubKey, const std::string& sign);

    // The agent's side, for the simulator and tests: checks an offer against the server's
    // long-term public point and makes the byBusinessdata of the answer carrying material.
    [[nodiscard]] static bool verifyOffer(const TakSm2Key::Point& serverPoint,
                                          std::string_view pubKey, std::string_view sign);
    [[nodiscard]] static bool buildAnswerBusinessdata(std::string_view pubKey,
                                                      const KeyMaterial& material,
                                                      std::string& businessdata);
};
