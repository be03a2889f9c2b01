#include "comm-serd/TakThreadManager.h"

#include <thread>

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
    m_pool->commit([packet = std::move(packet)] {
        if (packet->handler) packet->handler(packet->message);
    });
}

void TakThreadManager::addWork(std::function<void()> work) {
    m_pool->commit([work = std::move(work)] {
        if (work) work();
    });
}
