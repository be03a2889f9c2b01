#include "comm-serd/TakGlobalInfoManager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/TakTempDir.h"

namespace fs = std::filesystem;

namespace {

TakGlobalInfoManager& config() { return TakGlobalInfoManager::getInstance(); }

struct ConfigCase {
    const char* name;
    std::string file;
    std::function<void()> check;
};

}  // namespace

TEST(TakGlobalInfoManagerTest, ReadsTheFileUnderTheGivenWorkingDirectory) {
    const std::vector<ConfigCase> cases = {
        {"complete IPInfo", "[IPInfo]\nIP = 10.1.2.3\nPORT = 7301\n",
         [] {
             EXPECT_EQ(config().getIP(), "10.1.2.3");
             EXPECT_EQ(config().getPort(), "7301");
         }},
        {"names without regard to case", "[ipinfo]\nport=7500\n",
         [] {
             EXPECT_EQ(config().getPort(), "7500");
             EXPECT_EQ(config().getIP(), "127.0.0.1");
         }},
        {"inline comment after white space", "[IPInfo]\nPORT = 7500 ; agents\n",
         [] { EXPECT_EQ(config().getPort(), "7500"); }},
        {"comment lines", "# hash\n; semicolon\n[IPInfo]\n# PORT = 1\nPORT=7501\n",
         [] { EXPECT_EQ(config().getPort(), "7501"); }},
        {"other section only", "[Other]\nPORT=1\n",
         [] {
             EXPECT_EQ(config().getPort(), "7300");
             EXPECT_EQ(config().getIP(), "127.0.0.1");
         }},
        {"database and RPC",
         "[Database]\nHost=db.local\nPort=13306\nUser=u\nPassword=p;w\n[rpc]\nport=7401\n",
         [] {
             STDbSettings const db = config().getDbSettings();
             EXPECT_EQ(db.host, "db.local");
             EXPECT_EQ(db.port, 13306u);
             EXPECT_EQ(db.user, "u");
             EXPECT_EQ(db.password, "p;w");  // ";" without white space before it is no comment
             EXPECT_EQ(config().getRpcPort(), 7401);
         }},
        {"numbers are decimal", "[Rpc]\nPort = 010\n[IPInfo]\nPORT = 07300\n",
         [] {
             EXPECT_EQ(config().getRpcPort(), 10);
             EXPECT_EQ(config().getPort(), "7300");
         }},
        {"console settings",
         "[Rpc]\nBind = 127.0.0.1\nMaxConnections = 2\nCallTimeoutSeconds = 5\n",
         [] {
             STRpcSettings const rpc = config().getRpcSettings();
             EXPECT_EQ(rpc.bind, "127.0.0.1");
             EXPECT_EQ(rpc.port, 7400);
             EXPECT_EQ(rpc.maxConnections, 2);
             EXPECT_EQ(rpc.callTimeoutSeconds, 5);
         }},
        {"log directory gets its final slash", "[Log]\nDir = /tmp/tak logs\n",
         [] { EXPECT_EQ(config().getLogDir(), "/tmp/tak logs/"); }},
        {"empty log directory keeps the default", "[Log]\nDir =\n",
         [] { EXPECT_EQ(config().getLogDir(), "/var/log/taksecSerd/"); }},
        {"admin endpoint", "[Admin]\nListen = [::1]:9100\nSummarySeconds = 0\n",
         [] {
             STAdminSettings const admin = config().getAdminSettings();
             EXPECT_EQ(admin.listen, "[::1]:9100");
             EXPECT_EQ(admin.host, "::1");
             EXPECT_EQ(admin.port, 9100);
             EXPECT_EQ(admin.summarySeconds, 0);
         }},
        {"admin endpoint off", "[Admin]\nListen =\n",
         [] {
             EXPECT_EQ(config().getAdminSettings().listen, "");
             EXPECT_EQ(config().getAdminSettings().port, 0);
         }},
        {"limits", "[Limits]\nMaxFrameBytes=1048576\nMaxOutputBytes=2097152\nDeviceLimit=0\n",
         [] {
             EXPECT_EQ(config().getMaxFrameBytes(), 1048576u);
             EXPECT_EQ(config().getMaxOutputBytes(), 2097152u);
             EXPECT_EQ(config().getDeviceLimit(), 0);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TakTempDir dir;
        dir.writeFile("config/config.ini", c.file);
        std::vector<STConfigError> const errors = config().loadConfigFrom(dir.path().string());
        EXPECT_TRUE(errors.empty()) << errors[0].describe();
        EXPECT_EQ(config().getConfigDir(), dir.path().string() + "/config");
        c.check();
    }
}

TEST(TakGlobalInfoManagerTest, LogLevelAndConsole) {
    using TakNanolog::LogLevel;
    struct Case {
        std::string file;
        LogLevel level;
        bool console;
    };
    const std::vector<Case> cases = {
        {"", LogLevel::DEBUG, true},
        {"[Log]\nLevel = INFO\nConsole = off\n", LogLevel::INFO, false},
        {"[log]\nlevel = warn ; quieter\nconsole = ON\n", LogLevel::WARN, true},
        {"[Log]\nLevel=Error\nConsole=false\n", LogLevel::ERROR, false},
        {"[Log]\nLevel=debug\nConsole=no\n", LogLevel::DEBUG, false},
        {"[Log]\nConsole=1\n", LogLevel::DEBUG, true},
        {"[Log]\nConsole=0\n", LogLevel::DEBUG, false},
        {"[Log]\nConsole=yes\nLevel=Info\n", LogLevel::INFO, true},
        {"[Log]\nConsole=True\n", LogLevel::DEBUG, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        TakTempDir dir;
        dir.writeFile("config/config.ini", c.file);
        std::vector<STConfigError> const errors = config().loadConfigFrom(dir.path().string());
        EXPECT_TRUE(errors.empty()) << errors[0].describe();
        EXPECT_EQ(config().getLogLevel(), c.level);
        EXPECT_EQ(config().getLogConsole(), c.console);
    }
}

TEST(TakGlobalInfoManagerTest, LogValueThatIsNotValidIsReportedWithFileSectionKeyAndValue) {
    struct Case {
        std::string file;
        std::vector<std::string> reports;
    };
    const std::vector<Case> cases = {
        {"[Log]\nLevel = verbose\n", {"[Log] Level = \"verbose\": expected INFO, DEBUG"}},
        {"[Log]\nLevel = WARNING\n", {"[Log] Level = \"WARNING\": expected"}},
        {"[Log]\nLevel = 0\n", {"[Log] Level = \"0\": expected"}},
        {"[Log]\nLevel =\n", {"[Log] Level = \"\": expected"}},
        {"[Log]\nConsole = maybe\n", {"[Log] Console = \"maybe\": expected on, off"}},
        {"[Log]\nLevel = loud\nConsole = 2\n",
         {"[Log] Level = \"loud\": expected", "[Log] Console = \"2\": expected"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        TakTempDir dir;
        dir.writeFile("config/config.ini", c.file);
        std::string errors;
        for (const auto& error : config().loadConfigFrom(dir.path().string())) {
            errors += error.describe() + "\n";
        }
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'),
                  static_cast<std::ptrdiff_t>(c.reports.size()))
            << errors;
        for (const auto& report : c.reports) {
            EXPECT_NE(errors.find(dir.path().string() + "/config/config.ini: " + report),
                      std::string::npos)
                << errors;
        }
        // The value that is not valid keeps its default.
        EXPECT_EQ(config().getLogLevel(), TakNanolog::LogLevel::DEBUG);
        EXPECT_TRUE(config().getLogConsole());
    }
}

TEST(TakGlobalInfoManagerTest, MissingFileGivesEveryDefaultAndForgetsAnEarlierLoad) {
    TakTempDir earlier;
    earlier.writeFile("config/config.ini",
                      "[IPInfo]\nIP=10.0.0.1\nPORT=7600\n[Rpc]\nPort=7601\n[Log]\nDir=/x\n");
    ASSERT_TRUE(config().loadConfigFrom(earlier.path().string()).empty());
    ASSERT_EQ(config().getPort(), "7600");

    TakTempDir empty;
    EXPECT_TRUE(config().loadConfigFrom(empty.path().string()).empty());
    EXPECT_EQ(config().getConfigDir(), empty.path().string() + "/config");
    EXPECT_EQ(config().getIP(), "127.0.0.1");
    EXPECT_EQ(config().getPort(), "7300");
    EXPECT_EQ(config().getRpcPort(), 7400);
    STRpcSettings const rpc = config().getRpcSettings();
    EXPECT_EQ(rpc.bind, "");
    EXPECT_EQ(rpc.maxConnections, 32);
    EXPECT_EQ(rpc.callTimeoutSeconds, 30);
    EXPECT_EQ(config().getLogDir(), "/var/log/taksecSerd/");
    STDbSettings const db = config().getDbSettings();
    EXPECT_EQ(db.host, "127.0.0.1");
    EXPECT_EQ(db.port, 3306u);
    EXPECT_EQ(db.user, "tak");
    EXPECT_EQ(db.password, "kertowan582");
    EXPECT_EQ(config().getMaxFrameBytes(), 64u * 1024 * 1024);
    EXPECT_EQ(config().getDeviceLimit(), 50000);
    STAdminSettings const admin = config().getAdminSettings();
    EXPECT_EQ(admin.listen, "127.0.0.1:7401");
    EXPECT_EQ(admin.host, "127.0.0.1");
    EXPECT_EQ(admin.port, 7401);
    EXPECT_EQ(admin.summarySeconds, 60);
}

TEST(TakGlobalInfoManagerTest, LoadConfigLooksUnderTheCurrentWorkingDirectory) {
    TakTempDir dir;
    dir.writeFile("config/config.ini", "[IPInfo]\nPORT=7700\n");
    fs::path const previous = fs::current_path();
    fs::current_path(dir.path());
    std::vector<STConfigError> const errors = config().loadConfig();
    fs::current_path(previous);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(config().getPort(), "7700");
    EXPECT_EQ(fs::path(config().getConfigDir()), fs::canonical(dir.path()) / "config");
}

TEST(TakGlobalInfoManagerTest, EveryNumericKeyIsCheckedAndEveryBadOneReported) {
    // One bad value for each numeric key: each is reported, in the order of the file's keys as
    // the daemon reads them, and keeps its default.
    TakTempDir dir;
    dir.writeFile("config/config.ini",
                  "[IPInfo]\nPORT = abc\n[Database]\nPort = 0\n[Rpc]\nPort = 7401x\nBind = "
                  "any\nMaxConnections = 0\nCallTimeoutSeconds =\n[Limits]\nMaxFrameBytes = "
                  "4294967296\nMaxOutputBytes = -1\nDeviceLimit = lots\n[Admin]\nListen = "
                  "localhost:7401\nSummarySeconds = 1m\n");
    std::vector<STConfigError> const errors = config().loadConfigFrom(dir.path().string());
    std::vector<std::string> keys;
    for (const auto& e : errors) keys.push_back(e.section + " " + e.key + " " + e.value);
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "IPInfo PORT abc", "Database Port 0", "Rpc Bind any", "Rpc Port 7401x",
                        "Rpc MaxConnections 0", "Rpc CallTimeoutSeconds ",
                        "Limits MaxFrameBytes 4294967296", "Limits MaxOutputBytes -1",
                        "Limits DeviceLimit lots", "Admin Listen localhost:7401",
                        "Admin SummarySeconds 1m"}));
    EXPECT_EQ(config().getAdminSettings().listen, "127.0.0.1:7401");
    EXPECT_EQ(config().getPort(), "7300");
    EXPECT_EQ(config().getDeviceLimit(), 50000);
    EXPECT_EQ(config().getRpcSettings().maxConnections, 32);
    for (const auto& e : errors) EXPECT_EQ(e.file, dir.path().string() + "/config/config.ini");
}

TEST(TakGlobalInfoManagerTest, TheShippedFileIsReadWithoutErrorsAndShowsTheDefaults) {
    std::vector<STConfigError> const errors = config().loadConfigFrom(TAK_SOURCE_DIR);
    EXPECT_TRUE(errors.empty()) << errors[0].describe();
    EXPECT_EQ(config().getPort(), "7300");
    EXPECT_EQ(config().getRpcPort(), 7400);
    STRpcSettings const rpc = config().getRpcSettings();
    EXPECT_EQ(rpc.bind, "");
    EXPECT_EQ(rpc.maxConnections, 32);
    EXPECT_EQ(rpc.callTimeoutSeconds, 30);
    EXPECT_EQ(config().getDbSettings().port, 3306u);
    EXPECT_EQ(config().getMaxFrameBytes(), 64u * 1024 * 1024);
    EXPECT_EQ(config().getMaxOutputBytes(), 64u * 1024 * 1024);
    EXPECT_EQ(config().getDeviceLimit(), 50000);
    STAdminSettings const admin = config().getAdminSettings();
    EXPECT_EQ(admin.listen, "127.0.0.1:7401");
    EXPECT_EQ(admin.host, "127.0.0.1");
    EXPECT_EQ(admin.port, 7401);
    EXPECT_EQ(admin.summarySeconds, 60);
}
