#include "comm-serd/protocol/TakDerWriter.h"

std::string TakDerWriter::tlv(unsigned char tag, std::string_view content) {
    std::string out(1, static_cast<char>(tag));
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<char>(n));
    } else {
        std::string len;
        for (size_t v = n; v != 0; v >>= 8) len.insert(len.begin(), static_cast<char>(v & 0xff));
        out.push_back(static_cast<char>(0x80 | len.size()));
        out += len;
    }
    out.append(content);
    return out;
}

std::string TakDerWriter::integer(uint64_t value) {
    std::string bytes;
    do {
        bytes.insert(bytes.begin(), static_cast<char>(value & 0xff));
        value >>= 8;
    } while (value != 0);
    // Non-negative: a leading byte with the top bit set needs a zero before it.
    if (static_cast<unsigned char>(bytes[0]) & 0x80) bytes.insert(bytes.begin(), '\0');
    return tlv(kInteger, bytes);
}

std::string TakDerWriter::bitString(std::string_view bytes) {
    std::string content(1, '\0');
    content.append(bytes);
    return tlv(kBitString, content);
}

std::string TakDerWriter::explicitTag(unsigned int n, std::string_view content) {
    return tlv(static_cast<unsigned char>(0xa0 | (n & 0x1f)), content);
}
