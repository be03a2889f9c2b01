// The key exchange from both ends: the offer an agent checks with the server's public key, the
// answer that switches the session to SM4, and every way either can go wrong.

#include "comm-serd/protocol/TakKeyExchange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Tak.Business.pb.h"
#include "Tak.ComDefine.pb.h"
#include "Tak.EncAndDec.pb.h"
#include "comm-serd/protocol/TakFrameCodec.h"
#include "log/TakNanolog.h"
#include "support/TakTempDir.h"
#include "support/TakTestShell.h"

namespace {

using Shell = TakTestShell;
using Offer = TakKeyExchange::OfferStatus;
using Answer = TakKeyExchange::AnswerStatus;
namespace CD = Tak::ComDefine;

TakKeyExchange::KeyMaterial materialOf(unsigned char seed) {
    TakKeyExchange::KeyMaterial m{};
    for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<unsigned char>(seed + i);
    return m;
}

// Records the log lines written while it lives.
class LogCapture {
public:
    LogCapture() {
        TakNanolog::m_callback = [this](std::string line) { m_text += line; };
    }
    ~LogCapture() { TakNanolog::m_callback = nullptr; }
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
};

std::string envelope(const std::string& businessdata, bool withDataType = true) {
    Tak::Business::MessageData m;
    m.set_strfromuserid("agent");
    m.set_nseqid(1);
    if (withDataType) m.set_ndatatype(CD::PackDataReq);
    m.set_ncreate_time(1);
    m.set_bybusinessdata(businessdata);
    return m.SerializePartialAsString();
}

std::string commandOf(const std::string& businessdata) {
    Tak::Business::Businessdata bs;
    EXPECT_TRUE(bs.ParseFromString(businessdata));
    return bs.moduledata().commanddata();
}

class TakKeyExchangeTest : public testing::Test {
protected:
    void SetUp() override {
        m_serverKey = TakSm2Key::generate();
        ASSERT_TRUE(m_serverKey.publicPoint(m_serverPoint));
        ASSERT_TRUE(TakKeyFile::write(keyPath(), m_serverKey));
    }
    std::string keyPath() const { return m_dir.file("scert.dat"); }

    TakTempDir m_dir;
    TakSm2Key m_serverKey;
    TakSm2Key::Point m_serverPoint{};
    TakServerKeyCache m_cache;
};

TEST_F(TakKeyExchangeTest, OfferAndAnswerAgreeOnTheKeyMaterial) {
    TakSm2Key ephemeral;
    std::string pub, sign;
    testing::internal::CaptureStdout();
    ASSERT_EQ(TakKeyExchange::makeKeyOffer(keyPath(), ephemeral, pub, sign, m_cache),
              Offer::Signed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(pub.size(), 64u);
    ASSERT_EQ(sign.size(), 64u);
    TakSm2Key::Point ephemeralPoint{};
    ASSERT_TRUE(ephemeral.publicPoint(ephemeralPoint));
    EXPECT_EQ(pub, std::string(reinterpret_cast<const char*>(ephemeralPoint.data()), 64));
    EXPECT_TRUE(TakKeyExchange::verifyOffer(m_serverPoint, pub, sign));

    // The agent's check, with the command line: SM3 of the 64 point bytes, signed as it is.
    std::string pem, out;
    ASSERT_TRUE(m_serverKey.publicKeyPem(pem));
    Shell::writeFile(m_dir.file("server.pem"), pem);
    Shell::writeFile(m_dir.file("pub"), pub);
    ASSERT_EQ(Shell::run("openssl dgst -sm3 -binary -out " + m_dir.file("digest") + " " +
                             m_dir.file("pub"),
                         out),
              0);
    std::string der = "\x30";
    std::string r = sign.substr(0, 32), s = sign.substr(32);
    for (std::string* v : {&r, &s}) {
        while (v->size() > 1 && (*v)[0] == '\0' && !((*v)[1] & 0x80)) v->erase(0, 1);
        if ((*v)[0] & 0x80) v->insert(v->begin(), '\0');
    }
    const std::string body = "\x02" + std::string(1, static_cast<char>(r.size())) + r + "\x02" +
                             std::string(1, static_cast<char>(s.size())) + s;
    der += std::string(1, static_cast<char>(body.size())) + body;
    Shell::writeFile(m_dir.file("sig"), der);
    EXPECT_EQ(Shell::run("openssl pkeyutl -verify -pubin -inkey " + m_dir.file("server.pem") +
                             " -in " + m_dir.file("digest") + " -sigfile " + m_dir.file("sig"),
                         out, true),
              0)
        << out;

    // The offer's envelope part.
    Tak::Business::Businessdata bs;
    ASSERT_TRUE(bs.ParseFromString(TakKeyExchange::buildOfferBusinessdata(pub, sign)));
    EXPECT_EQ(bs.nmoduletype(), CD::Module_Base);
    EXPECT_EQ(bs.moduledata().ncommandid(), CD::base_publicCertDown);
    Tak::EncAndDec::PubKeyInfo info;
    ASSERT_TRUE(info.ParseFromString(bs.moduledata().commanddata()));
    EXPECT_EQ(info.bypubkey(), pub);
    EXPECT_EQ(info.bypubkeysign(), sign);

    // The agent answers; the server takes the material.
    const TakKeyExchange::KeyMaterial sent = materialOf(7);
    std::string answerBs;
    ASSERT_TRUE(TakKeyExchange::buildAnswerBusinessdata(pub, sent, answerBs));
    std::string command;
    ASSERT_TRUE(TakKeyExchange::parseKeyAnswer(envelope(answerBs), command));
    TakKeyExchange::KeyMaterial got{};
    EXPECT_EQ(TakKeyExchange::acceptKeyAnswer(ephemeral, command, got), Answer::Accepted);
    EXPECT_EQ(got, sent);
}

// Each offer replaces the ephemeral key; the long-term key is derived once.
TEST_F(TakKeyExchangeTest, EveryOfferHasItsOwnKey) {
    TakSm2Key ephemeral;
    std::string pub1, sign1, pub2, sign2;
    ASSERT_EQ(TakKeyExchange::makeKeyOffer(keyPath(), ephemeral, pub1, sign1, m_cache),
              Offer::Signed);
    ASSERT_EQ(TakKeyExchange::makeKeyOffer(keyPath(), ephemeral, pub2, sign2, m_cache),
              Offer::Signed);
    EXPECT_NE(pub1, pub2);
    EXPECT_TRUE(TakKeyExchange::verifyOffer(m_serverPoint, pub2, sign2));
    EXPECT_EQ(m_cache.loads(), 1u);
    // An answer to the first offer no longer opens.
    std::string answerBs;
    ASSERT_TRUE(TakKeyExchange::buildAnswerBusinessdata(pub1, materialOf(1), answerBs));
    TakKeyExchange::KeyMaterial got{};
    EXPECT_EQ(TakKeyExchange::acceptKeyAnswer(ephemeral, commandOf(answerBs), got),
              Answer::DecryptFailed);
}

TEST_F(TakKeyExchangeTest, MissingKeyFileMeansNoOffer) {
    LogCapture log;
    TakSm2Key ephemeral;
    std::string pub = "x", sign = "y";
    testing::internal::CaptureStdout();
    const Offer status =
        TakKeyExchange::makeKeyOffer(m_dir.file("absent.dat"), ephemeral, pub, sign, m_cache);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(status, Offer::NoKeyFile);
    EXPECT_FALSE(TakKeyExchange::mustSend(status));
    EXPECT_NE(log.text().find("not private key"), std::string::npos) << log.text();
    EXPECT_TRUE(ephemeral.empty());
    EXPECT_TRUE(pub.empty());
    EXPECT_TRUE(sign.empty());
}

// An unusable key file still gives an offer, with empty fields, and the server says so on
// standard output the way it always has.
TEST_F(TakKeyExchangeTest, UnusableKeyFileGivesAnEmptyOffer) {
    const std::string wrongPass = m_dir.file("wrong-pass.dat");
    ASSERT_TRUE(TakKeyFile::write(wrongPass, TakSm2Key::generate(), "not our pass phrase"));
    const std::string corrupt = m_dir.file("corrupt.dat");
    std::string pem = Shell::readFile(keyPath());
    pem[pem.size() / 2] ^= 0x01;
    Shell::writeFile(corrupt, pem);
    for (const std::string& path : {wrongPass, corrupt, m_dir.path().string()}) {
        SCOPED_TRACE(path);
        TakSm2Key ephemeral;
        std::string pub = "x", sign = "y";
        testing::internal::CaptureStdout();
        const Offer status = TakKeyExchange::makeKeyOffer(path, ephemeral, pub, sign, m_cache);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "密钥错误\n");
        EXPECT_EQ(status, Offer::Empty);
        EXPECT_TRUE(TakKeyExchange::mustSend(status));
        EXPECT_TRUE(pub.empty());
        EXPECT_TRUE(sign.empty());
        // The session has its ephemeral key all the same.
        EXPECT_FALSE(ephemeral.empty());
    }
}

TEST_F(TakKeyExchangeTest, OnlyAnExact32ByteAnswerIsTaken) {
    TakSm2Key ephemeral;
    std::string pub, sign;
    ASSERT_EQ(TakKeyExchange::makeKeyOffer(keyPath(), ephemeral, pub, sign, m_cache),
              Offer::Signed);
    auto encMsg = [&](const std::string& plain) {
        std::string cipher;
        EXPECT_TRUE(TakSm2Key::encryptTo(reinterpret_cast<const unsigned char*>(pub.data()), plain,
                                         cipher));
        Tak::EncAndDec::EncMsgData m;
        m.set_bymsg(cipher);
        return m.SerializeAsString();
    };
    const TakSm2Key other = TakSm2Key::generate();
    TakSm2Key::Point otherPoint{};
    ASSERT_TRUE(other.publicPoint(otherPoint));
    std::string forOther;
    ASSERT_TRUE(TakSm2Key::encryptTo(otherPoint.data(), std::string(32, 'k'), forOther));
    Tak::EncAndDec::EncMsgData otherMsg;
    otherMsg.set_bymsg(forOther);
    Tak::EncAndDec::EncMsgData junkMsg;
    junkMsg.set_bymsg("junk");

    const struct {
        const char* name;
        std::string command;
        Answer status;
    } table[] = {
        {"16 bytes", encMsg(std::string(16, 'k')), Answer::WrongLength},
        {"31 bytes", encMsg(std::string(31, 'k')), Answer::WrongLength},
        {"33 bytes", encMsg(std::string(33, 'k')), Answer::WrongLength},
        {"1000 bytes", encMsg(std::string(1000, 'k')), Answer::WrongLength},
        {"for another key", otherMsg.SerializeAsString(), Answer::DecryptFailed},
        {"not a ciphertext", junkMsg.SerializeAsString(), Answer::DecryptFailed},
        {"empty command", "", Answer::Malformed},
        {"not an EncMsgData", "\xff\xff\xff", Answer::Malformed},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        TakKeyExchange::KeyMaterial material = materialOf(100);
        EXPECT_EQ(TakKeyExchange::acceptKeyAnswer(ephemeral, row.command, material), row.status);
        EXPECT_EQ(material, materialOf(100)) << "material written";
    }
    TakKeyExchange::KeyMaterial material = materialOf(100);
    EXPECT_EQ(TakKeyExchange::acceptKeyAnswer(TakSm2Key(), encMsg(std::string(32, 'k')), material),
              Answer::NoEphemeralKey);
    EXPECT_EQ(material, materialOf(100));
}

// Only Module_Base / base_cmsKeyUp is a key answer, whatever nDataType says.
TEST(TakKeyExchange, KeyAnswerIsRecognisedByModuleAndCommand) {
    auto bs = [](CD::EModuleType module, CD::ECmdType command) {
        Tak::Business::Businessdata b;
        b.set_nmoduletype(module);
        b.mutable_moduledata()->set_ncommandid(command);
        b.mutable_moduledata()->set_commanddata("payload");
        return b.SerializeAsString();
    };
    Tak::Business::Businessdata noModule;
    noModule.mutable_moduledata()->set_ncommandid(CD::base_cmsKeyUp);
    const struct {
        const char* name;
        std::string body;
        bool isAnswer;
    } table[] = {
        {"key answer", envelope(bs(CD::Module_Base, CD::base_cmsKeyUp)), true},
        {"without nDataType", envelope(bs(CD::Module_Base, CD::base_cmsKeyUp), false), true},
        {"policy module", envelope(bs(CD::Module_Policy, CD::base_cmsKeyUp)), false},
        {"key offer", envelope(bs(CD::Module_Base, CD::base_publicCertDown)), false},
        {"registration", envelope(bs(CD::Module_Policy, CD::policy_deviceInfoUp)), false},
        {"no module type", envelope(noModule.SerializePartialAsString()), false},
        {"no business data", envelope(""), false},
        {"empty body", "", false},
        {"garbage", "\x0a\xff\xff\xff\xff", false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        std::string command = "untouched";
        EXPECT_EQ(TakKeyExchange::parseKeyAnswer(row.body, command), row.isAnswer);
        EXPECT_EQ(command, row.isAnswer ? "payload" : "untouched");
    }
}

// The pieces as a session strings them together on one read: a key answer, a second key answer
// sent in plain right behind it, then an encrypted request. The switch happens between frames,
// so the second answer is already read as ciphertext and dropped, and the request decodes.
TEST_F(TakKeyExchangeTest, SwitchToEncryptionBetweenFramesOfOneChunk) {
    TakSm2Key ephemeral;
    std::string pub, sign;
    ASSERT_EQ(TakKeyExchange::makeKeyOffer(keyPath(), ephemeral, pub, sign, m_cache),
              Offer::Signed);
    const TakKeyExchange::KeyMaterial agentMaterial = materialOf(42);
    std::string answerBs;
    ASSERT_TRUE(TakKeyExchange::buildAnswerBusinessdata(pub, agentMaterial, answerBs));
    const std::string request = envelope("request");
    const std::string chunk =
        TakFrameCodec::buildFrame(envelope(answerBs)) +
        TakFrameCodec::buildFrame(envelope(answerBs)) +
        TakFrameCodec::buildFrame(TakSmCrypto::sm4Encrypt(agentMaterial.data(), request));

    bool encrypted = false;
    TakKeyExchange::KeyMaterial material{};
    std::vector<std::string> delivered;
    int dropped = 0;
    TakFrameCodec codec(1 << 20);
    ASSERT_EQ(codec.append(chunk.data(), chunk.size(),
                           [&](std::string&& body) {
                               if (!encrypted) {
                                   std::string command;
                                   if (TakKeyExchange::parseKeyAnswer(body, command) &&
                                       TakKeyExchange::acceptKeyAnswer(
                                           ephemeral, command, material) == Answer::Accepted) {
                                       encrypted = true;
                                   }
                                   return;
                               }
                               std::string plain;
                               if (!TakSmCrypto::sm4Decrypt(material.data(), body, plain)) {
                                   ++dropped;
                                   return;
                               }
                               delivered.push_back(plain);
                           }),
              TakFrameCodec::Status::Ok);
    EXPECT_TRUE(encrypted);
    EXPECT_EQ(dropped, 1);
    ASSERT_EQ(delivered.size(), 1u);
    Tak::Business::MessageData parsed;
    ASSERT_TRUE(parsed.ParseFromString(delivered[0]));
    EXPECT_EQ(parsed.bybusinessdata(), "request");
}

}  // namespace
