#pragma once

#include <memory>

#include "comm-serd/ITakObject.h"
#include "comm-serd/ITakThreadManager.h"
#include "comm-serd/TakThreadPool.h"

// The shared worker pool: inbound requests, answer callbacks and policy passes run here.
class TakThreadManager : public ITakThreadManager, public ITakObject {
public:
    TakThreadManager();
    ~TakThreadManager() override;

    void addPacket(std::shared_ptr<STLogPacket> packet) override;
    void addWork(std::function<void()> work) override;
    bool drain(std::chrono::steady_clock::time_point deadline) override;

    TakThreadPool& pool() { return *m_pool; }

private:
    std::shared_ptr<TakThreadPool> m_pool;
};
