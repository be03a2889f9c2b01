#include "comm-serd/db/TakDbManager.h"

#include <utility>

#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "log/TakNanolog.h"

TakDbManager::TakDbManager(STDbSettings settings) : m_settings(std::move(settings)) {}

TakDbManager::~TakDbManager() { (void)shutdown(std::chrono::steady_clock::now()); }

TakStatus TakDbManager::init() {
    STDbSettings const settings =
        m_settings ? *m_settings : TakGlobalInfoManager::getInstance().getDbSettings();
    uint64_t const maxQueuedBytes = TakGlobalInfoManager::getInstance().getMaxQueuedBytes();
    TakStatus status;
    for (const std::string& name : {g_strSecurityDbName, g_strAuditDbName}) {
        auto conn = std::make_shared<TakDbConn>(name);
        conn->setMaxQueuedBytes(maxQueuedBytes);
        if (status.ok()) {
            status = conn->connect(settings);
        } else {
            // After a failure the remaining databases are not tried now: they connect in the
            // background like the one that failed.
            conn->start(settings);
        }
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_connMap[name] = std::move(conn);
    }
    if (!status.ok()) return status;
    size_t size = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        size = m_connMap.size();
    }
    TAK_LOG_DEBUG("db conn size: " << size);
    return status;
}

std::shared_ptr<TakDbConn> TakDbManager::getDBConn(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_connMap.empty()) return nullptr;
    auto it = m_connMap.find(name);
    return it == m_connMap.end() ? nullptr : it->second;
}

bool TakDbManager::shutdown(std::chrono::steady_clock::time_point deadline) {
    std::map<std::string, std::shared_ptr<TakDbConn>> conns;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        conns = m_connMap;
    }
    // Both drain at the same time: each worker is told first, then each is waited for.
    for (auto& [name, conn] : conns) conn->requestStop(deadline);
    bool complete = true;
    for (auto& [name, conn] : conns) complete = conn->stop(deadline) && complete;
    return complete;
}
