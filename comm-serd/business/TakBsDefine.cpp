#include "comm-serd/business/TakBsDefine.h"

const std::map<Tak::PolicyNotify::EAuditUpType, std::string>& takAuditTableNames() {
    using namespace Tak::PolicyNotify;
    static const std::map<EAuditUpType, std::string> names = {
        {auditUpType_secLog, "secureLog_record"},
        {auditUpType_switchInfo, "systemLog_switchInfo"},
        {auditUpType_systemInfo, "systemLog_systemInfo"},
        {auditUpType_startInfo, "systemLog_startInfo"},
        {auditUpType_packetInfo, "systemLog_packetInfo"},
        {auditUpType_kernelInfo, "systemLog_kernelInfo"},
        {auditUpType_softUpdateInfo, "systemLog_softUpdateInfo"},
        {auditUpType_printInfo, "systemLog_printInfo"},
        {auditUpType_recordInfo, "systemLog_recordInfo"},
        {auditUpType_auditInfo, "systemLog_auditInfo"},
        {auditUpType_sessionInfo, "systemLog_sessionInfo"},
        {auditUpType_xorgInfo, "systemLog_xorgInfo"},
        {auditUpType_appInfo, "systemLog_appInfo"},
        {auditUpType_debug, "systemLog_debugLevelInfo"},
        {auditUpType_info, "systemLog_infoLevelInfo"},
        {auditUpType_notice, "systemLog_noticeLevelInfo"},
        {auditUpType_warning, "systemLog_warningLevelInfo"},
        {auditUpType_err, "systemLog_errLevelInfo"},
        {auditUpType_crit, "systemLog_critLevelInfo"},
        {auditUpType_alert, "systemLog_alertLevelInfo"},
        {auditUpType_emerg, "systemLog_emergLevelInfo"},
    };
    return names;
}
