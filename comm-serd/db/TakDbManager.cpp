#include "comm-serd/db/TakDbManager.h"

#include <utility>

#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "log/TakNanolog.h"

TakDbManager::TakDbManager(STDbSettings settings) : m_settings(std::move(settings)) {}

int TakDbManager::init() {
    STDbSettings const settings =
        m_settings ? *m_settings : TakGlobalInfoManager::getInstance().getDbSettings();
    int result = 0;
    for (const std::string& name : {g_strSecurityDbName, g_strAuditDbName}) {
        auto conn = std::make_shared<TakDbConn>(name);
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
