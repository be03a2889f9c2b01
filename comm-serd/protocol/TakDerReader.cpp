#include "comm-serd/protocol/TakDerReader.h"

bool TakDerReader::next(unsigned char& tag, std::string_view& content, size_t& total) const {
    if (m_rest.size() < 2) return false;
    tag = static_cast<unsigned char>(m_rest[0]);
    if ((tag & 0x1f) == 0x1f) return false;  // multi-byte tags do not occur here
    const auto first = static_cast<unsigned char>(m_rest[1]);
    size_t header = 2;
    size_t length = first;
    if (first & 0x80) {
        const size_t count = first & 0x7f;
        if (count == 0 || count > 4 || m_rest.size() < 2 + count) return false;  // 0: indefinite
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = (length << 8) | static_cast<unsigned char>(m_rest[2 + i]);
        }
        header += count;
    }
    if (length > m_rest.size() - header) return false;
    content = m_rest.substr(header, length);
    total = header + length;
    return true;
}

bool TakDerReader::peekTag(unsigned char& tag) const {
    std::string_view content;
    size_t total = 0;
    return next(tag, content, total);
}

bool TakDerReader::read(unsigned char tag, std::string_view& content) {
    unsigned char actual = 0;
    std::string_view body;
    size_t total = 0;
    if (!next(actual, body, total) || actual != tag) return false;
    content = body;
    m_rest.remove_prefix(total);
    return true;
}

bool TakDerReader::readSequence(TakDerReader& inner) {
    std::string_view content;
    if (!read(0x30, content)) return false;
    inner = TakDerReader(content);
    return true;
}

bool TakDerReader::readInteger(uint64_t& value) {
    TakDerReader probe = *this;
    std::string_view content;
    if (!probe.read(0x02, content) || content.empty()) return false;
    if (static_cast<unsigned char>(content[0]) & 0x80) return false;  // negative
    while (content.size() > 1 && content[0] == '\0') content.remove_prefix(1);
    if (content.size() > 8) return false;
    uint64_t v = 0;
    for (char c : content) v = (v << 8) | static_cast<unsigned char>(c);
    value = v;
    *this = probe;
    return true;
}
