#include "comm-serd/protocol/TakFrameCodec.h"

#include <cstring>
#include <limits>
#include <utility>

TakFrameCodec::TakFrameCodec(uint64_t maxBodyBytes) : m_maxBodyBytes(maxBodyBytes) {}

TakFrameCodec::Status TakFrameCodec::append(
    const char* data, size_t n, const std::function<void(std::string&& body)>& onFrame) {
    if (m_refused) return Status::FrameTooLarge;
    while (n > 0) {
        if (!m_current.hasHeader()) {
            const size_t used = m_current.fillHeader(data, n);
            data += used;
            n -= used;
            if (!m_current.hasHeader()) break;
            if (m_current.bodyLength() > m_maxBodyBytes) {
                m_rejectedLength = m_current.bodyLength();
                m_refused = true;
                return Status::FrameTooLarge;
            }
        }
        // With L = 0 this takes nothing and the frame is complete at once.
        const size_t used = m_current.fillBody(data, n);
        data += used;
        n -= used;
        if (!m_current.isComplete()) break;
        // Reset before the callback so that the codec is consistent whatever it does.
        std::string body = std::exchange(m_current, TakMessage()).takeBody();
        onFrame(std::move(body));
    }
    return Status::Ok;
}

std::string TakFrameCodec::buildFrame(std::string_view payload) {
    if (payload.size() > std::numeric_limits<uint32_t>::max()) return {};
    const auto length = static_cast<uint32_t>(payload.size());
    std::string frame(kHeaderSize + payload.size(), '\0');
    frame[0] = static_cast<char>(length & 0xff);
    frame[1] = static_cast<char>((length >> 8) & 0xff);
    frame[2] = static_cast<char>((length >> 16) & 0xff);
    frame[3] = static_cast<char>((length >> 24) & 0xff);
    if (!payload.empty()) std::memcpy(frame.data() + kHeaderSize, payload.data(), payload.size());
    return frame;
}
