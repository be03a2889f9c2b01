#pragma once

#include <map>
#include <memory>
#include <string>

#include "Tak.PolicyNotify.pb.h"
#include "comm-serd/business/ITakBsService.h"

// Stores the logs an agent uploads, one table per log type, and deletes a device's rows of one
// type on request.
class TakBsAuditInfo : public ITakBsService {
public:
    TakBsAuditInfo(int id, std::map<Tak::PolicyNotify::EAuditUpType, std::string> tableNames,
                   std::shared_ptr<TakDbConn> db);
    ~TakBsAuditInfo() override;

    void processBs(const Tak::Business::Businessdata& bs) override;
    void close() override;

private:
    void processAuditUpload(const std::string& data);
    void processReset(const std::string& data);

    std::map<Tak::PolicyNotify::EAuditUpType, std::string> m_tableNames;
};
