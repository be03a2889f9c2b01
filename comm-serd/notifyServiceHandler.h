#pragma once

#include <memory>
#include <string>

#include "comm-serd/ITakSessionManager.h"
#include "notifyService.h"

// The console's calls, passed straight to the session manager.
class notifyServiceHandler : virtual public tak::rpc::notify::notifyServiceIf {
public:
    explicit notifyServiceHandler(std::weak_ptr<ITakSessionManager> sessionManager);

    void notifyPolicy() override;
    void getDeviceHostInfo(tak::rpc::notify::STHostInfo& result, const std::string& mac) override;
    tak::rpc::notify::ERpcReturnValue::type authDevice(const std::string& mac,
                                                       const bool auth) override;

private:
    std::weak_ptr<ITakSessionManager> m_sessionManager;
};
