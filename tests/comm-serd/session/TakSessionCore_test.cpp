// The session without a socket: bytes in any chunking become frames; before the key exchange
// only the key answer counts; after it every request gets one receipt and goes to dispatch,
// and an answer reaches the callback that waits for it, once.

#include "comm-serd/session/TakSessionCore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Tak.Business.pb.h"
#include "Tak.ComDefine.pb.h"
#include "Tak.EncAndDec.pb.h"
#include "comm-serd/protocol/TakFrameCodec.h"
#include "comm-serd/protocol/TakKeyFile.h"
#include "comm-serd/protocol/TakSmCrypto.h"
#include "support/TakTempDir.h"

namespace {

namespace CD = Tak::ComDefine;
using Tak::Business::Businessdata;
using Tak::Business::MessageData;

constexpr const char* kOwnId = "takNetDevice";

// Records what the core hands out.
class FakeOutput : public ITakSessionOutput {
public:
    void sendFrame(std::string frame) override { frames.push_back(std::move(frame)); }
    void closeConnection() override { ++closes; }
    void dispatch(std::shared_ptr<MessageData> message) override {
        dispatched.push_back(std::move(message));
    }
    void answer(AnswerCallback callback, std::string commandData) override {
        if (callback && *callback) (*callback)(commandData);
    }

    std::vector<std::string> frames;
    std::vector<std::shared_ptr<MessageData>> dispatched;
    int closes = 0;
};

TakKeyExchange::KeyMaterial material() {
    TakKeyExchange::KeyMaterial m{};
    for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<unsigned char>(0x40 + i);
    return m;
}

std::string envelope(CD::EPackDataType type, uint32_t seq, const std::string& businessdata = {}) {
    MessageData m;
    m.set_strfromuserid("agent-1");
    m.set_strtosessionid(kOwnId);
    m.set_nseqid(seq);
    m.set_ndatatype(type);
    m.set_ncreate_time(1);
    m.set_bybusinessdata(businessdata);
    return m.SerializePartialAsString();
}

std::string businessdata(const std::string& commandData) {
    Businessdata bs;
    bs.set_nmoduletype(CD::Module_HostInfo);
    bs.mutable_moduledata()->set_ncommandid(CD::hostInfo_getSystemRes);
    bs.mutable_moduledata()->set_commanddata(commandData);
    return bs.SerializePartialAsString();
}

// As an agent sends it once the key exchange is done.
std::string encryptedFrame(const std::string& plain) {
    return TakFrameCodec::buildFrame(TakSmCrypto::sm4Encrypt(material().data(), plain));
}

// The envelopes in frames the core sent, decrypted as an agent would.
std::vector<MessageData> sentEnvelopes(const std::vector<std::string>& frames, bool encrypted) {
    std::vector<MessageData> out;
    TakFrameCodec codec(1 << 20);
    for (const auto& frame : frames) {
        EXPECT_EQ(codec.append(frame.data(), frame.size(),
                               [&](std::string&& body) {
                                   std::string plain = body;
                                   if (encrypted) {
                                       EXPECT_TRUE(
                                           TakSmCrypto::sm4Decrypt(material().data(), body, plain));
                                   }
                                   MessageData m;
                                   EXPECT_TRUE(m.ParsePartialFromString(plain));
                                   out.push_back(m);
                               }),
                  TakFrameCodec::Status::Ok);
    }
    return out;
}

class TakSessionCoreTest : public testing::Test {
protected:
    TakSessionCore::STLimits limits{256, 1 << 16};
    FakeOutput out;
    TakSessionCore core{out, kOwnId, limits, "127.0.0.1:5000"};
};

TEST_F(TakSessionCoreTest, RequestsInAnyChunkingGetOneReceiptEachAndAreDispatchedInOrder) {
    core.adoptKey(material());
    std::string stream;
    for (uint32_t seq = 1; seq <= 3; ++seq) {
        stream += encryptedFrame(envelope(CD::PackDataReq, seq, businessdata("x")));
    }
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{16}, stream.size()}) {
        SCOPED_TRACE(chunk);
        out = FakeOutput();
        for (size_t pos = 0; pos < stream.size(); pos += chunk) {
            core.receive(stream.data() + pos, std::min(chunk, stream.size() - pos));
        }
        auto const receipts = sentEnvelopes(out.frames, true);
        ASSERT_EQ(receipts.size(), 3u);
        ASSERT_EQ(out.dispatched.size(), 3u);
        for (uint32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(receipts[i].ndatatype(), CD::PackDataAck);
            EXPECT_EQ(receipts[i].nseqid(), i + 1);
            EXPECT_EQ(receipts[i].strfromuserid(), "agent-1");
            EXPECT_EQ(receipts[i].strtosessionid(), kOwnId);
            EXPECT_EQ(out.dispatched[i]->nseqid(), i + 1);
        }
    }
}

TEST_F(TakSessionCoreTest, WhatIsNotARequestGetsNoReceipt) {
    core.adoptKey(material());
    std::string const garbage(32, '\x5a');  // two blocks that decrypt to bad padding
    for (const std::string& frame :
         {encryptedFrame(envelope(CD::PackDataAck, 9)), TakFrameCodec::buildFrame(garbage),
          TakFrameCodec::buildFrame(std::string())}) {
        core.receive(frame.data(), frame.size());
    }
    EXPECT_TRUE(out.frames.empty());
    EXPECT_TRUE(out.dispatched.empty());
    // An error report is not acknowledged but is dispatched (the services record it).
    std::string const error = encryptedFrame(envelope(CD::PackDataErr, 10, "oops"));
    core.receive(error.data(), error.size());
    EXPECT_TRUE(out.frames.empty());
    ASSERT_EQ(out.dispatched.size(), 1u);
    EXPECT_EQ(out.dispatched[0]->ndatatype(), CD::PackDataErr);
}

TEST_F(TakSessionCoreTest, AnAnswerReachesItsCallbackOnceAndADroppedOneIsDispatched) {
    core.adoptKey(material());
    std::vector<std::string> answers;
    STReqParams params;
    params.module = CD::Module_HostInfo;
    params.command = CD::hostInfo_getSystemRes;
    params.payload = "ask";
    params.callback = std::make_shared<std::function<void(std::string)>>(
        [&](std::string data) { answers.push_back(std::move(data)); });
    uint32_t const seq = core.nextSeq();
    core.sendRequest(seq, params);
    auto const sent = sentEnvelopes(out.frames, true);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].nseqid(), seq);
    EXPECT_EQ(sent[0].ndatatype(), CD::PackDataReq);
    Businessdata bs;
    ASSERT_TRUE(bs.ParseFromString(sent[0].bybusinessdata()));
    EXPECT_EQ(bs.moduledata().commanddata(), "ask");
    EXPECT_EQ(core.pendingCount(), 1u);

    std::string const answer = encryptedFrame(envelope(CD::PackDataAsr, seq, businessdata("42")));
    core.receive(answer.data(), answer.size());
    core.receive(answer.data(), answer.size());  // a second answer finds nobody waiting
    EXPECT_EQ(answers, std::vector<std::string>{"42"});
    EXPECT_EQ(out.dispatched.size(), 1u);

    uint32_t const dropped = core.nextSeq();
    core.sendRequest(dropped, params);
    core.dropPending(dropped);
    std::string const late =
        encryptedFrame(envelope(CD::PackDataAsr, dropped, businessdata("late")));
    core.receive(late.data(), late.size());
    EXPECT_EQ(answers.size(), 1u);
    EXPECT_EQ(out.dispatched.size(), 2u);
    EXPECT_EQ(core.pendingCount(), 0u);
}

TEST_F(TakSessionCoreTest, FrameLimitIsSmallBeforeTheKeyExchangeAndLargeAfter) {
    std::string const big = TakFrameCodec::buildFrame(std::string(1000, 'a'));
    core.receive(big.data(), big.size());
    EXPECT_EQ(out.closes, 1);

    FakeOutput keyedOut;
    TakSessionCore keyed{keyedOut, kOwnId, limits, "127.0.0.1:5001"};
    keyed.adoptKey(material());
    keyed.receive(big.data(), big.size());
    EXPECT_EQ(keyedOut.closes, 0);
    std::string const huge = TakFrameCodec::buildFrame(std::string((1 << 16) + 1, 'a'));
    keyed.receive(huge.data(), huge.size());
    EXPECT_EQ(keyedOut.closes, 1);
}

TEST_F(TakSessionCoreTest, KeyExchangeFromOfferToEncryptedRequests) {
    TakTempDir dir;
    TakSm2Key const serverKey = TakSm2Key::generate();
    TakSm2Key::Point serverPoint{};
    ASSERT_TRUE(serverKey.publicPoint(serverPoint));
    ASSERT_TRUE(TakKeyFile::write(dir.file("scert.dat"), serverKey));

    // Before the exchange a request in plain text is dropped unanswered.
    std::string const early = TakFrameCodec::buildFrame(envelope(CD::PackDataReq, 1));
    core.receive(early.data(), early.size());
    EXPECT_TRUE(out.frames.empty());

    core.offerKey(dir.file("scert.dat"));
    auto const offers = sentEnvelopes(out.frames, false);
    ASSERT_EQ(offers.size(), 1u);
    Businessdata offer;
    ASSERT_TRUE(offer.ParseFromString(offers[0].bybusinessdata()));
    EXPECT_EQ(offer.moduledata().ncommandid(), CD::base_publicCertDown);
    Tak::EncAndDec::PubKeyInfo pub;
    ASSERT_TRUE(pub.ParseFromString(offer.moduledata().commanddata()));
    ASSERT_TRUE(TakKeyExchange::verifyOffer(serverPoint, pub.bypubkey(), pub.bypubkeysign()));

    std::string answerData;
    ASSERT_TRUE(TakKeyExchange::buildAnswerBusinessdata(pub.bypubkey(), material(), answerData));
    std::string const answer = TakFrameCodec::buildFrame(envelope(CD::PackDataReq, 2, answerData));
    out.frames.clear();
    core.receive(answer.data(), answer.size());
    EXPECT_TRUE(core.keyExchanged());
    EXPECT_TRUE(out.frames.empty());  // the key answer itself is not acknowledged

    std::string const request = encryptedFrame(envelope(CD::PackDataReq, 3, businessdata("x")));
    core.receive(request.data(), request.size());
    auto const receipts = sentEnvelopes(out.frames, true);
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_EQ(receipts[0].nseqid(), 3u);
    ASSERT_EQ(out.dispatched.size(), 1u);
}

}  // namespace
