#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "comm-serd/ITakSessionManager.h"
#include "notifyService.h"

// The console's calls, passed straight to the session manager. Consoles are served on a thread
// each, but their calls reach the session manager one at a time, in the order they take
// m_callMutex.
class notifyServiceHandler : virtual public tak::rpc::notify::notifyServiceIf {
public:
    explicit notifyServiceHandler(std::weak_ptr<ITakSessionManager> sessionManager);

    // From now on a call that gets its turn is answered with an exception at once instead of
    // being carried out, so that a stop does not wait for a queue of one-second host queries.
    void stop();

    void notifyPolicy() override;
    void getDeviceHostInfo(tak::rpc::notify::STHostInfo& result, const std::string& mac) override;
    tak::rpc::notify::ERpcReturnValue::type authDevice(const std::string& mac,
                                                       const bool auth) override;

private:
    // Waits for the call's turn; throws when the service is stopping.
    std::unique_lock<std::mutex> turn();

    std::weak_ptr<ITakSessionManager> m_sessionManager;
    std::mutex m_callMutex;  // held for a whole call; taken before any session-manager lock
    std::atomic<bool> m_stopping{false};
};
