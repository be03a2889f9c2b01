// SM3 and SM4-CBC against the standard vectors and against the openssl command line.

#include "comm-serd/protocol/TakSmCrypto.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/TakTempDir.h"
#include "support/TakTestShell.h"

namespace {

using Shell = TakTestShell;

const std::string kKeyHex = "0123456789abcdeffedcba9876543210";
const std::string kIvHex = "00112233445566778899aabbccddeeff";

std::string material(const std::string& keyHex, const std::string& ivHex) {
    return Shell::fromHex(keyHex + ivHex);
}
const unsigned char* bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(rng());
    return out;
}

// openssl enc over a file: -nopad leaves the padding to the caller.
std::string opensslSm4(const TakTempDir& dir, const std::string& in, const std::string& keyHex,
                       const std::string& ivHex, const std::string& flags) {
    Shell::writeFile(dir.file("in"), in);
    std::string out;
    const int rc = Shell::run("openssl enc -sm4-cbc " + flags + " -K " + keyHex + " -iv " + ivHex +
                                  " -in " + dir.file("in") + " -out " + dir.file("out"),
                              out, true);
    EXPECT_EQ(rc, 0) << out;
    return Shell::readFile(dir.file("out"));
}

TEST(TakSmCrypto, Sm3Vectors) {
    const TakSmCrypto::Digest abc = TakSmCrypto::sm3("abc");
    EXPECT_EQ(Shell::toHex(abc.data(), abc.size()),
              "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");

    TakTempDir dir;
    const std::string data = randomBytes(1000, 1);
    Shell::writeFile(dir.file("data"), data);
    std::string out;
    ASSERT_EQ(Shell::run("openssl dgst -sm3 -r " + dir.file("data"), out), 0);
    const TakSmCrypto::Digest ours = TakSmCrypto::sm3(data);
    EXPECT_EQ(out.substr(0, 64), Shell::toHex(ours.data(), ours.size()));
}

// With a zero IV the first CBC block is the plain block cipher, so the standard's single-block
// vector applies; the padding block follows.
TEST(TakSmCrypto, Sm4StandardVector) {
    const std::string key = Shell::fromHex(kKeyHex);
    const std::string m = material(kKeyHex, std::string(32, '0'));
    const std::string cipher = TakSmCrypto::sm4Encrypt(bytes(m), key);
    ASSERT_EQ(cipher.size(), 32u);
    EXPECT_EQ(Shell::toHex(cipher.substr(0, 16)), "681edf34d206965e86b3e94f536e4246");
}

TEST(TakSmCrypto, Sm4CbcMatchesOpensslAndRoundTrips) {
    TakTempDir dir;
    const std::string m = material(kKeyHex, kIvHex);
    for (size_t n : {0, 1, 15, 16, 17, 31, 32, 4099}) {
        SCOPED_TRACE(n);
        const std::string plain = randomBytes(n, static_cast<unsigned>(n));
        const std::string cipher = TakSmCrypto::sm4Encrypt(bytes(m), plain);
        EXPECT_EQ(cipher.size(), 16 * (n / 16 + 1));
        EXPECT_EQ(cipher, opensslSm4(dir, plain, kKeyHex, kIvHex, ""));

        // Output buffer exactly as long as the ciphertext, as the contract allows.
        std::vector<unsigned char> out(cipher.size());
        size_t outLen = 12345;
        ASSERT_EQ(sm4Decrypt(bytes(m), bytes(cipher), cipher.size(), out.data(), &outLen), 1);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), outLen), plain);
    }
}

// Every message starts again from the session IV: equal messages give equal ciphertexts.
TEST(TakSmCrypto, EveryMessageStartsFromTheSameIv) {
    const std::string m = material(kKeyHex, kIvHex);
    EXPECT_EQ(TakSmCrypto::sm4Encrypt(bytes(m), "same"), TakSmCrypto::sm4Encrypt(bytes(m), "same"));
}

TEST(TakSmCrypto, Sm4DecryptRefusesBadInput) {
    TakTempDir dir;
    const std::string m = material(kKeyHex, kIvHex);
    const std::string good = TakSmCrypto::sm4Encrypt(bytes(m), "a frame body");
    const std::string block15 = std::string(15, 'p');
    // Ciphertexts of hand-padded blocks, made by openssl without padding.
    auto rawBlock = [&](const std::string& plainBlock) {
        return opensslSm4(dir, plainBlock, kKeyHex, kIvHex, "-nopad");
    };
    const struct {
        const char* name;
        std::string cipher;
        std::string key;
    } table[] = {
        {"empty", "", m},
        {"not whole blocks", good.substr(0, good.size() - 1), m},
        {"a block and a byte", good + "x", m},
        {"pad byte 0", rawBlock(block15 + '\x00'), m},
        {"pad byte 17", rawBlock(block15 + '\x11'), m},
        {"pad bytes differ", rawBlock(std::string(14, 'p') + "\x01\x02"), m},
        {"wrong key", good, material("00112233445566778899aabbccddeeff", kIvHex)},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        std::vector<unsigned char> out(row.cipher.size() + 1);
        size_t outLen = 99;
        EXPECT_EQ(
            sm4Decrypt(bytes(row.key), bytes(row.cipher), row.cipher.size(), out.data(), &outLen),
            0);
        std::string plain = "stale";
        EXPECT_FALSE(TakSmCrypto::sm4Decrypt(bytes(row.key), row.cipher, plain));
        EXPECT_TRUE(plain.empty());
    }
    // A whole block of padding is valid and stands for the empty message.
    const std::string padOnly = rawBlock(std::string(16, '\x10'));
    std::string plain = "stale";
    EXPECT_TRUE(TakSmCrypto::sm4Decrypt(bytes(m), padOnly, plain));
    EXPECT_TRUE(plain.empty());
}

}  // namespace
