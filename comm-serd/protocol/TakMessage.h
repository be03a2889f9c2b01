#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The frame being collected from an agent's stream: the 134-byte header as far as it has
// arrived, then the body bytes received so far. A new TakMessage has an all-zero header, so its
// body length reads 0 until the whole header is in.
class TakMessage {
public:
    static constexpr size_t kHeaderSize = 134;

    // Copies up to the missing part of the header from data; returns how many bytes it took.
    size_t fillHeader(const char* data, size_t n);
    bool hasHeader() const { return m_headerFill == kHeaderSize; }
    // Body length L announced by the header (bytes 0..3, unsigned little-endian); 0 until the
    // header is complete. Bytes 4..133 are not looked at.
    uint32_t bodyLength() const;
    const std::array<unsigned char, kHeaderSize>& header() const { return m_header; }

    // Appends up to the missing part of the body from data; returns how many bytes it took.
    // requires: hasHeader()
    size_t fillBody(const char* data, size_t n);
    // Body bytes received so far.
    uint64_t bodyBytes() const { return m_body.size(); }
    // Header and body both complete.
    bool isComplete() const { return hasHeader() && m_body.size() == bodyLength(); }
    // Moves the body out; the message is spent afterwards.
    std::string takeBody() { return std::move(m_body); }
    // Buffered bytes of this frame, header included.
    uint64_t bufferedBytes() const { return m_headerFill + m_body.size(); }

private:
    std::array<unsigned char, kHeaderSize> m_header{};
    size_t m_headerFill = 0;
    std::string m_body;
};
