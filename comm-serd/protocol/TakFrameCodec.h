#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "comm-serd/protocol/TakMessage.h"

// Frames of the agent protocol, without any socket: a 134-byte header whose first 4 bytes give
// the body length L (unsigned little-endian; bytes 4..133 are zero on sending and ignored on
// receipt), then L body bytes. One codec per connection collects the chunks read from the
// stream into whole frame bodies. Not thread-safe: the session serialises calls.
class TakFrameCodec {
public:
    static constexpr size_t kHeaderSize = TakMessage::kHeaderSize;

    enum class Status {
        Ok,
        // A header announced more than the maximum body length; see rejectedLength(). The
        // codec refuses everything after it: the connection cannot be realigned.
        FrameTooLarge,
    };

    explicit TakFrameCodec(uint64_t maxBodyBytes);

    // Takes the next chunk of the stream. Every frame completed by it is handed to onFrame at
    // once, in stream order, before the rest of the chunk is looked at, so the callback may
    // change how the caller decodes the next frame (for example after the key exchange). A
    // frame with L = 0 is delivered as an empty body. Bytes after the last complete frame stay
    // buffered for the next call. The callback must not destroy the codec.
    [[nodiscard]] Status append(const char* data, size_t n,
                                const std::function<void(std::string&& body)>& onFrame);

    // Body length announced by the header that made append() return FrameTooLarge; 0 before.
    uint64_t rejectedLength() const { return m_rejectedLength; }
    uint64_t maxBodyBytes() const { return m_maxBodyBytes; }
    // Changes the maximum for the frames whose header is still to come (e.g. after the key
    // exchange, from onFrame).
    void setMaxBodyBytes(uint64_t maxBodyBytes) { m_maxBodyBytes = maxBodyBytes; }
    // The frame being collected.
    const TakMessage& current() const { return m_current; }

    // Header (body length, zeros) followed by the payload, as one block. Empty when the payload
    // is too long for the 32-bit length field.
    static std::string buildFrame(std::string_view payload);

private:
    uint64_t m_maxBodyBytes;
    uint64_t m_rejectedLength = 0;
    bool m_refused = false;
    TakMessage m_current;
};
