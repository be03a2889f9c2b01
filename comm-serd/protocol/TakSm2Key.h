#pragma once

#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

// An SM2 key pair (or an empty slot) owned over OpenSSL's EVP_PKEY. Movable, not copyable. A
// key that is not changed may be used from several threads at once.
//
// Formats are those of the agent protocol: a public key is the raw point x||y (64 bytes, no
// 04 prefix), a signature is raw r||s (64 bytes) over a 32-byte digest signed as it is (no
// signer identity, no Z value), a ciphertext is GM/T 0009 DER (C1 x, C1 y, C3, C2).
class TakSm2Key {
public:
    static constexpr size_t kPointSize = 64;
    static constexpr size_t kSignatureSize = 64;
    static constexpr size_t kDigestSize = 32;

    using Point = std::array<unsigned char, kPointSize>;
    using Signature = std::array<unsigned char, kSignatureSize>;

    TakSm2Key();
    ~TakSm2Key();
    TakSm2Key(TakSm2Key&&) noexcept;
    TakSm2Key& operator=(TakSm2Key&&) noexcept;
    TakSm2Key(const TakSm2Key&) = delete;
    TakSm2Key& operator=(const TakSm2Key&) = delete;

    // A fresh key pair; an empty key when the library fails.
    static TakSm2Key generate();
    // From a DER PKCS#8 PrivateKeyInfo of an SM2 key; empty when it is not one.
    static TakSm2Key fromPrivateKeyInfo(std::string_view der);
    // A public key only, from the 64 point bytes; empty when they are not a point on the curve.
    static TakSm2Key fromPoint(const unsigned char* point);

    bool empty() const { return !m_key; }
    explicit operator bool() const { return !empty(); }
    void reset();
    EVP_PKEY* get() const { return m_key.get(); }

    [[nodiscard]] bool publicPoint(Point& out) const;
    // Signs the 32-byte digest with the private key.
    [[nodiscard]] bool signDigest(const unsigned char* digest, Signature& out) const;
    // Decrypts an SM2 ciphertext with the private key; plain receives the whole plaintext.
    [[nodiscard]] bool decrypt(std::string_view cipher, std::string& plain) const;
    // PrivateKeyInfo in the layout GmSSL writes: algorithm ecPublicKey with curve sm2, and an
    // ECPrivateKey with version 1, d (32 bytes), [0] the curve and [1] the public point.
    [[nodiscard]] bool privateKeyInfo(std::string& der) const;
    // SubjectPublicKeyInfo in PEM.
    [[nodiscard]] bool publicKeyPem(std::string& pem) const;

    // With the public key of the 64 point bytes: checks a raw r||s signature of the digest.
    [[nodiscard]] static bool verifyDigest(const unsigned char* point, const unsigned char* digest,
                                           const unsigned char* signature);
    // Encrypts to the public key of the 64 point bytes.
    [[nodiscard]] static bool encryptTo(const unsigned char* point, std::string_view plain,
                                        std::string& cipher);

private:
    struct Deleter {
        void operator()(EVP_PKEY* key) const;
    };
    explicit TakSm2Key(EVP_PKEY* key) : m_key(key) {}

    std::unique_ptr<EVP_PKEY, Deleter> m_key;
};
