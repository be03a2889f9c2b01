#pragma once

#include <memory>
#include <string>

#include "comm-serd/ITakObject.h"
#include "comm-serd/ITakSessionManager.h"
#include "comm-serd/ITakThreadManager.h"

// Placeholder until the session layer lands.
class TakSessionManager : public ITakSessionManager, public ITakObject {
public:
    TakSessionManager();
    void addSession(int fd, std::shared_ptr<TakSocketChannel> channel) override;
    void policyNotify() override;
    bool synGetHostInfo(const std::string& mac, Tak::HostInfo::ResourceInfoAsr& out) override;
    bool hostAuth(const std::string& mac, bool auth) override;

private:
    std::shared_ptr<ITakThreadManager> m_threadManager;
};
