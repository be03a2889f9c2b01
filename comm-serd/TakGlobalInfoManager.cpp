#include "comm-serd/TakGlobalInfoManager.h"

#include <filesystem>
#include <system_error>

#include "comm-serd/TakLockGuard.h"

TakGlobalInfoManager& TakGlobalInfoManager::getInstance() {
    static TakGlobalInfoManager instance;
    return instance;
}

std::vector<STConfigError> TakGlobalInfoManager::loadConfig() {
    std::error_code ec;
    auto const cwd = std::filesystem::current_path(ec);
    return loadConfigFrom(ec ? std::string(".") : cwd.string());
}

std::vector<STConfigError> TakGlobalInfoManager::loadConfigFrom(const std::string& workDir) {
    return loadConfigDir(workDir + "/config");
}

std::vector<STConfigError> TakGlobalInfoManager::loadConfigDir(const std::string& configDir) {
    TakConfigReader reader(configDir + "/config.ini");

    TakLockGuard lock(m_mutex);
    m_configDir = configDir;
    m_IP = reader.text("IPInfo", "IP", kDefaultIP);
    // Held as text, as the agents' listener has always taken it, but checked like every port.
    m_PORT = std::to_string(reader.number("IPInfo", "PORT", std::stoi(kDefaultPort), 1, 65535));
    m_db.host = reader.text("Database", "Host", kDefaultDbHost);
    m_db.port = reader.number("Database", "Port", kDefaultDbPort, 1u, 65535u);
    m_db.user = reader.text("Database", "User", kDefaultDbUser);
    m_db.password = reader.text("Database", "Password", kDefaultDbPassword);
    m_rpc.bind = reader.address("Rpc", "Bind", "");
    m_rpc.port = reader.number("Rpc", "Port", kDefaultRpcPort, 1, 65535);
    m_rpc.maxConnections =
        reader.number("Rpc", "MaxConnections", kDefaultRpcMaxConnections, 1, 1024);
    m_rpc.callTimeoutSeconds =
        reader.number("Rpc", "CallTimeoutSeconds", kDefaultRpcCallTimeoutSeconds, 1, 3600);
    m_logDir = reader.text("Log", "Dir", kDefaultLogDir);
    if (m_logDir.empty()) m_logDir = kDefaultLogDir;
    if (m_logDir.back() != '/') m_logDir += '/';
    m_maxFrameBytes = reader.number("Limits", "MaxFrameBytes", kDefaultMaxFrameBytes, uint64_t{1},
                                    uint64_t{0xFFFFFFFF});
    m_maxOutputBytes = reader.number("Limits", "MaxOutputBytes", kDefaultMaxOutputBytes,
                                     uint64_t{1}, uint64_t{1} << 40);
    m_deviceLimit = reader.number("Limits", "DeviceLimit", kDefaultDeviceLimit, 0, 1 << 30);
    m_maxQueuedBytes = reader.number("Limits", "MaxQueuedBytes", kDefaultMaxQueuedBytes,
                                     uint64_t{1}, uint64_t{1} << 40);
    m_stopDrainSeconds =
        reader.number("Limits", "StopDrainSeconds", kDefaultStopDrainSeconds, 0, 24 * 3600);
    m_handshakeSeconds =
        reader.number("Limits", "HandshakeSeconds", kDefaultHandshakeSeconds, 1, 24 * 3600);
    m_maxPlainFrameBytes = reader.number("Limits", "MaxPlainFrameBytes", kDefaultMaxPlainFrameBytes,
                                         uint64_t{1}, uint64_t{0xFFFFFFFF});
    m_keepAliveSeconds =
        reader.number("Limits", "KeepAliveSeconds", kDefaultKeepAliveSeconds, 0, 24 * 3600);
    m_admin = STAdminSettings{};
    m_admin.listen = reader.hostPort("Admin", "Listen", kDefaultAdminListen);
    if (!m_admin.listen.empty()) {
        (void)TakConfigReader::splitHostPort(m_admin.listen, &m_admin.host, &m_admin.port);
    }
    m_admin.summarySeconds =
        reader.number("Admin", "SummarySeconds", kDefaultSummarySeconds, 0, 24 * 3600);
    // Listed in the order of the level values.
    m_logLevel = static_cast<TakNanolog::LogLevel>(
        reader.oneOf("Log", "Level", static_cast<std::size_t>(kDefaultLogLevel),
                     {"INFO", "DEBUG", "WARN", "ERROR"}));
    m_logConsole = reader.flag("Log", "Console", kDefaultLogConsole);
    return reader.errors();
}

std::string TakGlobalInfoManager::getConfigDir() {
    TakLockGuard lock(m_mutex);
    return m_configDir;
}
std::string TakGlobalInfoManager::getIP() {
    TakLockGuard lock(m_mutex);
    return m_IP;
}
std::string TakGlobalInfoManager::getPort() {
    TakLockGuard lock(m_mutex);
    return m_PORT;
}
STDbSettings TakGlobalInfoManager::getDbSettings() {
    TakLockGuard lock(m_mutex);
    return m_db;
}
int TakGlobalInfoManager::getRpcPort() {
    TakLockGuard lock(m_mutex);
    return m_rpc.port;
}
STRpcSettings TakGlobalInfoManager::getRpcSettings() {
    TakLockGuard lock(m_mutex);
    return m_rpc;
}
std::string TakGlobalInfoManager::getLogDir() {
    TakLockGuard lock(m_mutex);
    return m_logDir;
}
uint64_t TakGlobalInfoManager::getMaxFrameBytes() {
    TakLockGuard lock(m_mutex);
    return m_maxFrameBytes;
}
uint64_t TakGlobalInfoManager::getMaxOutputBytes() {
    TakLockGuard lock(m_mutex);
    return m_maxOutputBytes;
}
int TakGlobalInfoManager::getDeviceLimit() {
    TakLockGuard lock(m_mutex);
    return m_deviceLimit;
}
uint64_t TakGlobalInfoManager::getMaxQueuedBytes() {
    TakLockGuard lock(m_mutex);
    return m_maxQueuedBytes;
}
int TakGlobalInfoManager::getStopDrainSeconds() {
    TakLockGuard lock(m_mutex);
    return m_stopDrainSeconds;
}
int TakGlobalInfoManager::getHandshakeSeconds() {
    TakLockGuard lock(m_mutex);
    return m_handshakeSeconds;
}
uint64_t TakGlobalInfoManager::getMaxPlainFrameBytes() {
    TakLockGuard lock(m_mutex);
    return m_maxPlainFrameBytes;
}
STAdminSettings TakGlobalInfoManager::getAdminSettings() {
    TakLockGuard lock(m_mutex);
    return m_admin;
}
int TakGlobalInfoManager::getKeepAliveSeconds() {
    TakLockGuard lock(m_mutex);
    return m_keepAliveSeconds;
}
TakNanolog::LogLevel TakGlobalInfoManager::getLogLevel() {
    TakLockGuard lock(m_mutex);
    return m_logLevel;
}
bool TakGlobalInfoManager::getLogConsole() {
    TakLockGuard lock(m_mutex);
    return m_logConsole;
}
