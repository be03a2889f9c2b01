// Agent bytes from the socket to the parsed envelope: frame reassembly under any chunking, the
// plain key-answer path, SM4 decryption under a fixed session key and the protobuf parses of
// the envelope and the command messages the server reads.
//
// Input: byte 0 picks the mode and byte 1 the chunking, the rest is data.
//   mode even: the data is a raw stream as an agent may send it;
//   mode odd:  the data is a list of plaintext bodies (each preceded by a length byte) that
//              are encrypted and framed as an agent would, so the parsers see real plaintext
//              after decryption, and decryption must give back exactly what was encrypted.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Tak.Base.pb.h"
#include "Tak.Business.pb.h"
#include "Tak.HostInfo.pb.h"
#include "Tak.PolicyNotify.pb.h"
#include "Tak.SecureLog.pb.h"
#include "Tak.SystemLog.pb.h"
#include "comm-serd/session/TakFrameCodec.h"
#include "comm-serd/session/TakKeyExchange.h"
#include "comm-serd/session/TakSmCrypto.h"

namespace {

const TakKeyExchange::KeyMaterial kMaterial = {
    0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10,
    0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

const TakSm2Key& ephemeralKey() {
    static const TakSm2Key key = TakSm2Key::generate();
    return key;
}

template <typename T>
void parseAs(const std::string& bytes) {
    T message;
    if (message.ParsePartialFromString(bytes)) (void)message.SerializePartialAsString();
}

// What the session and the services do with a decrypted body.
void parseEnvelope(const std::string& plain) {
    Tak::Business::MessageData envelope;
    (void)envelope.ParsePartialFromString(plain);
    (void)envelope.ndatatype();
    Tak::Business::Businessdata bs;
    if (!bs.ParsePartialFromString(envelope.bybusinessdata())) return;
    parseAs<Tak::Base::MsgError>(envelope.bybusinessdata());
    const std::string& command = bs.moduledata().commanddata();
    parseAs<Tak::PolicyNotify::DeviceInfoUp>(command);
    parseAs<Tak::HostInfo::ResourceInfoAsr>(command);
    Tak::PolicyNotify::AuditContentUpReq upload;
    if (upload.ParsePartialFromString(command)) {
        parseAs<Tak::SecureLog::AuditContentAsr>(upload.bylogdata());
        parseAs<Tak::SystemLog::SystemLogContentAsr>(upload.bylogdata());
    }
    parseAs<Tak::PolicyNotify::AuditLogResetReq>(command);
}

void onBody(const std::string& body) {
    // Before the exchange: a plain key answer.
    std::string command;
    if (TakKeyExchange::parseKeyAnswer(body, command)) {
        TakKeyExchange::KeyMaterial material = kMaterial;
        if (TakKeyExchange::acceptKeyAnswer(ephemeralKey(), command, material) !=
            TakKeyExchange::AnswerStatus::Accepted) {
            if (material != kMaterial) std::abort();  // written although refused
        }
    }
    // After it: decrypt, then parse; and the body itself, as if it were the plaintext.
    std::vector<unsigned char> out(body.size());
    size_t outLen = 0;
    if (sm4Decrypt(kMaterial.data(), reinterpret_cast<const unsigned char*>(body.data()),
                   body.size(), out.data(), &outLen) == 1) {
        if (outLen > body.size() || body.size() - outLen > 16) std::abort();
        parseEnvelope(std::string(reinterpret_cast<const char*>(out.data()), outLen));
    }
    parseEnvelope(body);
}

// Feeds stream to a codec in chunks of sizes drawn from the chunking byte.
std::vector<std::string> reassemble(std::string_view stream, uint8_t chunking) {
    std::vector<std::string> bodies;
    TakFrameCodec codec(1 << 16);
    size_t pos = 0;
    uint32_t state = chunking | 1u;
    while (pos < stream.size()) {
        state = state * 1103515245u + 12345u;
        const size_t n = std::min<size_t>(stream.size() - pos, 1 + (state >> 16) % 300);
        if (codec.append(stream.data() + pos, n, [&](std::string&& body) {
                bodies.push_back(std::move(body));
            }) != TakFrameCodec::Status::Ok) {
            if (codec.rejectedLength() <= codec.maxBodyBytes()) std::abort();
            break;
        }
        pos += n;
    }
    return bodies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const uint8_t chunking = data[1];
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);

    if ((mode & 1) == 0) {
        for (const std::string& body : reassemble(rest, chunking)) onBody(body);
        return 0;
    }

    std::vector<std::string> plains;
    std::string stream;
    for (size_t pos = 0; pos < rest.size();) {
        const size_t n = std::min<size_t>(static_cast<uint8_t>(rest[pos]), rest.size() - pos - 1);
        plains.emplace_back(rest.substr(pos + 1, n));
        pos += 1 + n;
        const std::string cipher = TakSmCrypto::sm4Encrypt(kMaterial.data(), plains.back());
        if (cipher.size() != 16 * (plains.back().size() / 16 + 1)) std::abort();
        stream += TakFrameCodec::buildFrame(cipher);
    }
    const std::vector<std::string> bodies = reassemble(stream, chunking);
    if (bodies.size() != plains.size()) std::abort();
    for (size_t i = 0; i < bodies.size(); ++i) {
        std::string plain;
        if (!TakSmCrypto::sm4Decrypt(kMaterial.data(), bodies[i], plain) || plain != plains[i]) {
            std::abort();
        }
        parseEnvelope(plain);
    }
    return 0;
}
