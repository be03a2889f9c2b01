#include "comm-serd/TakThreadManager.h"

#include <thread>

#include "log/TakNanolog.h"

namespace {

size_t hardwareThreads() {
    unsigned int const n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

}  // namespace

TakThreadManager::TakThreadManager()
    : m_pool(std::make_shared<TakThreadPool>(1, hardwareThreads(), std::chrono::seconds(60))) {
    m_pool->start(hardwareThreads());
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
