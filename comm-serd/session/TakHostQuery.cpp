#include "comm-serd/session/TakHostQuery.h"

#include "comm-serd/TakLockGuard.h"
#include "comm-serd/TakUniqueLock.h"

void TakHostQuery::answer(const std::string& data) {
    Tak::HostInfo::ResourceInfoAsr figures;
    figures.ParsePartialFromString(data);
    {
        TakLockGuard lock(m_mutex);
        if (m_hasAnswer) return;
        m_figures = std::move(figures);
        m_hasAnswer = true;
    }
    m_answered.notify_all();
}

bool TakHostQuery::waitFor(std::chrono::milliseconds timeout, Tak::HostInfo::ResourceInfoAsr& out) {
    TakUniqueLock lock(m_mutex);
    if (!m_answered.wait_for(lock.native(), timeout,
                             [this]() TAK_REQUIRES(m_mutex) { return m_hasAnswer; })) {
        return false;
    }
    out.CopyFrom(m_figures);
    return true;
}
