#include "comm-serd/business/ITakBsService.h"

#include "log/TakNanolog.h"

void ITakBsService::runHandler(const Tak::Business::Businessdata& bs) {
    auto it = m_handlers.find(bs.moduledata().ncommandid());
    if (it != m_handlers.end() && it->second) it->second(bs.moduledata().commanddata());
}

void ITakBsService::reportNoDatabase(const std::string& dbName) {
    if (m_noDatabaseReported.exchange(true)) return;
    TAK_LOG_ERROR("no connection to database, its work is skipped:" << dbName
                                                                    << "session:" << m_id);
}
