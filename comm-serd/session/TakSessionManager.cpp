#include "comm-serd/session/TakSessionManager.h"

#include <algorithm>
#include <chrono>

#include "Tak.Business.pb.h"
#include "Tak.HostInfo.pb.h"
#include "Tak.PolicyNotify.pb.h"
#include "comm-serd/TakLockGuard.h"
#include "comm-serd/TakMetrics.h"
#include "comm-serd/business/TakDeviceStore.h"
#include "comm-serd/business/TakPolicyStore.h"
#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "comm-serd/db/TakDbResult.h"
#include "comm-serd/session/TakDeviceSession.h"
#include "comm-serd/session/TakHostQuery.h"
#include "log/TakNanolog.h"

namespace ComDefine = Tak::ComDefine;

TakSessionManager::TakSessionManager(STDeps deps) : m_deps(std::move(deps)) {
    m_loopThread.start(true);
}

TakSessionManager::~TakSessionManager() { m_loopThread.stop(true); }

std::shared_ptr<TakDbConn> TakSessionManager::securityConnection() {
    return m_deps.connection ? m_deps.connection(g_strSecurityDbName) : nullptr;
}

void TakSessionManager::addSession(uint64_t id, std::shared_ptr<TakSocketChannel> channel) {
    std::weak_ptr<TakSessionManager> weakSelf =
        std::static_pointer_cast<TakSessionManager>(shared_from_this());
    auto session = std::make_shared<TakDeviceSession>(
        id, channel, m_deps.pool, m_deps.session, securityConnection(),
        m_deps.connection ? m_deps.connection(g_strAuditDbName) : nullptr,
        [weakSelf](uint64_t sessionId, const std::string& mac) {
            if (auto self = weakSelf.lock()) self->indexMac(sessionId, mac);
        });
    {
        TakLockGuard lock(m_registryMutex);
        if (m_closing) {
            // Accepted just before the stop: no session is made for it.
            if (channel) channel->close();
            return;
        }
        m_sessions.emplace(id, Entry{session, std::string()});
    }
    session->startReading();
    TakMetrics& metrics = TakMetrics::instance();
    metrics.connectionsAccepted.add();
    metrics.sessionsConnected.add();
    session->sendPubKey1Toclient(m_deps.keyPath);
    session->armHandshakeDeadline(m_deps.handshakeLimit);
    if (channel) {
        channel->setCloseCallback([weakSelf, id, fd = channel->fd()] {
            if (auto self = weakSelf.lock()) self->onChannelClosed(id, fd);
        });
    }
}

void TakSessionManager::closeAll() {
    std::vector<std::shared_ptr<TakBaseSession>> sessions;
    {
        TakLockGuard lock(m_registryMutex);
        m_closing = true;
        for (auto& [id, entry] : m_sessions) sessions.push_back(entry.session);
    }
    for (auto& session : sessions) session->closeSession();
}

void TakSessionManager::onChannelClosed(uint64_t id, int fd) {
    TAK_LOG_DEBUG("close session:" << fd);
    std::shared_ptr<TakBaseSession> removed;
    {
        TakLockGuard lock(m_registryMutex);
        auto it = m_sessions.find(id);
        if (it == m_sessions.end()) return;
        removed = std::move(it->second.session);
        unindexMac(id, it->second.mac);
        m_sessions.erase(it);
    }
    // The key exchange runs on this channel's loop, as this handler does: the state is final.
    TakMetrics& metrics = TakMetrics::instance();
    metrics.sessionsConnected.sub();
    if (removed->keyExchanged()) metrics.sessionsKeyExchanged.sub();
    removed->close();
}

void TakSessionManager::indexMac(uint64_t id, const std::string& mac) {
    TakLockGuard lock(m_registryMutex);
    auto it = m_sessions.find(id);
    if (it == m_sessions.end() || it->second.mac == mac) return;  // closed, or no change
    unindexMac(id, it->second.mac);
    it->second.mac = mac;
    m_byMac[mac].insert(id);
}

void TakSessionManager::unindexMac(uint64_t id, const std::string& mac) {
    auto indexed = m_byMac.find(mac);
    if (indexed == m_byMac.end()) return;
    indexed->second.erase(id);
    if (indexed->second.empty()) m_byMac.erase(indexed);
}

std::vector<std::shared_ptr<TakBaseSession>> TakSessionManager::sessionsWithMac(
    const std::vector<std::string>& macs) {
    std::set<uint64_t> ids;
    std::vector<std::shared_ptr<TakBaseSession>> found;
    TakLockGuard lock(m_registryMutex);
    for (const auto& mac : macs) {
        auto indexed = m_byMac.find(mac);
        if (indexed != m_byMac.end()) ids.insert(indexed->second.begin(), indexed->second.end());
    }
    found.reserve(ids.size());
    for (uint64_t id : ids) {
        auto it = m_sessions.find(id);
        if (it != m_sessions.end()) found.push_back(it->second.session);
    }
    return found;
}

std::vector<STSessionInfo> TakSessionManager::sessionList() {
    std::vector<std::shared_ptr<TakBaseSession>> sessions;
    {
        TakLockGuard lock(m_registryMutex);
        sessions.reserve(m_sessions.size());
        for (const auto& [id, entry] : m_sessions) sessions.push_back(entry.session);
    }
    std::vector<STSessionInfo> list;
    list.reserve(sessions.size());
    for (const auto& session : sessions) list.push_back(session->describe());
    return list;
}

// ---- policy distribution ----

void TakSessionManager::policyNotify() {
    TAK_LOG_DEBUG("notify policy");
    std::weak_ptr<TakSessionManager> weakSelf =
        std::dynamic_pointer_cast<TakSessionManager>(shared_from_this());
    m_deps.pool->addWork([weakSelf] {
        if (auto self = weakSelf.lock()) self->runPolicyPass();
    });
}

void TakSessionManager::runPolicyPass() {
    // Two passes at the same time would both offer the same pending row.
    std::lock_guard<std::mutex> passLock(m_passMutex);
    TakMetrics& metrics = TakMetrics::instance();
    metrics.policyPasses.add();
    auto conn = securityConnection();
    if (!conn) {
        TAK_LOG_ERROR("policy pass: no connection to database" << g_strSecurityDbName);
        return;
    }
    auto rows = TakPolicyStore(*conn).pendingRows();
    if (!rows || rows->rowCount() == 0) return;

    std::set<int> sentIds;
    do {
        switch (sendPolicyRow(conn, *rows, sentIds)) {
            case ERowOutcome::Sent:
                metrics.policyRowsSent.add();
                break;
            case ERowOutcome::NoSession:
                metrics.policyRowsNoSession.add();
                break;
            case ERowOutcome::NoHost:
                metrics.policyRowsNoHost.add();
                break;
            case ERowOutcome::Invalid:
                metrics.policyRowsInvalid.add();
                break;
        }
    } while (rows->next());

    if (sentIds.empty()) return;
    std::weak_ptr<TakSessionManager> weakSelf =
        std::dynamic_pointer_cast<TakSessionManager>(shared_from_this());
    m_loopThread.loop().setTimer(1000, [weakSelf, sentIds](TakTimerID) {
        if (auto self = weakSelf.lock()) self->timeout(sentIds);
    });
}

TakSessionManager::ERowOutcome TakSessionManager::sendPolicyRow(
    const std::shared_ptr<TakDbConn>& conn, TakDbResult& row, std::set<int>& sentIds) {
    if (row.isNull("id") || row.isNull("group_id") || row.isNull("dataType")) {
        TAK_LOG_ERROR(
            "policy row skipped: id, group_id or dataType is NULL; id:" << row.getString("id"));
        return ERowOutcome::Invalid;
    }
    int const id = row.getInt("id");
    int const dataType = row.getInt("dataType");
    std::string const group = row.getString("group_id");
    TAK_LOG_DEBUG("process DataType:" << dataType);
    std::string const protoData = row.getBlob("protoData");
    TAK_LOG_DEBUG("blob data :" << static_cast<uint64_t>(protoData.size()));

    if (!ComDefine::ECmdType_IsValid(dataType)) {
        // Such a command cannot be placed in the message; the console learns why from the row.
        TAK_LOG_ERROR("policy row" << id << "has an invalid dataType" << dataType);
        // A failure is logged by the connection: the row stays pending, and the next pass
        // reports it again.
        TakPolicyStore(*conn).markInvalid(id).ignoreError();
        return ERowOutcome::Invalid;
    }

    auto hosts = TakDeviceStore(*conn).onlineMacsOfGroup(group);
    if (!hosts) return ERowOutcome::NoHost;  // stays pending

    bool sent = false;
    std::vector<std::string> const& macs = *hosts;

    if (!macs.empty()) {
        Tak::PolicyNotify::BusinessPolicyDown down;
        down.set_nid(static_cast<uint32_t>(id));
        auto* policy = down.mutable_bsdata();
        policy->set_nmoduletype(ComDefine::Module_Policy);
        policy->mutable_moduledata()->set_ncommandid(static_cast<ComDefine::ECmdType>(dataType));
        policy->mutable_moduledata()->set_commanddata(protoData);
        Tak::Business::Businessdata business;
        business.set_nmoduletype(ComDefine::Module_Policy);
        business.mutable_moduledata()->set_ncommandid(ComDefine::policy_notify);
        business.mutable_moduledata()->set_commanddata(down.SerializeAsString());
        std::string const businessBytes = business.SerializeAsString();

        for (const auto& session : sessionsWithMac(macs)) {
            auto head = session->buildReqMsgHead(kPolicyTarget);
            head->set_bybusinessdata(businessBytes);
            session->writeBody(head->SerializeAsString());
            sentIds.insert(id);
            sent = true;
        }
    }
    // Only a pending row is handed out: an error an agent already reported (3) stays.
    // A failure is logged by the connection: the row stays pending, and the next pass offers
    // it again.
    TakPolicyStore(*conn).markHandedOut(id).ignoreError();
    return sent ? ERowOutcome::Sent : ERowOutcome::NoSession;
}

void TakSessionManager::timeout(const std::set<int>& ids) {
    TAK_LOG_DEBUG("timeout");
    auto conn = securityConnection();
    if (!conn) {
        TAK_LOG_ERROR("policy time-out: no connection to database" << g_strSecurityDbName);
        return;
    }
    TakPolicyStore policies(*conn);
    for (int id : ids) {
        // A failure is logged by the connection: the row stays handed out; the others go on.
        policies.markDone(id).ignoreError();
    }
}

// ---- host queries and host authorization ----

bool TakSessionManager::synGetHostInfo(const std::string& mac,
                                       Tak::HostInfo::ResourceInfoAsr& out) {
    TAK_LOG_DEBUG("synGetHostInfo rpc");
    TakMetrics::instance().hostQueries.add();
    // The callback holds the query weakly: a late answer, after the wait below has given up,
    // writes nowhere.
    auto query = std::make_shared<TakHostQuery>();

    STReqParams params;
    params.command = ComDefine::hostInfo_getSystemRes;
    params.module = ComDefine::Module_HostInfo;
    std::weak_ptr<TakHostQuery> weakQuery = query;
    params.callback =
        std::make_shared<std::function<void(std::string)>>([weakQuery](std::string data) {
            if (auto q = weakQuery.lock()) q->answer(data);
        });

    std::shared_ptr<TakBaseSession> asked;
    uint32_t seq = 0;
    auto const sessions = sessionsWithMac({mac});
    if (!sessions.empty()) {
        TAK_LOG_DEBUG("strMac:" << mac);
        asked = sessions.front();
        seq = asked->sendReqMsgWithCallback(params);
    }

    if (!query->waitFor(std::chrono::seconds(1), out)) {
        TAK_LOG_DEBUG("Timeout: " << mac);
        TakMetrics::instance().hostQueryTimeouts.add();
        // An agent that never answers must not grow the session's table of pending answers.
        if (asked) asked->dropPending(seq);
        return true;
    }
    TAK_LOG_DEBUG("Result success: " << mac);
    return true;
}

bool TakSessionManager::hostAuth(const std::string& mac, bool auth) {
    auto conn = securityConnection();
    if (!conn) {
        TAK_LOG_ERROR("hostAuth: no connection to database" << g_strSecurityDbName);
        TAK_LOG_DEBUG("authResult:" << 0);
        return false;
    }
    bool result = false;
    auto task = [this, &result, conn, mac, auth] {
        TakDeviceStore devices(*conn);
        TAK_LOG_DEBUG(devices.lookupSql(mac));
        if (!devices.lookup(mac).exists) return;  // not a registered host
        if (!auth) {
            // Every session of the host: a revoked host keeps no connection.
            for (const auto& session : sessionsWithMac({mac})) session->closeSession();
        }
        // Success only once the new state is durable.
        if (devices.setAuthorized(mac, auth).ok()) {
            TAK_LOG_DEBUG("auth process sucess");
            result = true;
        }
    };
    // The task runs to its end on this thread, in time or not (a late one is TimedOut, logged
    // as "Timeout "): what the console is told is what the task did, also past the limit.
    conn->sycProcessReq(std::move(task), 100).ignoreError();
    bool const outcome = result;
    TAK_LOG_DEBUG("authResult:" << (outcome ? 1 : 0));
    return outcome;
}
