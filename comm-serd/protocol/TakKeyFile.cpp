#include "comm-serd/protocol/TakKeyFile.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "comm-serd/protocol/TakDerReader.h"
#include "comm-serd/protocol/TakDerWriter.h"
#include "comm-serd/protocol/TakSmCrypto.h"

namespace {

constexpr const char* kPemName = "ENCRYPTED PRIVATE KEY";
constexpr size_t kKeySize = 16;
constexpr size_t kIvSize = 16;
constexpr size_t kMaxFileSize = 64 * 1024;

// Encoded OIDs.
constexpr std::string_view kOidPbes2{"\x2a\x86\x48\x86\xf7\x0d\x01\x05\x0d", 9};
constexpr std::string_view kOidPbkdf2{"\x2a\x86\x48\x86\xf7\x0d\x01\x05\x0c", 9};
constexpr std::string_view kOidHmacSm3{"\x2a\x81\x1c\xcf\x55\x01\x83\x11\x02", 9};
constexpr std::string_view kOidSm4Cbc{"\x2a\x81\x1c\xcf\x55\x01\x68\x02", 8};

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

// Clears key material when it goes out of scope.
template <size_t N>
struct SecretBytes {
    std::array<unsigned char, N> bytes{};
    ~SecretBytes() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

struct SecretString {
    std::string bytes;
    ~SecretString() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

// The parts of an EncryptedPrivateKeyInfo the reader needs.
struct STEncryptedKeyInfo {
    std::string_view salt;
    uint64_t iterations = 0;
    std::string_view iv;
    std::string_view cipher;
};

bool parseEncryptedKeyInfo(std::string_view der, STEncryptedKeyInfo& out) {
    TakDerReader top(der);
    TakDerReader info(std::string_view{});
    if (!top.readSequence(info) || !top.atEnd()) return false;

    TakDerReader algorithm(std::string_view{});
    std::string_view oid;
    TakDerReader pbes2(std::string_view{});
    if (!info.readSequence(algorithm) || !algorithm.read(TakDerWriter::kOid, oid) ||
        oid != kOidPbes2 || !algorithm.readSequence(pbes2) || !algorithm.atEnd()) {
        return false;
    }

    // keyDerivationFunc: PBKDF2 { salt, iterations, [keyLength], [prf] }
    TakDerReader kdf(std::string_view{});
    TakDerReader kdfParams(std::string_view{});
    if (!pbes2.readSequence(kdf) || !kdf.read(TakDerWriter::kOid, oid) || oid != kOidPbkdf2 ||
        !kdf.readSequence(kdfParams) || !kdf.atEnd()) {
        return false;
    }
    if (!kdfParams.read(TakDerWriter::kOctetString, out.salt) || out.salt.empty() ||
        !kdfParams.readInteger(out.iterations)) {
        return false;
    }
    unsigned char tag = 0;
    if (kdfParams.peekTag(tag) && tag == TakDerWriter::kInteger) {
        uint64_t keyLength = 0;
        if (!kdfParams.readInteger(keyLength) || keyLength != kKeySize) return false;
    }
    if (!kdfParams.atEnd()) {
        // The PRF; GmSSL knows only HMAC-SM3, which it also takes when the field is absent.
        TakDerReader prf(std::string_view{});
        if (!kdfParams.readSequence(prf) || !prf.read(TakDerWriter::kOid, oid) ||
            oid != kOidHmacSm3) {
            return false;
        }
        std::string_view null;
        if (!prf.atEnd() && !prf.read(0x05, null)) return false;
        if (!prf.atEnd() || !kdfParams.atEnd()) return false;
    }

    // encryptionScheme: SM4-CBC with its IV
    TakDerReader scheme(std::string_view{});
    if (!pbes2.readSequence(scheme) || !scheme.read(TakDerWriter::kOid, oid) || oid != kOidSm4Cbc ||
        !scheme.read(TakDerWriter::kOctetString, out.iv) || out.iv.size() != kIvSize ||
        !scheme.atEnd() || !pbes2.atEnd()) {
        return false;
    }

    return info.read(TakDerWriter::kOctetString, out.cipher) && info.atEnd();
}

bool deriveMaterial(std::string_view pass, std::string_view salt, uint64_t iterations,
                    std::string_view iv, SecretBytes<TakSmCrypto::kKeyMaterialSize>& material) {
    if (PKCS5_PBKDF2_HMAC(pass.data(), static_cast<int>(pass.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sm3(),
                          kKeySize, material.bytes.data()) != 1) {
        return false;
    }
    std::copy(iv.begin(), iv.end(), material.bytes.begin() + kKeySize);
    return true;
}

}  // namespace

std::string_view TakKeyFile::passPhrase() {
    static constexpr char kPass[] = "\xd7\x9e\xc4\x4b\x71\x38\xa9\xf2\x86\x1b\xe5\xb3\x5a\x6d\x32";
    return {kPass, sizeof(kPass) - 1};
}

const char* TakKeyFile::statusText(Status status) {
    switch (status) {
        case Status::Ok:
            return "ok";
        case Status::NoFile:
            return "no file";
        case Status::CannotRead:
            return "cannot read";
        case Status::Malformed:
            return "malformed";
        case Status::Undecryptable:
            return "wrong pass phrase or damaged";
    }
    return "unknown";
}

TakKeyFile::Status TakKeyFile::read(const std::string& path, TakSm2Key& key,
                                    std::string_view pass) {
    key.reset();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? Status::NoFile : Status::CannotRead;
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return Status::CannotRead;
    std::string text;
    char buf[4096];
    size_t n = 0;
    bool tooLarge = false;
    while ((n = std::fread(buf, 1, sizeof(buf), file)) > 0) {
        text.append(buf, n);
        if (text.size() > kMaxFileSize) {
            tooLarge = true;
            break;
        }
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return Status::CannotRead;
    if (tooLarge) return Status::Malformed;
    return decode(text, key, pass);
}

TakKeyFile::Status TakKeyFile::decode(std::string_view pem, TakSm2Key& key, std::string_view pass) {
    key.reset();
    if (pem.empty() || pem.size() > kMaxFileSize) return Status::Malformed;
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return Status::Malformed;
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long len = 0;
    if (PEM_read_bio(bio.get(), &name, &header, &data, &len) != 1) return Status::Malformed;
    const std::string pemName = name;
    std::string der(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    if (pemName != kPemName) return Status::Malformed;

    STEncryptedKeyInfo info;
    if (!parseEncryptedKeyInfo(der, info) || info.iterations == 0 ||
        info.iterations > kMaxIterations || info.salt.size() > 64) {
        return Status::Malformed;
    }
    SecretBytes<TakSmCrypto::kKeyMaterialSize> material;
    if (!deriveMaterial(pass, info.salt, info.iterations, info.iv, material)) {
        return Status::Undecryptable;
    }
    SecretString plain;
    if (!TakSmCrypto::sm4Decrypt(material.bytes.data(), info.cipher, plain.bytes)) {
        return Status::Undecryptable;
    }
    key = TakSm2Key::fromPrivateKeyInfo(plain.bytes);
    return key.empty() ? Status::Undecryptable : Status::Ok;
}

bool TakKeyFile::encode(const TakSm2Key& key, std::string& pem, std::string_view pass,
                        uint32_t iterations) {
    SecretString keyInfo;
    std::array<unsigned char, kSaltSize> salt{};
    std::array<unsigned char, kIvSize> iv{};
    if (iterations == 0 || !key.privateKeyInfo(keyInfo.bytes) ||
        RAND_bytes(salt.data(), salt.size()) != 1 || RAND_bytes(iv.data(), iv.size()) != 1) {
        return false;
    }
    const std::string_view saltView(reinterpret_cast<const char*>(salt.data()), salt.size());
    const std::string_view ivView(reinterpret_cast<const char*>(iv.data()), iv.size());
    SecretBytes<TakSmCrypto::kKeyMaterialSize> material;
    if (!deriveMaterial(pass, saltView, iterations, ivView, material)) return false;
    const std::string cipher = TakSmCrypto::sm4Encrypt(material.bytes.data(), keyInfo.bytes);
    if (cipher.empty()) return false;

    const std::string kdf = TakDerWriter::sequence(
        TakDerWriter::oid(kOidPbkdf2) +
        TakDerWriter::sequence(TakDerWriter::octetString(saltView) +
                               TakDerWriter::integer(iterations) +
                               TakDerWriter::sequence(TakDerWriter::oid(kOidHmacSm3))));
    const std::string scheme =
        TakDerWriter::sequence(TakDerWriter::oid(kOidSm4Cbc) + TakDerWriter::octetString(ivView));
    const std::string der =
        TakDerWriter::sequence(TakDerWriter::sequence(TakDerWriter::oid(kOidPbes2) +
                                                      TakDerWriter::sequence(kdf + scheme)) +
                               TakDerWriter::octetString(cipher));

    std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio(bio.get(), kPemName, "", reinterpret_cast<const unsigned char*>(der.data()),
                      static_cast<long>(der.size())) <= 0) {
        return false;
    }
    char* text = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &text);
    if (len <= 0 || text == nullptr) return false;
    pem.assign(text, static_cast<size_t>(len));
    return true;
}

bool TakKeyFile::write(const std::string& path, const TakSm2Key& key, std::string_view pass,
                       uint32_t iterations) {
    std::string pem;
    if (!encode(key, pem, pass, iterations)) return false;
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < pem.size()) {
        const ssize_t n = ::write(fd, pem.data() + done, pem.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}
