#include "comm-serd/TakGlobalInfoManager.h"

#include <filesystem>
#include <system_error>

#include "comm-serd/TakLockGuard.h"

TakGlobalInfoManager::TakGlobalInfoManager() : m_config(std::make_shared<const STConfig>()) {}

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

STConfig TakGlobalInfoManager::read(const std::string& configDir,
                                    std::vector<STConfigError>* errors) {
    TakConfigReader reader(configDir + "/config.ini");
    STConfig c;
    c.configDir = configDir;
    c.ip = reader.text("IPInfo", "IP", kDefaultIP);
    // Held as text, as the agents' listener has always taken it, but checked like every port.
    c.port = std::to_string(reader.number("IPInfo", "PORT", std::stoi(kDefaultPort), 1, 65535));
    c.db.host = reader.text("Database", "Host", kDefaultDbHost);
    c.db.port = reader.number("Database", "Port", kDefaultDbPort, 1u, 65535u);
    c.db.user = reader.text("Database", "User", kDefaultDbUser);
    c.db.password = reader.text("Database", "Password", kDefaultDbPassword);
    c.rpc.bind = reader.address("Rpc", "Bind", "");
    c.rpc.port = reader.number("Rpc", "Port", kDefaultRpcPort, 1, 65535);
    c.rpc.maxConnections =
        reader.number("Rpc", "MaxConnections", kDefaultRpcMaxConnections, 1, 1024);
    c.rpc.callTimeoutSeconds =
        reader.number("Rpc", "CallTimeoutSeconds", kDefaultRpcCallTimeoutSeconds, 1, 3600);
    c.logDir = reader.text("Log", "Dir", kDefaultLogDir);
    if (c.logDir.empty()) c.logDir = kDefaultLogDir;
    if (c.logDir.back() != '/') c.logDir += '/';
    c.maxFrameBytes = reader.number("Limits", "MaxFrameBytes", kDefaultMaxFrameBytes, uint64_t{1},
                                    uint64_t{0xFFFFFFFF});
    c.maxOutputBytes = reader.number("Limits", "MaxOutputBytes", kDefaultMaxOutputBytes,
                                     uint64_t{1}, uint64_t{1} << 40);
    c.deviceLimit = reader.number("Limits", "DeviceLimit", kDefaultDeviceLimit, 0, 1 << 30);
    c.maxQueuedBytes = reader.number("Limits", "MaxQueuedBytes", kDefaultMaxQueuedBytes,
                                     uint64_t{1}, uint64_t{1} << 40);
    c.stopDrainSeconds =
        reader.number("Limits", "StopDrainSeconds", kDefaultStopDrainSeconds, 0, 24 * 3600);
    c.handshakeSeconds =
        reader.number("Limits", "HandshakeSeconds", kDefaultHandshakeSeconds, 1, 24 * 3600);
    c.maxPlainFrameBytes = reader.number("Limits", "MaxPlainFrameBytes", kDefaultMaxPlainFrameBytes,
                                         uint64_t{1}, uint64_t{0xFFFFFFFF});
    c.keepAliveSeconds =
        reader.number("Limits", "KeepAliveSeconds", kDefaultKeepAliveSeconds, 0, 24 * 3600);
    c.admin = STAdminSettings{};
    c.admin.listen = reader.hostPort("Admin", "Listen", kDefaultAdminListen);
    if (!c.admin.listen.empty()) {
        (void)TakConfigReader::splitHostPort(c.admin.listen, &c.admin.host, &c.admin.port);
    }
    c.admin.summarySeconds =
        reader.number("Admin", "SummarySeconds", kDefaultSummarySeconds, 0, 24 * 3600);
    // Listed in the order of the level values.
    c.logLevel = static_cast<TakNanolog::LogLevel>(
        reader.oneOf("Log", "Level", static_cast<std::size_t>(kDefaultLogLevel),
                     {"INFO", "DEBUG", "WARN", "ERROR"}));
    c.logConsole = reader.flag("Log", "Console", kDefaultLogConsole);
    if (errors) *errors = reader.errors();
    return c;
}

std::vector<STConfigError> TakGlobalInfoManager::loadConfigDir(const std::string& configDir) {
    std::vector<STConfigError> errors;
    auto config = std::make_shared<const STConfig>(read(configDir, &errors));
    TakLockGuard lock(m_mutex);
    m_config = std::move(config);
    return errors;
}

std::shared_ptr<const STConfig> TakGlobalInfoManager::config() {
    TakLockGuard lock(m_mutex);
    return m_config;
}

std::string TakGlobalInfoManager::getConfigDir() { return config()->configDir; }
std::string TakGlobalInfoManager::getIP() { return config()->ip; }
std::string TakGlobalInfoManager::getPort() { return config()->port; }
STDbSettings TakGlobalInfoManager::getDbSettings() { return config()->db; }
int TakGlobalInfoManager::getRpcPort() { return config()->rpc.port; }
STRpcSettings TakGlobalInfoManager::getRpcSettings() { return config()->rpc; }
std::string TakGlobalInfoManager::getLogDir() { return config()->logDir; }
uint64_t TakGlobalInfoManager::getMaxFrameBytes() { return config()->maxFrameBytes; }
uint64_t TakGlobalInfoManager::getMaxOutputBytes() { return config()->maxOutputBytes; }
int TakGlobalInfoManager::getDeviceLimit() { return config()->deviceLimit; }
uint64_t TakGlobalInfoManager::getMaxQueuedBytes() { return config()->maxQueuedBytes; }
int TakGlobalInfoManager::getStopDrainSeconds() { return config()->stopDrainSeconds; }
int TakGlobalInfoManager::getHandshakeSeconds() { return config()->handshakeSeconds; }
uint64_t TakGlobalInfoManager::getMaxPlainFrameBytes() { return config()->maxPlainFrameBytes; }
STAdminSettings TakGlobalInfoManager::getAdminSettings() { return config()->admin; }
int TakGlobalInfoManager::getKeepAliveSeconds() { return config()->keepAliveSeconds; }
TakNanolog::LogLevel TakGlobalInfoManager::getLogLevel() { return config()->logLevel; }
bool TakGlobalInfoManager::getLogConsole() { return config()->logConsole; }
