#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "comm-serd/ITakSessionManager.h"
#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"
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
    // A call that has its turn (holds m_callMutex) goes on; throws when the service is stopping.
    void throwIfStopping() TAK_REQUIRES(m_callMutex);

    std::weak_ptr<ITakSessionManager> m_sessionManager;
    TakMutex m_callMutex;  // held for a whole call; taken before any session-manager lock
    std::atomic<bool> m_stopping{false};
};
