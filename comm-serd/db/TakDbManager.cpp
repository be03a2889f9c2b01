#include "comm-serd/db/TakDbManager.h"

#include <thread>
#include <utility>
#include <vector>

#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "log/TakNanolog.h"

TakDbManager::TakDbManager(STDbSettings settings) : m_settings(std::move(settings)) {}

TakDbManager::~TakDbManager() { (void)shutdown(std::chrono::steady_clock::now()); }

int TakDbManager::init() {
    STDbSettings const settings =
        m_settings ? *m_settings : TakGlobalInfoManager::getInstance().getDbSettings();
    uint64_t const maxQueuedBytes = TakGlobalInfoManager::getInstance().getMaxQueuedBytes();
    int result = 0;
    for (const std::string& name : {g_strSecurityDbName, g_strAuditDbName}) {
        auto conn = std::make_shared<TakDbConn>(name);
        conn->setMaxQueuedBytes(maxQueuedBytes);
        if (result == 0) {
            result = conn->connect(settings);
        } else {
            // After a failure the remaining databases are not tried now: they connect in the
            // background like the one that failed.
            conn->start(settings);
        }
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_connMap[name] = std::move(conn);
    }
    if (result != 0) return result;
    size_t size = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        size = m_connMap.size();
    }
    TAK_LOG_DEBUG("db conn size: " << size);
    return 0;
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
    bool complete = true;
    // Both drain at the same time, each up to the deadline.
    std::vector<std::thread> stoppers;
    std::vector<char> written(conns.size(), 1);
    size_t i = 0;
    for (auto& [name, conn] : conns) {
        stoppers.emplace_back([&, c = conn, slot = i++] { written[slot] = c->stop(deadline); });
    }
    for (auto& t : stoppers) t.join();
    for (char w : written) complete = complete && w != 0;
    return complete;
}
