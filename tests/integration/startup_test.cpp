// Starts the built daemon in a working directory of its own and stops it by signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/TakDaemonProcess.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The start-up record: from main.cpp's serveInit with the one argument "tcpserver init". Other
// threads log at start-up too (the database connections, the console's listener), so it is not
// always the first INFO record; it is the one from main.cpp's serveInit.
const std::regex kStartupRecord(
    R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{6}\]\[INFO\]\[\d+\])"
    R"(\[[^\]\n]*comm-serd/main\.cpp:serveInit:\d+行\]\ntcpserver init \n\n)");

// The text from the start-up record on; empty when there is none.
std::string fromStartupRecord(const std::string& text) {
    size_t const header = text.find("comm-serd/main.cpp:serveInit:");
    if (header == std::string::npos) return std::string();
    size_t const line = text.rfind('\n', header);
    return text.substr(line == std::string::npos ? 0 : line + 1);
}

const std::regex kRecordHeader(
    R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{6}\]\[(INFO|DEBUG|WARN|ERROR)\]\[\d+\]\[[^\]\n]*:\d+行\]\n)");

std::string describe(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

// Sends the signal and expects an orderly stop: exit status 0 within two seconds, with every
// record on standard output also in the log file, the last one being the daemon's last word.
void expectOrderlyStop(TakDaemonProcess& daemon, int sig) {
    ASSERT_TRUE(daemon.sendSignal(sig));
    auto const sent = std::chrono::steady_clock::now();
    std::optional<int> const status = daemon.waitForExit(5s);
    auto const took = std::chrono::steady_clock::now() - sent;
    ASSERT_TRUE(status.has_value()) << "still running 5 s after " << strsignal(sig);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(*status) << "\n"
                                                                 << daemon.standardError();
    EXPECT_LT(took, 2s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                        << " ms";

    std::string const out = daemon.standardOutput();
    std::string const log = daemon.logText();
    EXPECT_EQ(log, out) << "the log file and the console differ";
    std::string const last = "comm-serd stopped \n\n";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last) << log;
    EXPECT_NE(
        log.find(std::string("stopping on signal ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT")),
        std::string::npos)
        << log;
}

}  // namespace

TEST(StartupTest, StartupRecordIsTcpserverInitOnTheConsoleAndInTheFile) {
    TakDaemonProcess daemon;
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(daemon.waitForOutput("tcpserver init")) << daemon.standardError();
    ASSERT_TRUE(daemon.waitForLog("tcpserver init")) << daemon.standardError();

    std::string const out = daemon.standardOutput();
    EXPECT_TRUE(std::regex_search(fromStartupRecord(out), kStartupRecord,
                                  std::regex_constants::match_continuous))
        << out;
    std::vector<fs::path> const files = daemon.logFiles();
    ASSERT_EQ(files.size(), 1u);
    // The configuration was read from the working directory: the log is where it says.
    EXPECT_EQ(files[0].parent_path(), daemon.workDir() / "logs");
    EXPECT_TRUE(
        std::regex_match(files[0].filename().string(), std::regex(R"(\d{8}_\d{6}\.log\.1\.txt)")))
        << files[0];
    std::string const log = daemon.logText();
    EXPECT_TRUE(std::regex_search(fromStartupRecord(log), kStartupRecord,
                                  std::regex_constants::match_continuous))
        << log;
    EXPECT_TRUE(daemon.running());

    expectOrderlyStop(daemon, SIGTERM);
}

TEST(StartupTest, SigintStopsInTheSameOrder) {
    TakDaemonProcess daemon;
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(daemon.waitForOutput("tcpserver init")) << daemon.standardError();
    expectOrderlyStop(daemon, SIGINT);
}

TEST(StartupTest, ABadConfigurationValueStopsStartUpWithStatus78) {
    TakDaemonProcess::Options options;
    options.config = {{"IPInfo", "PORT", "abc"}, {"Limits", "DeviceLimit", "lots"}};
    TakDaemonProcess daemon(options);
    ASSERT_TRUE(daemon.start());
    std::optional<int> const status = daemon.waitForExit(10s);
    ASSERT_TRUE(status.has_value()) << "the daemon runs on a configuration it misreads";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 78) << describe(*status);

    std::string const errors = daemon.standardError();
    std::string const file = (fs::canonical(daemon.workDir()) / "config" / "config.ini").string();
    EXPECT_NE(errors.find("comm-serd: configuration error: " + file +
                          ": [IPInfo] PORT = \"abc\": expected a whole number from 1 to 65535\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("comm-serd: configuration error: " + file +
                          ": [Limits] DeviceLimit = \"lots\": expected a whole number from 0 to "
                          "1073741824\n"),
              std::string::npos)
        << errors;
    // Nothing was started: no log directory, no record on standard output.
    EXPECT_FALSE(fs::exists(daemon.logDir()));
    EXPECT_EQ(daemon.standardOutput(), "");
}

TEST(StartupTest, LogDirectoryThatCannotBeCreatedDoesNotStopTheDaemon) {
    // A regular file where the log directory's parent should be.
    TakDaemonProcess::Options options;
    options.config.push_back({"Log", "Dir", "blocker/logs"});
    TakDaemonProcess daemon(options);
    std::ofstream(daemon.workDir() / "blocker") << "not a directory";
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(daemon.waitForOutput("tcpserver init")) << daemon.standardError();
    // It goes on to open both ports and is still running then.
    ASSERT_TRUE(daemon.waitForOutput("\nserver listen on port:")) << daemon.standardError();
    ASSERT_TRUE(daemon.waitForOutput("rpc server listen on port:")) << daemon.standardError();
    ASSERT_TRUE(daemon.running()) << daemon.standardError();

    std::string const errors = daemon.standardError();
    EXPECT_NE(errors.find("log directory cannot be created: blocker/logs/"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("log file cannot be opened"), std::string::npos) << errors;

    ASSERT_TRUE(daemon.sendSignal(SIGTERM));
    std::optional<int> const status = daemon.waitForExit(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(*status);
    // The console echo went on to the end.
    std::string const out = daemon.standardOutput();
    EXPECT_NE(out.find("comm-serd stopped"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(fromStartupRecord(out), kStartupRecord,
                                  std::regex_constants::match_continuous));
}

TEST(StartupTest, FatalSignalSavesTheLogAndEndsTheDaemonByThatSignal) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer delivers a signal sent from outside through its own handler at points of
    // its choosing and does not reliably carry out a restored default action; the path is
    // tested in the other builds.
    GTEST_SKIP() << "signals sent to a ThreadSanitizer build are not delivered as in operation";
#endif
    std::vector<int> signals = {SIGABRT};
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // A sanitized daemon keeps these for the sanitizer's own report.
    signals.push_back(SIGSEGV);
    signals.push_back(SIGBUS);
#endif
    for (int sig : signals) {
        SCOPED_TRACE(strsignal(sig));
        TakDaemonProcess daemon;
        ASSERT_TRUE(daemon.start());
        ASSERT_TRUE(daemon.waitForOutput("tcpserver init")) << daemon.standardError();
        // The signal comes once start-up is over: the console port listens and, with a database,
        // the rows have been marked offline. (A SIGABRT sent the moment "tcpserver init" was
        // written has been seen to leave the daemon running, once in 60 signals on a busy
        // machine: what the handler does in the middle of start-up is not what is tested here.)
        ASSERT_TRUE(daemon.waitForOutput("rpc server listen on port:")) << daemon.standardError();
        if (daemon.dbPort() > 0) {
            ASSERT_TRUE(daemon.waitForOutput("devices marked offline at start-up:"));
        }
        ASSERT_TRUE(daemon.sendSignal(sig));
        std::optional<int> const status = daemon.waitForExit(10s);
        ASSERT_TRUE(status.has_value()) << "the daemon survived the signal";
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == sig) << describe(*status);
        std::string const log = daemon.logText();
        EXPECT_TRUE(std::regex_search(fromStartupRecord(log), kStartupRecord,
                                      std::regex_constants::match_continuous))
            << log;
        // Nothing half-written: the file ends after a complete record.
        std::smatch header;
        EXPECT_TRUE(std::regex_search(log, header, kRecordHeader));
        EXPECT_EQ(log.substr(log.size() - 2), "\n\n");
    }
}
