#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "comm-serd/protocol/TakSm2Key.h"

// The server's long-term SM2 key file (config/scert.dat) in the layout GmSSL reads and writes:
// a PEM "ENCRYPTED PRIVATE KEY" holding a PKCS#8 EncryptedPrivateKeyInfo with PBES2,
// PBKDF2-HMAC-SM3 and SM4-CBC around a PrivateKeyInfo of the SM2 key.
class TakKeyFile {
public:
    enum class Status {
        Ok,
        NoFile,         // nothing at the path
        CannotRead,     // exists but cannot be opened or read
        Malformed,      // not a PEM encrypted key in the expected layout
        Undecryptable,  // wrong pass phrase, or the encrypted part is damaged
    };

    // The pass phrase compiled into the server (15 bytes).
    static std::string_view passPhrase();
    static constexpr uint32_t kIterations = 65536;
    static constexpr size_t kSaltSize = 16;
    // Refused when reading: sixteen times what GmSSL writes. A damaged count could otherwise
    // stall the reader for minutes.
    static constexpr uint64_t kMaxIterations = 1u << 20;

    [[nodiscard]] static Status read(const std::string& path, TakSm2Key& key,
                                     std::string_view pass = passPhrase());
    [[nodiscard]] static Status decode(std::string_view pem, TakSm2Key& key,
                                       std::string_view pass = passPhrase());

    // Encodes the key with a random salt and IV.
    [[nodiscard]] static bool encode(const TakSm2Key& key, std::string& pem,
                                     std::string_view pass = passPhrase(),
                                     uint32_t iterations = kIterations);
    // Writes the file with mode 0600 (through a temporary file and a rename).
    [[nodiscard]] static bool write(const std::string& path, const TakSm2Key& key,
                                    std::string_view pass = passPhrase(),
                                    uint32_t iterations = kIterations);

    static const char* statusText(Status status);
};
