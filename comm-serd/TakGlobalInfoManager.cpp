#include "comm-serd/TakGlobalInfoManager.h"

#include <INIReader.h>

#include <charconv>
#include <filesystem>
#include <system_error>

TakGlobalInfoManager& TakGlobalInfoManager::getInstance() {
    static TakGlobalInfoManager instance;
    return instance;
}

void TakGlobalInfoManager::loadConfig() {
    std::error_code ec;
    auto const cwd = std::filesystem::current_path(ec);
    loadConfigFrom(ec ? std::string(".") : cwd.string());
}

void TakGlobalInfoManager::loadConfigFrom(const std::string& workDir) {
    loadConfigDir(workDir + "/config");
}

void TakGlobalInfoManager::loadConfigDir(const std::string& configDir) {
    INIReader reader(configDir + "/config.ini");

    // A number is plain decimal ("010" is ten, not eight); one that does not parse whole
    // ("7400x") or lies outside its range keeps its default.
    auto integer = [&reader](const char* section, const char* name, long long def, long long min,
                             long long max) {
        std::string const text = reader.Get(section, name, "");
        char const* const first = text.data();
        char const* const last = first + text.size();
        long long v = 0;
        auto const [end, error] = std::from_chars(first, last, v);
        if (text.empty() || error != std::errc() || end != last || v < min || v > max) return def;
        return v;
    };

    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_configDir = configDir;
    m_IP = reader.Get("IPInfo", "IP", kDefaultIP);
    m_PORT = reader.Get("IPInfo", "PORT", kDefaultPort);
    m_db.host = reader.Get("Database", "Host", kDefaultDbHost);
    m_db.port = static_cast<unsigned int>(integer("Database", "Port", kDefaultDbPort, 1, 65535));
    m_db.user = reader.Get("Database", "User", kDefaultDbUser);
    m_db.password = reader.Get("Database", "Password", kDefaultDbPassword);
    m_rpcPort = static_cast<int>(integer("Rpc", "Port", kDefaultRpcPort, 1, 65535));
    m_logDir = reader.Get("Log", "Dir", kDefaultLogDir);
    if (m_logDir.empty()) m_logDir = kDefaultLogDir;
    if (m_logDir.back() != '/') m_logDir += '/';
    m_maxFrameBytes = static_cast<uint64_t>(integer(
        "Limits", "MaxFrameBytes", static_cast<long long>(kDefaultMaxFrameBytes), 1, 0xFFFFFFFFll));
    m_maxOutputBytes = static_cast<uint64_t>(integer(
        "Limits", "MaxOutputBytes", static_cast<long long>(kDefaultMaxOutputBytes), 1, 1ll << 40));
    m_deviceLimit =
        static_cast<int>(integer("Limits", "DeviceLimit", kDefaultDeviceLimit, 0, 1 << 30));
    m_maxQueuedBytes = static_cast<uint64_t>(integer(
        "Limits", "MaxQueuedBytes", static_cast<long long>(kDefaultMaxQueuedBytes), 1, 1ll << 40));
    m_stopDrainSeconds = static_cast<int>(
        integer("Limits", "StopDrainSeconds", kDefaultStopDrainSeconds, 0, 24 * 3600));
    m_handshakeSeconds = static_cast<int>(
        integer("Limits", "HandshakeSeconds", kDefaultHandshakeSeconds, 1, 24 * 3600));
    m_maxPlainFrameBytes = static_cast<uint64_t>(
        integer("Limits", "MaxPlainFrameBytes", static_cast<long long>(kDefaultMaxPlainFrameBytes),
                1, 0xFFFFFFFFll));
    m_keepAliveSeconds = static_cast<int>(
        integer("Limits", "KeepAliveSeconds", kDefaultKeepAliveSeconds, 0, 24 * 3600));
}

std::string TakGlobalInfoManager::getConfigDir() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_configDir;
}
std::string TakGlobalInfoManager::getIP() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_IP;
}
std::string TakGlobalInfoManager::getPort() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_PORT;
}
STDbSettings TakGlobalInfoManager::getDbSettings() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_db;
}
int TakGlobalInfoManager::getRpcPort() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_rpcPort;
}
std::string TakGlobalInfoManager::getLogDir() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_logDir;
}
uint64_t TakGlobalInfoManager::getMaxFrameBytes() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_maxFrameBytes;
}
uint64_t TakGlobalInfoManager::getMaxOutputBytes() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_maxOutputBytes;
}
int TakGlobalInfoManager::getDeviceLimit() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_deviceLimit;
}
uint64_t TakGlobalInfoManager::getMaxQueuedBytes() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_maxQueuedBytes;
}
int TakGlobalInfoManager::getStopDrainSeconds() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_stopDrainSeconds;
}
int TakGlobalInfoManager::getHandshakeSeconds() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_handshakeSeconds;
}
uint64_t TakGlobalInfoManager::getMaxPlainFrameBytes() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_maxPlainFrameBytes;
}
int TakGlobalInfoManager::getKeepAliveSeconds() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_keepAliveSeconds;
}
