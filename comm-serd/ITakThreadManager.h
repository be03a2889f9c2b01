#pragma once

#include <chrono>
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
    // Runs what is queued (and what that queues) until nothing is left or the deadline has
    // passed; true when nothing is left. For the orderly stop: requests already acknowledged
    // are handled before the database queues are written.
    virtual bool drain(std::chrono::steady_clock::time_point deadline) = 0;
};
