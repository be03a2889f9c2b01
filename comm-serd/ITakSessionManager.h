#pragma once

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
    virtual void addSession(int fd, std::shared_ptr<TakSocketChannel> channel) = 0;
    virtual void policyNotify() = 0;
    virtual bool synGetHostInfo(const std::string& mac, Tak::HostInfo::ResourceInfoAsr& out) = 0;
    virtual bool hostAuth(const std::string& mac, bool auth) = 0;

protected:
    ~ITakSessionManager() = default;
};
