#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// SM3 and SM4-CBC as the agent protocol uses them (OpenSSL 3 implementations). Thread-safe.
class TakSmCrypto {
public:
    static constexpr size_t kDigestSize = 32;
    // Session key material: bytes 0..15 the SM4 key, bytes 16..31 the CBC IV.
    static constexpr size_t kKeyMaterialSize = 32;
    static constexpr size_t kBlockSize = 16;

    using Digest = std::array<unsigned char, kDigestSize>;

    // SM3 of the bytes. A failure of the library (never seen) gives all zeros.
    static Digest sm3(std::string_view data);

    // SM4-CBC with PKCS#7 padding under the key and IV of material, starting from that IV for
    // every message: 16 * (n / 16 + 1) bytes for n input bytes. Empty on failure.
    static std::string sm4Encrypt(const unsigned char* material, std::string_view plain);

    // The reverse: false for a length that is zero or not a multiple of 16, or for bad padding.
    [[nodiscard]] static bool sm4Decrypt(const unsigned char* material, std::string_view cipher,
                                         std::string& plain);
};

// Decrypts inLen bytes of SM4-CBC/PKCS#7 ciphertext under material (32 bytes: key, then IV)
// into out, which must hold at least inLen bytes and must not overlap in. Returns 1 and the
// plaintext length in *outLen, or 0 on any failure (wrong length, bad padding).
int sm4Decrypt(const unsigned char* material, const unsigned char* in, size_t inLen,
               unsigned char* out, size_t* outLen);
