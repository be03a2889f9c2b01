#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "comm-serd/ITakObject.h"
#include "comm-serd/ITakSessionManager.h"
#include "comm-serd/ITakThreadManager.h"
#include "comm-serd/net/TakEventLoopThread.h"
#include "comm-serd/session/TakBaseSession.h"

class TakDbConn;
class TakDbResult;

// Knows every connected agent: admits each accepted connection as a device session, starts its
// key exchange and removes it when the connection closes. Carries the console's operations that
// walk the registry: policy distribution, host queries and host authorization.
//
// Locks: the registry lock is the ITakObject mutex. Lock order: the security connection's handle
// lock, then the registry lock, then a session's service lock, then its session lock. A session's
// close() runs after the registry lock is released. m_passMutex is taken before anything else
// and only by policy passes.
class TakSessionManager : public ITakSessionManager, public ITakObject {
public:
    static constexpr const char* kPolicyTarget = "taksecd";

    TakSessionManager();
    ~TakSessionManager();

    void addSession(int fd, std::shared_ptr<TakSocketChannel> channel) override;
    // Queues one policy pass on the worker pool and returns at once.
    void policyNotify() override;
    bool synGetHostInfo(const std::string& mac, Tak::HostInfo::ResourceInfoAsr& out) override;
    bool hostAuth(const std::string& mac, bool auth) override;

    // The sessions as an operator sees them, in admission order.
    std::vector<STSessionInfo> sessionList();

    // One policy pass (runs on a pool worker; passes run one at a time).
    void runPolicyPass();
    // The time-out pass of the policy rows one pass handed to at least one session.
    void timeout(const std::set<int>& ids);

private:
    void onChannelClosed(int fd, const std::weak_ptr<TakBaseSession>& session);
    enum class ERowOutcome { Sent, NoSession, NoHost, Invalid };
    ERowOutcome sendPolicyRow(const std::vector<std::weak_ptr<TakBaseSession>>& snapshot,
                              const std::shared_ptr<TakDbConn>& conn, TakDbResult& row,
                              std::set<int>& sentIds);

    std::vector<std::shared_ptr<TakBaseSession>> m_sessions;  // guarded by the registry lock
    std::shared_ptr<ITakThreadManager> m_threadManager;
    TakEventLoopThread m_loopThread;  // runs the policy time-out timers
    std::mutex m_passMutex;           // one policy pass at a time
};
