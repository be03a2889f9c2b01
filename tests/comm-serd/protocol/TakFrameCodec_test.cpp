// Reassembly without a socket: the same stream cut into chunks every way must give the same
// bodies, in order, and an impossible length must be refused before anything is buffered.

#include "comm-serd/protocol/TakFrameCodec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kHeader = TakFrameCodec::kHeaderSize;

std::string bodyOf(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string body(n, '\0');
    for (char& c : body) c = static_cast<char>(rng());
    return body;
}

// A frame whose reserved header bytes hold noise; receivers must ignore them.
std::string noisyFrame(const std::string& body, unsigned seed) {
    std::string frame = TakFrameCodec::buildFrame(body);
    std::mt19937 rng(seed);
    for (size_t i = 4; i < kHeader; ++i) frame[i] = static_cast<char>(rng() | 1);
    return frame;
}

struct Collector {
    std::vector<std::string> bodies;
    std::function<void(std::string&&)> callback() {
        return [this](std::string&& body) { bodies.push_back(std::move(body)); };
    }
};

// Feeds stream in chunks whose sizes come from next(); returns the bodies delivered.
template <typename NextSize>
std::vector<std::string> feed(const std::string& stream, NextSize next,
                              uint64_t maxBody = 1 << 20) {
    TakFrameCodec codec(maxBody);
    Collector out;
    size_t pos = 0;
    while (pos < stream.size()) {
        const size_t n = std::min(next(), stream.size() - pos);
        EXPECT_EQ(codec.append(stream.data() + pos, n, out.callback()), TakFrameCodec::Status::Ok);
        pos += n;
    }
    EXPECT_EQ(codec.current().bufferedBytes(), 0u) << "bytes left over";
    return out.bodies;
}

TEST(TakFrameCodec, BuildFrameWritesLittleEndianLengthAndZeros) {
    const std::string payload = bodyOf(70000, 1);  // 0x011170: three length bytes in use
    const std::string frame = TakFrameCodec::buildFrame(payload);
    ASSERT_EQ(frame.size(), kHeader + payload.size());
    EXPECT_EQ(static_cast<unsigned char>(frame[0]), 0x70);
    EXPECT_EQ(static_cast<unsigned char>(frame[1]), 0x11);
    EXPECT_EQ(static_cast<unsigned char>(frame[2]), 0x01);
    EXPECT_EQ(static_cast<unsigned char>(frame[3]), 0x00);
    EXPECT_EQ(frame.substr(4, kHeader - 4), std::string(kHeader - 4, '\0'));
    EXPECT_EQ(frame.substr(kHeader), payload);
    EXPECT_EQ(TakFrameCodec::buildFrame(""), std::string(kHeader, '\0'));
}

// Bodies of awkward sizes, among them L = 0, with noise in the reserved header bytes, cut up
// byte by byte, at header-sized steps, at prime steps, at random and all at once.
TEST(TakFrameCodec, AnyChunkingDeliversTheSameBodiesInOrder) {
    const std::vector<size_t> sizes = {0, 1, 133, 134, 135, 0, 0, 16, 5000, 1, 0, 65536};
    std::vector<std::string> bodies;
    std::string stream;
    for (size_t i = 0; i < sizes.size(); ++i) {
        bodies.push_back(bodyOf(sizes[i], static_cast<unsigned>(i)));
        stream += noisyFrame(bodies.back(), static_cast<unsigned>(100 + i));
    }
    std::mt19937 rng(7);
    const struct {
        const char* name;
        std::function<size_t()> next;
    } chunkings[] = {
        {"byte by byte", [] { return size_t{1}; }},
        {"133", [] { return size_t{133}; }},
        {"134", [] { return size_t{134}; }},
        {"135", [] { return size_t{135}; }},
        {"4093", [] { return size_t{4093}; }},
        {"random", [&rng] { return size_t{1} + rng() % 700; }},
        {"one chunk", [&stream] { return stream.size(); }},
    };
    for (const auto& chunking : chunkings) {
        SCOPED_TRACE(chunking.name);
        EXPECT_EQ(feed(stream, chunking.next), bodies);
    }
}

// A chunk that ends inside the next frame's header: the complete frames are out at once, the
// partial header waits, and the frame is whole when the rest arrives.
TEST(TakFrameCodec, PartialHeaderWaitsForTheRest) {
    const std::string a = bodyOf(300, 1);
    const std::string b = bodyOf(40, 2);
    const std::string stream = noisyFrame(a, 3) + noisyFrame(b, 4);
    const size_t cut = kHeader + a.size() + 60;  // 60 bytes into the second header

    TakFrameCodec codec(1 << 20);
    Collector out;
    ASSERT_EQ(codec.append(stream.data(), cut, out.callback()), TakFrameCodec::Status::Ok);
    ASSERT_EQ(out.bodies, std::vector<std::string>{a});
    EXPECT_FALSE(codec.current().hasHeader());
    EXPECT_EQ(codec.current().bufferedBytes(), 60u);
    EXPECT_EQ(codec.current().bodyLength(), 0u);

    ASSERT_EQ(codec.append(stream.data() + cut, stream.size() - cut, out.callback()),
              TakFrameCodec::Status::Ok);
    EXPECT_EQ(out.bodies, (std::vector<std::string>{a, b}));
}

// Each frame is handed over before the next one of the same chunk is looked at, so a caller
// can switch decoding (plain to encrypted) between two frames of one read.
TEST(TakFrameCodec, FramesAreDeliveredOneAtATimeInStreamOrder) {
    const std::string stream = TakFrameCodec::buildFrame("key") +
                               TakFrameCodec::buildFrame("first") +
                               TakFrameCodec::buildFrame("second");
    bool encrypted = false;
    std::vector<std::string> seen;
    TakFrameCodec codec(1024);
    ASSERT_EQ(codec.append(stream.data(), stream.size(),
                           [&](std::string&& body) {
                               seen.push_back((encrypted ? "enc:" : "plain:") + body);
                               if (body == "key") encrypted = true;
                           }),
              TakFrameCodec::Status::Ok);
    EXPECT_EQ(seen, (std::vector<std::string>{"plain:key", "enc:first", "enc:second"}));
}

TEST(TakFrameCodec, LengthOverTheMaximumIsRefusedWithoutBuffering) {
    const uint64_t max = 1000;
    const struct {
        const char* name;
        uint32_t length;
        bool refused;
    } table[] = {
        {"at the maximum", 1000, false},
        {"one over", 1001, true},
        {"largest 32-bit length", 0xffffffffu, true},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        // A good frame first, then the header in question and some of its body.
        std::string stream = TakFrameCodec::buildFrame("ok");
        std::string header(kHeader, '\0');
        for (int i = 0; i < 4; ++i) header[i] = static_cast<char>(row.length >> (8 * i));
        stream += header + std::string(500, 'x');

        TakFrameCodec codec(max);
        Collector out;
        const TakFrameCodec::Status status =
            codec.append(stream.data(), stream.size(), out.callback());
        EXPECT_EQ(out.bodies, std::vector<std::string>{"ok"});
        if (row.refused) {
            EXPECT_EQ(status, TakFrameCodec::Status::FrameTooLarge);
            EXPECT_EQ(codec.rejectedLength(), row.length);
            EXPECT_EQ(codec.current().bodyBytes(), 0u);
            // The stream cannot be realigned: everything after is refused too.
            EXPECT_EQ(codec.append("abc", 3, out.callback()), TakFrameCodec::Status::FrameTooLarge);
            EXPECT_EQ(out.bodies.size(), 1u);
        } else {
            EXPECT_EQ(status, TakFrameCodec::Status::Ok);
            EXPECT_EQ(codec.rejectedLength(), 0u);
            EXPECT_EQ(codec.current().bodyBytes(), 500u);
        }
    }
}

}  // namespace
