// Agent bytes through the session core, as the daemon runs it minus the socket: frame
// reassembly under any chunking, the plain path before the key exchange, SM4 decryption with
// the session key, receipts, the answers to the server's own requests and the dispatch.
//
// Input: byte 0 picks the mode and byte 1 the chunking, the rest is data.
//   mode even: the data is a raw stream as an agent may send it, fed to a session before its
//              key exchange and to one whose key is agreed;
//   mode odd:  the data is a list of plaintext bodies (each preceded by a length byte) that
//              are encrypted and framed as an agent would, so the core sees real plaintext
//              after decryption.
// Checked: every frame the core sends is a well-formed frame that decrypts with the session
// key; each request dispatched got a receipt with its number first, in order;
// a plain session sends nothing (it has made no offer); nothing is answered twice.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Tak.Business.pb.h"
#include "Tak.ComDefine.pb.h"
#include "comm-serd/protocol/TakFrameCodec.h"
#include "comm-serd/session/TakSessionCore.h"
#include "comm-serd/protocol/TakSmCrypto.h"

namespace {

namespace CD = Tak::ComDefine;
using Tak::Business::MessageData;

const TakKeyExchange::KeyMaterial kMaterial = {
    0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10,
    0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

constexpr TakSessionCore::STLimits kLimits{4096, 1 << 16};
// The server's own requests awaiting answers: numbers 1 to kAsked.
constexpr uint32_t kAsked = 3;

void check(bool ok) {
    if (!ok) std::abort();
}

// Records what the core hands out and checks it as it comes.
class Output : public ITakSessionOutput {
public:
    explicit Output(bool keyed) : m_keyed(keyed), m_codec(1 << 17) {}

    void sendFrame(std::string frame) override {
        check(m_keyed);
        check(m_codec.append(frame.data(), frame.size(), [&](std::string&& body) {
            std::string plain;
            check(TakSmCrypto::sm4Decrypt(kMaterial.data(), body, plain));
            MessageData m;
            check(m.ParsePartialFromString(plain));
            if (m.ndatatype() == CD::PackDataAck) receipts.push_back(m.nseqid());
        }) == TakFrameCodec::Status::Ok);
    }
    void closeConnection() override { ++closes; }
    void dispatch(std::shared_ptr<MessageData> message) override {
        if (message->ndatatype() == CD::PackDataReq) requests.push_back(message->nseqid());
    }
    void answer(AnswerCallback callback, std::string commandData) override {
        check(callback && *callback);
        (*callback)(std::move(commandData));
    }

    std::vector<uint32_t> receipts;
    std::vector<uint32_t> requests;  // dispatched or answered, by number
    int closes = 0;

private:
    const bool m_keyed;
    TakFrameCodec m_codec;
};

struct Session {
    explicit Session(bool keyed) : out(keyed), core(out, "takNetDevice", kLimits, "fuzz") {
        if (keyed) {
            core.adoptKey(kMaterial);
            for (uint32_t seq = 1; seq <= kAsked; ++seq) {
                STReqParams params;
                params.callback =
                    std::make_shared<std::function<void(std::string)>>([this, seq](std::string) {
                        check(answered.size() < kAsked);
                        answered.push_back(seq);
                    });
                core.sendRequest(core.nextSeq(), params);
            }
            out.receipts.clear();
        }
    }

    // Feeds stream in chunks of sizes drawn from the chunking byte; stops once closed.
    void feed(std::string_view stream, uint8_t chunking) {
        size_t pos = 0;
        uint32_t state = chunking | 1u;
        while (pos < stream.size() && out.closes == 0) {
            state = state * 1103515245u + 12345u;
            const size_t n = std::min<size_t>(stream.size() - pos, 1 + (state >> 16) % 300);
            core.receive(stream.data() + pos, n);
            pos += n;
        }
    }

    // A request is acknowledged before it is dispatched, so the dispatched requests' numbers
    // appear among the receipts in the same order (the other receipts are of requests that
    // answered one of the server's own). Every request asked is pending or answered once.
    void verify() const {
        size_t next = 0;
        for (uint32_t receipt : out.receipts) {
            if (next < out.requests.size() && out.requests[next] == receipt) ++next;
        }
        check(next == out.requests.size());
        check(core.pendingCount() + answered.size() == (core.keyExchanged() ? kAsked : 0));
    }

    Output out;
    TakSessionCore core;
    std::vector<uint32_t> answered;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const uint8_t chunking = data[1];
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);

    if ((mode & 1) == 0) {
        Session plain(false);
        plain.feed(rest, chunking);
        check(plain.out.receipts.empty() && plain.out.requests.empty());
        Session keyed(true);
        keyed.feed(rest, chunking);
        keyed.verify();
        return 0;
    }

    std::string stream;
    size_t frames = 0;
    for (size_t pos = 0; pos < rest.size();) {
        const size_t n = std::min<size_t>(static_cast<uint8_t>(rest[pos]), rest.size() - pos - 1);
        const std::string cipher =
            TakSmCrypto::sm4Encrypt(kMaterial.data(), std::string(rest.substr(pos + 1, n)));
        check(cipher.size() == 16 * (n / 16 + 1));
        stream += TakFrameCodec::buildFrame(cipher);
        pos += 1 + n;
        ++frames;
    }
    Session keyed(true);
    keyed.feed(stream, chunking);
    check(keyed.out.closes == 0);  // every frame is within the limit
    keyed.verify();
    check(keyed.out.receipts.size() <= frames);
    return 0;
}
