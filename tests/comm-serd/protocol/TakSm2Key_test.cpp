// SM2 in the protocol's raw formats, checked against the openssl command line and against
// the SM2 verification equation computed here from the curve itself.

#include "comm-serd/protocol/TakSm2Key.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <memory>
#include <string>

#include "comm-serd/protocol/TakSmCrypto.h"
#include "support/TakTempDir.h"
#include "support/TakTestShell.h"

namespace {

using Shell = TakTestShell;

std::string str(const unsigned char* data, size_t n) {
    return std::string(reinterpret_cast<const char*>(data), n);
}

// DER ECDSA-Sig-Value of raw r||s, for the command line.
std::string derSignature(const TakSm2Key::Signature& sig) {
    auto encodeInt = [](const unsigned char* p) {
        std::string v(reinterpret_cast<const char*>(p), 32);
        while (v.size() > 1 && v[0] == '\0' && !(static_cast<unsigned char>(v[1]) & 0x80)) {
            v.erase(0, 1);
        }
        if (static_cast<unsigned char>(v[0]) & 0x80) v.insert(v.begin(), '\0');
        return std::string(1, '\x02') + static_cast<char>(v.size()) + v;
    };
    const std::string body = encodeInt(sig.data()) + encodeInt(sig.data() + 32);
    return std::string(1, '\x30') + static_cast<char>(body.size()) + body;
}

// GB/T 32918.2 verification of a signature over the value e, as the agent does it:
// t = r + s mod n, (x1, y1) = [s]G + [t]P, accept when r == e + x1 mod n.
bool sm2EquationHolds(const TakSm2Key::Point& point, const TakSmCrypto::Digest& e,
                      const TakSm2Key::Signature& sig) {
    std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(EC_GROUP_new_by_curve_name(NID_sm2),
                                                              EC_GROUP_free);
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    auto bn = [](const unsigned char* p, int n) {
        return std::unique_ptr<BIGNUM, decltype(&BN_free)>(BN_bin2bn(p, n, nullptr), BN_free);
    };
    auto r = bn(sig.data(), 32), s = bn(sig.data() + 32, 32), ev = bn(e.data(), 32);
    auto t = bn(nullptr, 0), x1 = bn(nullptr, 0), check = bn(nullptr, 0);
    const BIGNUM* n = EC_GROUP_get0_order(group.get());
    unsigned char encoded[65] = {0x04};
    std::copy(point.begin(), point.end(), encoded + 1);
    std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)> p(EC_POINT_new(group.get()), EC_POINT_free);
    std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)> sum(EC_POINT_new(group.get()),
                                                            EC_POINT_free);
    return EC_POINT_oct2point(group.get(), p.get(), encoded, sizeof(encoded), ctx.get()) == 1 &&
           BN_mod_add(t.get(), r.get(), s.get(), n, ctx.get()) == 1 &&
           EC_POINT_mul(group.get(), sum.get(), s.get(), p.get(), t.get(), ctx.get()) == 1 &&
           EC_POINT_get_affine_coordinates(group.get(), sum.get(), x1.get(), nullptr, ctx.get()) ==
               1 &&
           BN_mod_add(check.get(), ev.get(), x1.get(), n, ctx.get()) == 1 &&
           BN_cmp(check.get(), r.get()) == 0;
}

TEST(TakSm2Key, SignatureIsOverTheDigestItself) {
    TakTempDir dir;
    const TakSm2Key key = TakSm2Key::generate();
    ASSERT_FALSE(key.empty());
    TakSm2Key::Point point{};
    ASSERT_TRUE(key.publicPoint(point));
    std::string pem;
    ASSERT_TRUE(key.publicKeyPem(pem));
    Shell::writeFile(dir.file("pub.pem"), pem);

    const TakSmCrypto::Digest digest = TakSmCrypto::sm3(str(point.data(), point.size()));
    TakSm2Key::Signature sig{};
    ASSERT_TRUE(key.signDigest(digest.data(), sig));

    EXPECT_TRUE(sm2EquationHolds(point, digest, sig));
    EXPECT_TRUE(TakSm2Key::verifyDigest(point.data(), digest.data(), sig.data()));

    Shell::writeFile(dir.file("digest"), str(digest.data(), digest.size()));
    Shell::writeFile(dir.file("sig"), derSignature(sig));
    std::string out;
    EXPECT_EQ(Shell::run("openssl pkeyutl -verify -pubin -inkey " + dir.file("pub.pem") + " -in " +
                             dir.file("digest") + " -sigfile " + dir.file("sig"),
                         out, true),
              0)
        << out;

    // The point openssl reads from the PEM is the one we report.
    ASSERT_EQ(Shell::run("openssl pkey -pubin -in " + dir.file("pub.pem") + " -text -noout", out),
              0);
    const std::string printed =
        out.substr(out.find("pub:") + 4, out.find("ASN1 OID") - out.find("pub:") - 4);
    EXPECT_EQ(Shell::toHex(Shell::fromHex(printed)), "04" + Shell::toHex(point.data(), 64));

    TakSm2Key::Signature tampered = sig;
    tampered[63] ^= 1;
    EXPECT_FALSE(TakSm2Key::verifyDigest(point.data(), digest.data(), tampered.data()));
    TakSmCrypto::Digest other = digest;
    other[0] ^= 1;
    EXPECT_FALSE(TakSm2Key::verifyDigest(point.data(), other.data(), sig.data()));
    EXPECT_FALSE(sm2EquationHolds(point, other, sig));
}

TEST(TakSm2Key, DecryptsWhatOpensslEncrypts) {
    TakTempDir dir;
    const TakSm2Key key = TakSm2Key::generate();
    std::string pem;
    ASSERT_TRUE(key.publicKeyPem(pem));
    Shell::writeFile(dir.file("pub.pem"), pem);
    const std::string material =
        Shell::fromHex("00112233445566778899aabbccddeeff0f1e2d3c4b5a69788796a5b4c3d2e1f0");
    Shell::writeFile(dir.file("plain"), material);
    std::string out;
    ASSERT_EQ(Shell::run("openssl pkeyutl -encrypt -pubin -inkey " + dir.file("pub.pem") + " -in " +
                             dir.file("plain") + " -out " + dir.file("cipher"),
                         out, true),
              0)
        << out;
    std::string plain;
    ASSERT_TRUE(key.decrypt(Shell::readFile(dir.file("cipher")), plain));
    EXPECT_EQ(plain, material);

    // And the other way: our ciphertext is one the command line opens.
    TakSm2Key::Point point{};
    ASSERT_TRUE(key.publicPoint(point));
    std::string cipher;
    ASSERT_TRUE(TakSm2Key::encryptTo(point.data(), material, cipher));
    Shell::writeFile(dir.file("ours"), cipher);
    std::string info;
    ASSERT_TRUE(key.privateKeyInfo(info));
    Shell::writeFile(dir.file("key.der"), info);
    ASSERT_EQ(Shell::run("openssl pkeyutl -decrypt -keyform DER -inkey " + dir.file("key.der") +
                             " -in " + dir.file("ours"),
                         out),
              0);
    EXPECT_EQ(out, material);
}

TEST(TakSm2Key, RefusesWhatIsNotAKeyOrCiphertext) {
    const TakSm2Key key = TakSm2Key::generate();
    std::string plain;
    EXPECT_FALSE(key.decrypt("", plain));
    EXPECT_FALSE(key.decrypt("not DER at all", plain));
    TakSm2Key::Point point{};
    ASSERT_TRUE(key.publicPoint(point));
    std::string cipher;
    ASSERT_TRUE(TakSm2Key::encryptTo(point.data(), "secret", cipher));
    cipher[cipher.size() - 1] ^= 1;  // C2 damaged: the C3 hash no longer matches
    EXPECT_FALSE(key.decrypt(cipher, plain));

    // A ciphertext for another key.
    const TakSm2Key other = TakSm2Key::generate();
    TakSm2Key::Point otherPoint{};
    ASSERT_TRUE(other.publicPoint(otherPoint));
    ASSERT_TRUE(TakSm2Key::encryptTo(otherPoint.data(), "secret", cipher));
    EXPECT_FALSE(key.decrypt(cipher, plain));

    TakSm2Key::Point offCurve = point;
    offCurve[63] ^= 1;
    EXPECT_TRUE(TakSm2Key::fromPoint(offCurve.data()).empty());
    EXPECT_FALSE(TakSm2Key::encryptTo(offCurve.data(), "secret", cipher));

    EXPECT_TRUE(TakSm2Key::fromPrivateKeyInfo("").empty());
    EXPECT_TRUE(TakSm2Key::fromPrivateKeyInfo("\x30\x03\x02\x01\x00").empty());
    const TakSm2Key none;
    TakSm2Key::Signature sig{};
    const TakSmCrypto::Digest digest{};
    EXPECT_FALSE(none.signDigest(digest.data(), sig));
    EXPECT_FALSE(none.publicPoint(point));
}

// The private key info round-trips and has GmSSL's layout, with the curve inside the
// ECPrivateKey as well.
TEST(TakSm2Key, PrivateKeyInfoRoundTrips) {
    TakTempDir dir;
    const TakSm2Key key = TakSm2Key::generate();
    std::string info;
    ASSERT_TRUE(key.privateKeyInfo(info));
    const TakSm2Key back = TakSm2Key::fromPrivateKeyInfo(info);
    ASSERT_FALSE(back.empty());
    TakSm2Key::Point a{}, b{};
    ASSERT_TRUE(key.publicPoint(a));
    ASSERT_TRUE(back.publicPoint(b));
    EXPECT_EQ(a, b);

    Shell::writeFile(dir.file("key.der"), info);
    std::string out;
    const std::string parse = "openssl asn1parse -inform DER -in " + dir.file("key.der");
    ASSERT_EQ(Shell::run(parse, out), 0);
    // PrivateKeyInfo { 0, { ecPublicKey, sm2 }, OCTET STRING ECPrivateKey }
    EXPECT_NE(out.find(":id-ecPublicKey"), std::string::npos) << out;
    const size_t octets = out.rfind("OCTET STRING");
    ASSERT_NE(octets, std::string::npos) << out;
    const size_t lineStart = out.rfind('\n', octets) + 1;
    const std::string offset = out.substr(lineStart, out.find(':', lineStart) - lineStart);
    ASSERT_EQ(Shell::run(parse + " -strparse " + offset, out), 0);
    EXPECT_NE(out.find("INTEGER           :01"), std::string::npos) << out;
    EXPECT_NE(out.find("cont [ 0 ]"), std::string::npos) << out;
    EXPECT_NE(out.find(":sm2"), std::string::npos) << out;
    EXPECT_NE(out.find("cont [ 1 ]"), std::string::npos) << out;
}

}  // namespace
