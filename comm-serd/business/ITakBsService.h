#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Tak.Business.pb.h"
#include "Tak.ComDefine.pb.h"

class TakDbConn;

// A business service of one device session: runs the handler registered for a command with
// the command's data.
class ITakBsService {
public:
    virtual ~ITakBsService() = default;

    // Runs the handler of moduleData.nCommandId with its commandData; other commands are ignored.
    virtual void processBs(const Tak::Business::Businessdata& bs) = 0;
    // The owning session closes.
    virtual void close() {}
    // The raw byBusinessdata of an error envelope from the agent.
    virtual void processErr(const std::string&) {}
    // True when the device this service speaks for has one of these MAC addresses.
    virtual bool isHasMac(const std::vector<std::string>&) { return false; }

protected:
    uint64_t m_id = 0;                    // the owning session's connection id, the task id
    std::shared_ptr<TakDbConn> m_dbConn;  // the service's database connection
    std::mutex m_mutex;                   // for the service's own use
    std::map<Tak::ComDefine::ECmdType, std::function<void(const std::string&)>> m_handlers;

    // Runs the registered handler of the command, if any.
    void runHandler(const Tak::Business::Businessdata& bs);
    // The service has no connection to its database (it could not be opened): its database work
    // is skipped. Logged at ERROR once per service.
    void reportNoDatabase(const std::string& dbName);

private:
    std::atomic<bool> m_noDatabaseReported{false};
};
