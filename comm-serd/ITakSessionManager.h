#pragma once

#include <cstdint>
#include <memory>
#include <string>

class TakSocketChannel;
namespace Tak::HostInfo {
class ResourceInfoAsr;
}

// The registry of agent sessions. Pure interface: no data, no virtual destructor (the factory
// owns the concrete object through a shared_ptr of its own type).
class ITakSessionManager {
public:
    // Admits an accepted connection (on its loop thread) under the connection's id.
    virtual void addSession(uint64_t id, std::shared_ptr<TakSocketChannel> channel) = 0;
    // Closes every session; a connection admitted afterwards is closed at once. For the stop.
    virtual void closeAll() = 0;
    virtual void policyNotify() = 0;
    virtual bool synGetHostInfo(const std::string& mac, Tak::HostInfo::ResourceInfoAsr& out) = 0;
    virtual bool hostAuth(const std::string& mac, bool auth) = 0;

protected:
    ~ITakSessionManager() = default;
};
