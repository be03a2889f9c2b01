#pragma once

#include <cstdint>
#include <string_view>

// A cursor over DER bytes (definite lengths only, one-byte tags). Reads never run past the
// bytes given; a failed read leaves the cursor where it was.
class TakDerReader {
public:
    explicit TakDerReader(std::string_view der) : m_rest(der) {}

    bool atEnd() const { return m_rest.empty(); }
    // Tag of the next element; false at the end.
    [[nodiscard]] bool peekTag(unsigned char& tag) const;
    // The next element if it has this tag: its content bytes.
    [[nodiscard]] bool read(unsigned char tag, std::string_view& content);
    // The next element if it is a SEQUENCE: a reader over its content.
    [[nodiscard]] bool readSequence(TakDerReader& inner);
    // The next element if it is a non-negative INTEGER that fits 64 bits.
    [[nodiscard]] bool readInteger(uint64_t& value);

private:
    // Splits the next element off m_rest without consuming it.
    bool next(unsigned char& tag, std::string_view& content, size_t& total) const;

    std::string_view m_rest;
};
