#include "comm-serd/session/TakHostQuery.h"

void TakHostQuery::answer(const std::string& data) {
    Tak::HostInfo::ResourceInfoAsr figures;
    figures.ParsePartialFromString(data);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_hasAnswer) return;
        m_figures = std::move(figures);
        m_hasAnswer = true;
    }
    m_answered.notify_all();
}

bool TakHostQuery::waitFor(std::chrono::milliseconds timeout, Tak::HostInfo::ResourceInfoAsr& out) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_answered.wait_for(lock, timeout, [this] { return m_hasAnswer; })) return false;
    out.CopyFrom(m_figures);
    return true;
}
