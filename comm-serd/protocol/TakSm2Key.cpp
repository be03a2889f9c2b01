#include "comm-serd/protocol/TakSm2Key.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>

#include "comm-serd/protocol/TakDerWriter.h"

namespace {

struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

struct BnDeleter {
    void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

struct EcdsaSigDeleter {
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, EcdsaSigDeleter>;

struct Pkcs8Deleter {
    void operator()(PKCS8_PRIV_KEY_INFO* info) const { PKCS8_PRIV_KEY_INFO_free(info); }
};

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

// OIDs of the PrivateKeyInfo, encoded.
constexpr std::string_view kOidEcPublicKey{"\x2a\x86\x48\xce\x3d\x02\x01", 7};  // 1.2.840.10045.2.1
constexpr std::string_view kOidSm2{"\x2a\x81\x1c\xcf\x55\x01\x82\x2d", 8};  // 1.2.156.10197.1.301

PkeyCtxPtr contextFor(EVP_PKEY* key) {
    return PkeyCtxPtr(key == nullptr ? nullptr : EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
}

bool bnParam(EVP_PKEY* key, const char* name, unsigned char* out, int size) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return false;
    BnPtr bn(raw);
    return BN_bn2binpad(bn.get(), out, size) == size;
}

}  // namespace

void TakSm2Key::Deleter::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

TakSm2Key::TakSm2Key() = default;
TakSm2Key::~TakSm2Key() = default;
TakSm2Key::TakSm2Key(TakSm2Key&&) noexcept = default;
TakSm2Key& TakSm2Key::operator=(TakSm2Key&&) noexcept = default;

void TakSm2Key::reset() { m_key.reset(); }

TakSm2Key TakSm2Key::generate() { return TakSm2Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")); }

TakSm2Key TakSm2Key::fromPrivateKeyInfo(std::string_view der) {
    if (der.empty() || der.size() > 4096) return {};
    auto* p = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* const end = p + der.size();
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, Pkcs8Deleter> info(
        d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
    if (!info || p != end) return {};
    TakSm2Key key(EVP_PKCS82PKEY(info.get()));
    if (key.empty() || EVP_PKEY_is_a(key.get(), "SM2") != 1) return {};
    return key;
}

TakSm2Key TakSm2Key::fromPoint(const unsigned char* point) {
    if (point == nullptr) return {};
    unsigned char encoded[1 + kPointSize];
    encoded[0] = 0x04;
    std::memcpy(encoded + 1, point, kPointSize);
    char group[] = "SM2";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof(encoded)),
        OSSL_PARAM_construct_end(),
    };
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        return {};
    }
    return TakSm2Key(raw);
}

bool TakSm2Key::publicPoint(Point& out) const {
    if (empty()) return false;
    return bnParam(m_key.get(), OSSL_PKEY_PARAM_EC_PUB_X, out.data(), 32) &&
           bnParam(m_key.get(), OSSL_PKEY_PARAM_EC_PUB_Y, out.data() + 32, 32);
}

bool TakSm2Key::signDigest(const unsigned char* digest, Signature& out) const {
    // EVP_PKEY_sign signs its input as the digest itself; EVP_DigestSign would hash it again
    // with the Z value in front.
    PkeyCtxPtr ctx = contextFor(m_key.get());
    size_t derLen = 0;
    if (!ctx || digest == nullptr || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &derLen, digest, kDigestSize) != 1) {
        return false;
    }
    std::string der(derLen, '\0');
    auto* derBytes = reinterpret_cast<unsigned char*>(der.data());
    if (EVP_PKEY_sign(ctx.get(), derBytes, &derLen, digest, kDigestSize) != 1) return false;
    const unsigned char* p = derBytes;
    EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLen)));
    if (!sig) return false;
    return BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), 32) == 32 &&
           BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + 32, 32) == 32;
}

bool TakSm2Key::decrypt(std::string_view cipher, std::string& plain) const {
    PkeyCtxPtr ctx = contextFor(m_key.get());
    const auto* in = reinterpret_cast<const unsigned char*>(cipher.data());
    size_t len = 0;
    if (!ctx || cipher.empty() || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), nullptr, &len, in, cipher.size()) != 1) {
        return false;
    }
    plain.assign(len, '\0');
    if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()), &len, in,
                         cipher.size()) != 1) {
        plain.clear();
        return false;
    }
    plain.resize(len);
    return true;
}

bool TakSm2Key::privateKeyInfo(std::string& der) const {
    if (empty()) return false;
    std::string d(32, '\0');
    Point point{};
    if (!bnParam(m_key.get(), OSSL_PKEY_PARAM_PRIV_KEY, reinterpret_cast<unsigned char*>(d.data()),
                 32) ||
        !publicPoint(point)) {
        return false;
    }
    std::string encodedPoint(1, '\x04');
    encodedPoint.append(reinterpret_cast<const char*>(point.data()), point.size());
    const std::string ecPrivateKey =
        TakDerWriter::sequence(TakDerWriter::integer(1) + TakDerWriter::octetString(d) +
                               TakDerWriter::explicitTag(0, TakDerWriter::oid(kOidSm2)) +
                               TakDerWriter::explicitTag(1, TakDerWriter::bitString(encodedPoint)));
    der = TakDerWriter::sequence(
        TakDerWriter::integer(0) +
        TakDerWriter::sequence(TakDerWriter::oid(kOidEcPublicKey) + TakDerWriter::oid(kOidSm2)) +
        TakDerWriter::octetString(ecPrivateKey));
    OPENSSL_cleanse(d.data(), d.size());
    return true;
}

bool TakSm2Key::publicKeyPem(std::string& pem) const {
    if (empty()) return false;
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), m_key.get()) != 1) return false;
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    if (len <= 0 || data == nullptr) return false;
    pem.assign(data, static_cast<size_t>(len));
    return true;
}

bool TakSm2Key::verifyDigest(const unsigned char* point, const unsigned char* digest,
                             const unsigned char* signature) {
    if (digest == nullptr || signature == nullptr) return false;
    const TakSm2Key key = fromPoint(point);
    PkeyCtxPtr ctx = contextFor(key.get());
    EcdsaSigPtr sig(ECDSA_SIG_new());
    if (!ctx || !sig) return false;
    BIGNUM* r = BN_bin2bn(signature, 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature + 32, 32, nullptr);
    if (r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derLen = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLen <= 0) return false;
    const bool ok =
        EVP_PKEY_verify_init(ctx.get()) == 1 &&
        EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(derLen), digest, kDigestSize) == 1;
    OPENSSL_free(der);
    return ok;
}

bool TakSm2Key::encryptTo(const unsigned char* point, std::string_view plain, std::string& cipher) {
    const TakSm2Key key = fromPoint(point);
    PkeyCtxPtr ctx = contextFor(key.get());
    const auto* in = reinterpret_cast<const unsigned char*>(plain.data());
    size_t len = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &len, in, plain.size()) != 1) {
        return false;
    }
    cipher.assign(len, '\0');
    if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(cipher.data()), &len, in,
                         plain.size()) != 1) {
        cipher.clear();
        return false;
    }
    cipher.resize(len);
    return true;
}
