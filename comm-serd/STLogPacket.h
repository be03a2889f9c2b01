#pragma once

#include <functional>
#include <memory>

namespace Tak::Business {
class MessageData;
}

// One inbound envelope and the call to make with it on the worker pool.
struct STLogPacket {
    std::shared_ptr<Tak::Business::MessageData> message;
    std::function<void(std::shared_ptr<Tak::Business::MessageData>)> handler;
};
