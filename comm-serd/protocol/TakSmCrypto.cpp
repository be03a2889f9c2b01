#include "comm-serd/protocol/TakSmCrypto.h"

#include <openssl/evp.h>

#include <climits>
#include <memory>

namespace {

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

struct CipherDeleter {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
struct MdDeleter {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};

// Fetched once: an implicit fetch on every init would cost a lookup in the provider store.
const EVP_CIPHER* sm4Cbc() {
    static const std::unique_ptr<EVP_CIPHER, CipherDeleter> cipher(
        EVP_CIPHER_fetch(nullptr, "SM4-CBC", nullptr));
    return cipher.get();
}

const EVP_MD* sm3Md() {
    static const std::unique_ptr<EVP_MD, MdDeleter> md(EVP_MD_fetch(nullptr, "SM3", nullptr));
    return md.get();
}

// One context per thread, reset for each message.
EVP_CIPHER_CTX* threadCipherCtx() {
    thread_local CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    return ctx.get();
}

}  // namespace

TakSmCrypto::Digest TakSmCrypto::sm3(std::string_view data) {
    Digest digest{};
    unsigned int len = 0;
    if (sm3Md() == nullptr ||
        EVP_Digest(data.data(), data.size(), digest.data(), &len, sm3Md(), nullptr) != 1 ||
        len != kDigestSize) {
        digest.fill(0);
    }
    return digest;
}

std::string TakSmCrypto::sm4Encrypt(const unsigned char* material, std::string_view plain) {
    EVP_CIPHER_CTX* ctx = threadCipherCtx();
    if (ctx == nullptr || sm4Cbc() == nullptr || plain.size() > INT_MAX - kBlockSize) return {};
    std::string out(kBlockSize * (plain.size() / kBlockSize + 1), '\0');
    auto* dst = reinterpret_cast<unsigned char*>(out.data());
    int len = 0;
    int tail = 0;
    const bool ok =
        EVP_CIPHER_CTX_reset(ctx) == 1 &&
        EVP_EncryptInit_ex2(ctx, sm4Cbc(), material, material + 16, nullptr) == 1 &&
        EVP_EncryptUpdate(ctx, dst, &len, reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx, dst + len, &tail) == 1 &&
        static_cast<size_t>(len + tail) == out.size();
    if (!ok) return {};
    return out;
}

bool TakSmCrypto::sm4Decrypt(const unsigned char* material, std::string_view cipher,
                             std::string& plain) {
    plain.resize(cipher.size());
    size_t len = 0;
    if (::sm4Decrypt(material, reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size(),
                     reinterpret_cast<unsigned char*>(plain.data()), &len) != 1) {
        plain.clear();
        return false;
    }
    plain.resize(len);
    return true;
}

int sm4Decrypt(const unsigned char* material, const unsigned char* in, size_t inLen,
               unsigned char* out, size_t* outLen) {
    constexpr size_t kBlock = TakSmCrypto::kBlockSize;
    if (material == nullptr || in == nullptr || out == nullptr || outLen == nullptr) return 0;
    *outLen = 0;
    if (inLen == 0 || inLen % kBlock != 0 || inLen > INT_MAX) return 0;
    EVP_CIPHER_CTX* ctx = threadCipherCtx();
    if (ctx == nullptr || sm4Cbc() == nullptr) return 0;
    // Padding is checked here rather than by the library: with padding off the library writes
    // exactly inLen bytes, so out never needs room beyond the ciphertext's length.
    int len = 0;
    int tail = 0;
    if (EVP_CIPHER_CTX_reset(ctx) != 1 ||
        EVP_DecryptInit_ex2(ctx, sm4Cbc(), material, material + 16, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 ||
        EVP_DecryptUpdate(ctx, out, &len, in, static_cast<int>(inLen)) != 1 ||
        EVP_DecryptFinal_ex(ctx, out + len, &tail) != 1 ||
        static_cast<size_t>(len + tail) != inLen) {
        return 0;
    }
    // PKCS#7: the last byte n (1..16) and the n bytes before the end all equal n. Checked
    // without branching on the bytes.
    const unsigned int pad = out[inLen - 1];
    unsigned int bad =
        static_cast<unsigned int>(pad == 0) | static_cast<unsigned int>(pad > kBlock);
    for (size_t i = 1; i <= kBlock; ++i) {
        const unsigned int inPad = static_cast<unsigned int>(i <= pad);
        bad |= inPad & static_cast<unsigned int>(out[inLen - i] != pad);
    }
    if (bad != 0) return 0;
    *outLen = inLen - pad;
    return 1;
}
