#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "log/TakNanoLogLine.h"

class INIReader;

// Connection settings of the MySQL server.
struct STDbSettings {
    std::string host;
    unsigned int port = 0;
    std::string user;
    std::string password;
};

// The configuration, read once at start-up from config/config.ini under the working directory.
// Every getter copies under the mutex.
class TakGlobalInfoManager {
public:
    // Defaults, used for every key the file does not give.
    static constexpr const char* kDefaultIP = "127.0.0.1";
    static constexpr const char* kDefaultPort = "7300";
    static constexpr const char* kDefaultDbHost = "127.0.0.1";
    static constexpr unsigned int kDefaultDbPort = 3306;
    static constexpr const char* kDefaultDbUser = "tak";
    static constexpr const char* kDefaultDbPassword = "kertowan582";
    static constexpr int kDefaultRpcPort = 7400;
    static constexpr const char* kDefaultLogDir = "/var/log/taksecSerd/";
    static constexpr uint64_t kDefaultMaxFrameBytes = 64ull * 1024 * 1024;
    static constexpr uint64_t kDefaultMaxOutputBytes = 64ull * 1024 * 1024;
    static constexpr int kDefaultDeviceLimit = 50000;
    static constexpr TakNanolog::LogLevel kDefaultLogLevel = TakNanolog::LogLevel::DEBUG;
    static constexpr bool kDefaultLogConsole = true;

    static TakGlobalInfoManager& getInstance();

    // Reads config/config.ini under the current working directory. A missing or unreadable
    // file leaves the defaults. False when a value is not valid; each such value has then been
    // reported on standard error (file, section, key and value) and keeps its default.
    [[nodiscard]] bool loadConfig();
    // Same, with the working directory given.
    [[nodiscard]] bool loadConfigFrom(const std::string& workDir);

    std::string getConfigDir();
    std::string getIP();
    std::string getPort();
    STDbSettings getDbSettings();
    int getRpcPort();
    // Always ends with "/".
    std::string getLogDir();
    uint64_t getMaxFrameBytes();
    uint64_t getMaxOutputBytes();
    int getDeviceLimit();
    // [Log] Level: the least severe level kept (TakNanolog::setLevel).
    TakNanolog::LogLevel getLogLevel();
    // [Log] Console: whether the records are echoed on standard output.
    bool getLogConsole();

    TakGlobalInfoManager(const TakGlobalInfoManager&) = delete;
    TakGlobalInfoManager& operator=(const TakGlobalInfoManager&) = delete;

private:
    TakGlobalInfoManager() = default;
    // [Log] Level and Console; false (after reporting) when a value is not valid.
    // Requires: m_mutex held.
    bool readLogKeys(const INIReader& reader, const std::string& file);

    std::recursive_mutex m_mutex;
    std::string m_configDir;
    std::string m_IP;
    std::string m_PORT;
    STDbSettings m_db{kDefaultDbHost, kDefaultDbPort, kDefaultDbUser, kDefaultDbPassword};
    int m_rpcPort = kDefaultRpcPort;
    std::string m_logDir = kDefaultLogDir;
    uint64_t m_maxFrameBytes = kDefaultMaxFrameBytes;
    uint64_t m_maxOutputBytes = kDefaultMaxOutputBytes;
    int m_deviceLimit = kDefaultDeviceLimit;
    TakNanolog::LogLevel m_logLevel = kDefaultLogLevel;
    bool m_logConsole = kDefaultLogConsole;
};
