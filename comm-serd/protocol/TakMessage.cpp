#include "comm-serd/protocol/TakMessage.h"

#include <algorithm>
#include <cstring>

size_t TakMessage::fillHeader(const char* data, size_t n) {
    const size_t take = std::min(n, kHeaderSize - m_headerFill);
    if (take > 0) std::memcpy(m_header.data() + m_headerFill, data, take);
    m_headerFill += take;
    return take;
}

uint32_t TakMessage::bodyLength() const {
    if (!hasHeader()) return 0;
    return static_cast<uint32_t>(m_header[0]) | static_cast<uint32_t>(m_header[1]) << 8 |
           static_cast<uint32_t>(m_header[2]) << 16 | static_cast<uint32_t>(m_header[3]) << 24;
}

size_t TakMessage::fillBody(const char* data, size_t n) {
    const size_t missing = bodyLength() - m_body.size();
    const size_t take = std::min(n, missing);
    if (m_body.empty() && take < missing) {
        // A frame that comes in pieces: grow in a few steps, but never reserve much for bytes
        // that have only been announced.
        m_body.reserve(std::min<size_t>(missing, 256 * 1024));
    }
    m_body.append(data, take);
    return take;
}
