#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm-serd/TakConfigReader.h"
#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"

#include "log/TakNanoLogLine.h"

// Connection settings of the MySQL server.
struct STDbSettings {
    std::string host;
    unsigned int port = 0;
    std::string user;
    std::string password;
};

// The console's Thrift service.
struct STRpcSettings {
    std::string bind;  // a numeric address, or empty for every interface
    int port = 0;
    int maxConnections = 0;
    int callTimeoutSeconds = 0;
};

// The operators' HTTP endpoint (metrics, health, sessions) and the periodic summary.
struct STAdminSettings {
    std::string listen;  // "HOST:PORT" as configured; empty: no endpoint
    std::string host;    // split from listen
    int port = 0;
    int summarySeconds = 0;  // 0: no periodic summary
};

// The configuration as one value: read once, never changed afterwards. Defaults are those of
// TakGlobalInfoManager.
struct STConfig;

// The configuration, read once at start-up from config.ini in the configuration directory:
// config/ under the working directory, or the directory given with the daemon's --config.
// Each load makes a new immutable STConfig; the getters read the current one without waiting
// for anything but the pointer's copy.
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
    static constexpr int kDefaultRpcMaxConnections = 32;
    static constexpr int kDefaultRpcCallTimeoutSeconds = 30;
    static constexpr const char* kDefaultLogDir = "/var/log/taksecSerd/";
    static constexpr uint64_t kDefaultMaxFrameBytes = 64ull * 1024 * 1024;
    static constexpr uint64_t kDefaultMaxOutputBytes = 64ull * 1024 * 1024;
    static constexpr int kDefaultDeviceLimit = 50000;
    static constexpr uint64_t kDefaultMaxQueuedBytes = 256ull * 1024 * 1024;
    static constexpr int kDefaultStopDrainSeconds = 30;
    static constexpr int kDefaultHandshakeSeconds = 30;
    static constexpr uint64_t kDefaultMaxPlainFrameBytes = 64 * 1024;
    static constexpr int kDefaultKeepAliveSeconds = 60;
    static constexpr const char* kDefaultAdminListen = "127.0.0.1:7401";
    static constexpr int kDefaultSummarySeconds = 60;

    static constexpr TakNanolog::LogLevel kDefaultLogLevel = TakNanolog::LogLevel::DEBUG;
    static constexpr bool kDefaultLogConsole = true;

    static TakGlobalInfoManager& getInstance();

    // Reads config/config.ini under the current working directory. A missing file gives every
    // default. Returns what is wrong with the file: a value its key cannot take (that key keeps
    // its default), a line that is no setting, a file that cannot be read. The daemon does not
    // start on a file with errors.
    [[nodiscard]] std::vector<STConfigError> loadConfig();
    // Same, with the working directory given.
    [[nodiscard]] std::vector<STConfigError> loadConfigFrom(const std::string& workDir);
    // Reads configDir/config.ini; the server key is then looked for in configDir too.
    [[nodiscard]] std::vector<STConfigError> loadConfigDir(const std::string& configDir);

    // The configuration read by the latest load (the defaults before any).
    std::shared_ptr<const STConfig> config();
    // Reads configDir/config.ini into a value; what is wrong with the file goes to *errors.
    static STConfig read(const std::string& configDir, std::vector<STConfigError>* errors);

    std::string getConfigDir();
    std::string getIP();
    std::string getPort();
    STDbSettings getDbSettings();
    int getRpcPort();
    STRpcSettings getRpcSettings();
    // Always ends with "/".
    std::string getLogDir();
    uint64_t getMaxFrameBytes();
    uint64_t getMaxOutputBytes();
    int getDeviceLimit();
    // Bytes of database work (uploads) queued per connection before reading from the agents
    // whose uploads wait is paused.
    uint64_t getMaxQueuedBytes();
    // Time the orderly stop may spend writing queued database work.
    int getStopDrainSeconds();
    // Time an agent has to complete the key exchange before its connection is closed.
    int getHandshakeSeconds();
    // Longest frame body taken before the key exchange (the key answer is small).
    uint64_t getMaxPlainFrameBytes();
    // Idle seconds before TCP keepalive probes an agent's connection (0: no keepalive).
    int getKeepAliveSeconds();
    STAdminSettings getAdminSettings();
    // [Log] Level: the least severe level kept (TakNanolog::setLevel).
    TakNanolog::LogLevel getLogLevel();
    // [Log] Console: whether the records are echoed on standard output.
    bool getLogConsole();

    TakGlobalInfoManager(const TakGlobalInfoManager&) = delete;
    TakGlobalInfoManager& operator=(const TakGlobalInfoManager&) = delete;

private:
    TakGlobalInfoManager();

    TakMutex m_mutex;
    std::shared_ptr<const STConfig> m_config TAK_GUARDED_BY(m_mutex);  // never null
};

struct STConfig {
    std::string configDir;
    std::string ip = TakGlobalInfoManager::kDefaultIP;
    std::string port = TakGlobalInfoManager::kDefaultPort;
    STDbSettings db{TakGlobalInfoManager::kDefaultDbHost, TakGlobalInfoManager::kDefaultDbPort,
                    TakGlobalInfoManager::kDefaultDbUser, TakGlobalInfoManager::kDefaultDbPassword};
    STRpcSettings rpc{"", TakGlobalInfoManager::kDefaultRpcPort,
                      TakGlobalInfoManager::kDefaultRpcMaxConnections,
                      TakGlobalInfoManager::kDefaultRpcCallTimeoutSeconds};
    std::string logDir = TakGlobalInfoManager::kDefaultLogDir;
    uint64_t maxFrameBytes = TakGlobalInfoManager::kDefaultMaxFrameBytes;
    uint64_t maxOutputBytes = TakGlobalInfoManager::kDefaultMaxOutputBytes;
    int deviceLimit = TakGlobalInfoManager::kDefaultDeviceLimit;
    uint64_t maxQueuedBytes = TakGlobalInfoManager::kDefaultMaxQueuedBytes;
    int stopDrainSeconds = TakGlobalInfoManager::kDefaultStopDrainSeconds;
    int handshakeSeconds = TakGlobalInfoManager::kDefaultHandshakeSeconds;
    uint64_t maxPlainFrameBytes = TakGlobalInfoManager::kDefaultMaxPlainFrameBytes;
    int keepAliveSeconds = TakGlobalInfoManager::kDefaultKeepAliveSeconds;
    STAdminSettings admin;
    TakNanolog::LogLevel logLevel = TakGlobalInfoManager::kDefaultLogLevel;
    bool logConsole = TakGlobalInfoManager::kDefaultLogConsole;
};
