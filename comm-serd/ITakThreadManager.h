#pragma once

#include <functional>
#include <memory>

#include "comm-serd/STLogPacket.h"

class ITakThreadManager {
public:
    virtual ~ITakThreadManager() = default;
    // Queues one inbound envelope with its handler; returns at once.
    virtual void addPacket(std::shared_ptr<STLogPacket> packet) = 0;
    // Queues one work item; returns at once.
    virtual void addWork(std::function<void()> work) = 0;
};
