#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "comm-serd/ITakObject.h"
#include "comm-serd/ITakSessionManager.h"
#include "comm-serd/ITakThreadManager.h"
#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"
#include "comm-serd/net/TakEventLoopThread.h"
#include "comm-serd/session/TakBaseSession.h"

class TakDbConn;
class TakDbResult;

// Knows every connected agent: admits each accepted connection as a device session, starts its
// key exchange and removes it when the connection closes. Carries the console's operations that
// find sessions by MAC address: policy distribution, host queries and host authorization.
//
// The registry: sessions by connection id (never reused, so a closing connection can only ever
// remove its own session), and an index of the ids by the MAC address each agent reported.
//
// Locks: m_registryMutex guards the registry and the index and is taken last: nothing else is
// locked or called while it is held (sessions are looked up under it and used after it). So it
// may be taken from anywhere, a database task included. m_passMutex is taken before anything
// else and only by policy passes.
class TakSessionManager : public ITakSessionManager, public ITakObject {
public:
    static constexpr const char* kPolicyTarget = "taksecd";

    // What the sessions need, handed in by whoever builds the manager.
    struct STDeps {
        std::shared_ptr<ITakThreadManager> pool;
        // The database connection of a name, or null; asked when a session is made and by
        // the console's operations.
        std::function<std::shared_ptr<TakDbConn>(const std::string&)> connection;
        TakBaseSession::STSettings session;
        std::string keyPath;  // the server key file for the key offers
        std::chrono::seconds handshakeLimit{0};
    };

    explicit TakSessionManager(STDeps deps);
    ~TakSessionManager();

    void addSession(uint64_t id, std::shared_ptr<TakSocketChannel> channel) override;
    void closeAll() override;
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
    struct Entry {
        std::shared_ptr<TakBaseSession> session;
        std::string mac;  // the MAC address the agent reported last; empty before
    };

    void onChannelClosed(uint64_t id, int fd);
    // The agent of session id reported mac (from the session's strand).
    void indexMac(uint64_t id, const std::string& mac);
    // Takes session id out of the index entry of mac (none for an empty mac).
    void unindexMac(uint64_t id, const std::string& mac) TAK_REQUIRES(m_registryMutex);
    // The sessions whose agents reported one of macs, in admission order.
    std::vector<std::shared_ptr<TakBaseSession>> sessionsWithMac(
        const std::vector<std::string>& macs);
    std::shared_ptr<TakDbConn> securityConnection();

    enum class ERowOutcome { Sent, NoSession, NoHost, Invalid };
    ERowOutcome sendPolicyRow(const std::shared_ptr<TakDbConn>& conn, TakDbResult& row,
                              std::set<int>& sentIds);

    const STDeps m_deps;
    TakMutex m_registryMutex;
    std::map<uint64_t, Entry> m_sessions TAK_GUARDED_BY(m_registryMutex);
    std::unordered_map<std::string, std::set<uint64_t>> m_byMac TAK_GUARDED_BY(m_registryMutex);
    bool m_closing TAK_GUARDED_BY(m_registryMutex) = false;
    TakEventLoopThread m_loopThread;                              // runs the policy time-out timers
    std::mutex m_passMutex;                                       // one policy pass at a time
};
