#include "comm-serd/TakThreadManager.h"

#include "comm-serd/TakComUtil.h"
#include "log/TakNanolog.h"

TakThreadManager::TakThreadManager()
    : m_pool(std::make_shared<TakThreadPool>(1, TakComUtil::hardwareThreads(),
                                             std::chrono::seconds(60))) {
    m_pool->start(TakComUtil::hardwareThreads());
}

TakThreadManager::~TakThreadManager() { m_pool->stop(); }

void TakThreadManager::addPacket(std::shared_ptr<STLogPacket> packet) {
    if (!packet) return;
    // The task holds the packet until it has run.
    if (!m_pool->commit([packet = std::move(packet)] {
            if (packet->handler) packet->handler(packet->message);
        })) {
        TAK_LOG_WARN("worker pool stopped: packet dropped");
    }
}

void TakThreadManager::addWork(std::function<void()> work) {
    if (!work) return;
    if (!m_pool->commit(std::move(work))) TAK_LOG_WARN("worker pool stopped: work item dropped");
}

bool TakThreadManager::drain(std::chrono::steady_clock::time_point deadline) {
    if (m_pool->drain(deadline)) return true;
    TAK_LOG_ERROR("worker pool tasks not run at stop:" << m_pool->queuedTaskCount());
    return false;
}
