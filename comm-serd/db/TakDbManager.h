#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "comm-serd/ITakDbManager.h"
#include "comm-serd/ITakObject.h"
#include "comm-serd/TakGlobalInfoManager.h"

class TakDbConn;

// Opens the two database connections (security, then audit) and hands them out by database
// name. Created once by the factory; its map is filled by init() and not changed afterwards.
class TakDbManager : public ITakDbManager, public ITakObject {
public:
    // Connection settings from the configuration, read when init() runs.
    TakDbManager() = default;
    // Connection settings given (tests, tools).
    explicit TakDbManager(STDbSettings settings);
    // Ends the workers of connections not yet shut down, dropping what they have queued.
    ~TakDbManager() override;

    // Opens the connections: Ok when both are open ("db conn size: " is logged), otherwise the
    // status of the first that failed (Failed: client handle or character set; Refused: by the
    // server, or unreachable; logged). A connection that failed, and those after it, are still
    // stored: they keep connecting in the background, so the server needs no restart once the
    // database is up.
    TakStatus init() override;
    // The connection of a database (g_strSecurityDbName, g_strAuditDbName), or an empty
    // pointer for any other name (or before init()).
    std::shared_ptr<TakDbConn> getDBConn(const std::string& name) override;
    // Both connections drain at the same time, each up to the deadline.
    bool shutdown(std::chrono::steady_clock::time_point deadline) override;

private:
    std::optional<STDbSettings> m_settings;
    std::map<std::string, std::shared_ptr<TakDbConn>> m_connMap;  // guarded by m_mutex
};
