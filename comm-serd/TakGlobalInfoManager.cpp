#include "comm-serd/TakGlobalInfoManager.h"

#include <INIReader.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <iostream>
#include <system_error>

TakGlobalInfoManager& TakGlobalInfoManager::getInstance() {
    static TakGlobalInfoManager instance;
    return instance;
}

bool TakGlobalInfoManager::loadConfig() {
    std::error_code ec;
    auto const cwd = std::filesystem::current_path(ec);
    return loadConfigFrom(ec ? std::string(".") : cwd.string());
}

bool TakGlobalInfoManager::loadConfigFrom(const std::string& workDir) {
    std::string const configDir = workDir + "/config";
    std::string const file = configDir + "/config.ini";
    INIReader reader(file);

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
    return readLogKeys(reader, file);
}

bool TakGlobalInfoManager::readLogKeys(const INIReader& reader, const std::string& file) {
    auto upper = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        return text;
    };
    auto invalid = [&file](const char* key, const std::string& value, const char* valid) {
        std::cerr << file << ": [Log] " << key << " = \"" << value << "\" is not valid (" << valid
                  << ")" << std::endl;
        return false;
    };
    bool ok = true;

    m_logLevel = kDefaultLogLevel;
    if (reader.HasValue("Log", "Level")) {
        std::string const value = reader.Get("Log", "Level", "");
        std::string const name = upper(value);
        if (name == "INFO") {
            m_logLevel = TakNanolog::LogLevel::INFO;
        } else if (name == "DEBUG") {
            m_logLevel = TakNanolog::LogLevel::DEBUG;
        } else if (name == "WARN") {
            m_logLevel = TakNanolog::LogLevel::WARN;
        } else if (name == "ERROR") {
            m_logLevel = TakNanolog::LogLevel::ERROR;
        } else {
            ok = invalid("Level", value, "DEBUG, INFO, WARN or ERROR");
        }
    }

    m_logConsole = kDefaultLogConsole;
    if (reader.HasValue("Log", "Console")) {
        std::string const value = reader.Get("Log", "Console", "");
        std::string const word = upper(value);
        if (word == "ON" || word == "TRUE" || word == "YES" || word == "1") {
            m_logConsole = true;
        } else if (word == "OFF" || word == "FALSE" || word == "NO" || word == "0") {
            m_logConsole = false;
        } else {
            ok = invalid("Console", value, "on or off") && ok;
        }
    }
    return ok;
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
TakNanolog::LogLevel TakGlobalInfoManager::getLogLevel() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_logLevel;
}
bool TakGlobalInfoManager::getLogConsole() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_logConsole;
}
