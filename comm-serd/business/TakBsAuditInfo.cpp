#include "comm-serd/business/TakBsAuditInfo.h"

#include "log/TakNanolog.h"

TakBsAuditInfo::TakBsAuditInfo(int id,
                               std::map<Tak::PolicyNotify::EAuditUpType, std::string> tableNames,
                               std::shared_ptr<TakDbConn> db)
    : m_tableNames(std::move(tableNames)) {
    m_id = id;
    m_dbConn = std::move(db);
    m_handlers[Tak::ComDefine::policy_auditUp] = [this](const std::string& data) {
        processAuditUpload(data);
    };
    m_handlers[Tak::ComDefine::policy_auditReset] = [this](const std::string& data) {
        processReset(data);
    };
}

TakBsAuditInfo::~TakBsAuditInfo() = default;

void TakBsAuditInfo::processBs(const Tak::Business::Businessdata& bs) { runHandler(bs); }

void TakBsAuditInfo::processAuditUpload(const std::string&) {}

void TakBsAuditInfo::processReset(const std::string&) {}

void TakBsAuditInfo::close() { TAK_LOG_DEBUG("close"); }
