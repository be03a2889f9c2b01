#pragma once

#include <map>
#include <string>

#include "Tak.PolicyNotify.pb.h"

// Names under which a device session keeps its business services.
inline const std::string g_bsDeviceId = "takNetDevice";
inline const std::string g_bsAuditId = "takNetLog";

// The table each kind of uploaded log is stored in. auditUpType_unkonw and auditUpType_count
// have none.
const std::map<Tak::PolicyNotify::EAuditUpType, std::string>& takAuditTableNames();
