#pragma once

#include <string>

#include "comm-serd/TakGlobalInfoManager.h"

// Names and defaults of the two databases the server works on. The host, port, user and
// password actually used come from the configuration ([Database] in config/config.ini); the
// values below are its defaults.
inline const std::string g_strDbUser = TakGlobalInfoManager::kDefaultDbUser;
inline const std::string g_strDbPasswd = TakGlobalInfoManager::kDefaultDbPassword;
inline const std::string g_strDbHost = TakGlobalInfoManager::kDefaultDbHost;
inline constexpr unsigned int g_nDbPort = TakGlobalInfoManager::kDefaultDbPort;

// Device registry and pending policies.
inline const std::string g_strSecurityDbName = "security_dev";
// Uploaded audit and system logs.
inline const std::string g_strAuditDbName = "auditEvent_dev";

// Character set of every connection, given before connecting.
inline constexpr const char* g_strDbCharset = "utf8mb4";
