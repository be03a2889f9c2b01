#include "log/TakLog.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "log/TakNanoLogger.h"
#include "support/TakLogState.h"
#include "support/TakTempDir.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> names(fs::path const& dir) {
    std::set<std::string> out;
    for (auto const& entry : fs::directory_iterator(dir)) out.insert(entry.path().filename());
    return out;
}

std::string logFilesText(fs::path const& dir) {
    std::string text;
    for (auto const& name : names(dir)) {
        if (name.find(".log.") != std::string::npos) text += TakTempDir::readFile(dir / name);
    }
    return text;
}

class TakLogTest : public testing::Test {
protected:
    TakLogState m_state;
    TakTempDir m_dir;
};

}  // namespace

TEST_F(TakLogTest, StartWithThirtyOneFilesLeavesThirtyWithTheNewLogNewest) {
    auto const base = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (int i = 0; i < 31; ++i) {
        fs::path const file = m_dir.path() / ("old" + std::to_string(i) + ".log.1.txt");
        std::ofstream(file) << i;
        fs::last_write_time(file, base + std::chrono::seconds(i));
    }
    fs::create_directory(m_dir.path() / "archive");
    fs::last_write_time(m_dir.path() / "archive", base - std::chrono::hours(1));

    TakLog::instance().initLog(false, m_dir.dirWithSlash());
    std::string const current = TakLog::instance().currentLogFile();

    std::set<std::string> const left = names(m_dir.path());
    EXPECT_EQ(left.size(), 31u);  // 30 files and the subdirectory
    EXPECT_TRUE(left.count("archive"));
    EXPECT_FALSE(left.count("old0.log.1.txt"));
    EXPECT_FALSE(left.count("old1.log.1.txt"));
    EXPECT_TRUE(left.count("old2.log.1.txt"));
    std::string const name = fs::path(current).filename();
    EXPECT_TRUE(left.count(name));
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(\d{8}_\d{6}\.log\.1\.txt)"))) << name;
    EXPECT_EQ(fs::path(current).parent_path(), m_dir.path());
}

TEST_F(TakLogTest, ConsoleEchoShowsExactlyTheTextOfTheFile) {
    // Standard output is a file here: the echo is written as it is, nothing dropped.
    testing::internal::CaptureStdout();
    TakLog::instance().initLog(true, m_dir.dirWithSlash());
    TAK_LOG_INFO("tcpserver init");
    TAK_LOG_ERROR("failed:" << -2 << std::string("detail"));
    TAK_LOG_DEBUG("");
    TakLogState::dropLogger();
    std::string const out = testing::internal::GetCapturedStdout();

    std::string const file = logFilesText(m_dir.path());
    EXPECT_EQ(out, file);
    EXPECT_NE(file.find("]\ntcpserver init \n\n["), std::string::npos) << file;
    EXPECT_NE(file.find("]\nfailed: -2 detail  \n\n["), std::string::npos) << file;
}

TEST_F(TakLogTest, DirectoryWithoutFinalSlashStillHoldsTheFiles) {
    TakLog::instance().initLog(false, m_dir.path().string());
    TAK_LOG_INFO("inside");
    std::string const current = TakLog::instance().currentLogFile();
    TakLogState::dropLogger();
    EXPECT_EQ(fs::path(current).parent_path(), m_dir.path());
    EXPECT_NE(logFilesText(m_dir.path()).find("inside"), std::string::npos);
}

TEST_F(TakLogTest, DirectoryThatCannotBeCreatedIsReportedAndTheEchoGoesOn) {
    m_dir.writeFile("blocker", "a regular file");
    std::string const dir = (m_dir.path() / "blocker" / "logs").string() + "/";

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(TakLog::instance().initLog(true, dir));
    TAK_LOG_INFO("still echoed");
    TakLogState::dropLogger();
    std::string const errors = testing::internal::GetCapturedStderr();
    std::string const out = testing::internal::GetCapturedStdout();

    EXPECT_NE(errors.find("log directory cannot be created: " + dir), std::string::npos) << errors;
    EXPECT_NE(errors.find("log file cannot be opened"), std::string::npos) << errors;
    EXPECT_NE(out.find("still echoed"), std::string::npos);
}

namespace {

// Logs one record and then meets a fatal signal; the child process of a death test.
[[noreturn]] void logAndDie(std::string const& dir, int how) {
    rlimit const noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    TakLog::instance().initLog(false, dir);
    TAK_LOG_INFO("before the signal" << how);
    switch (how) {
        case 0:
            std::abort();
        case 1:
            raise(SIGABRT);
            break;
        default:
            kill(getpid(), how);
            break;
    }
    // Without the handler's raise a signal sent this way would be survived: give the signal
    // time to arrive, then leave in a way the test does not accept.
    sleep(2);
    std::_Exit(0);
}

}  // namespace

TEST_F(TakLogTest, FatalSignalSavesTheLogAndEndsTheProcessByTheSignal) {
    GTEST_FLAG_SET(death_test_style, "fast");
    struct Case {
        const char* name;
        int how;
        int signal;
    };
    std::vector<Case> cases = {
        {"abort()", 0, SIGABRT},
        {"raise(SIGABRT)", 1, SIGABRT},
    };
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers keep SIGSEGV, SIGBUS and SIGFPE for their own reports.
    cases.push_back({"kill SIGSEGV", SIGSEGV, SIGSEGV});
    cases.push_back({"kill SIGBUS", SIGBUS, SIGBUS});
    cases.push_back({"kill SIGFPE", SIGFPE, SIGFPE});
    cases.push_back({"kill SIGILL", SIGILL, SIGILL});
#endif
    for (const auto& c : cases) {
        fs::path const dir = m_dir.path() / std::to_string(c.how);
        fs::create_directory(dir);
        EXPECT_EXIT(logAndDie(dir.string() + "/", c.how), testing::KilledBySignal(c.signal), "")
            << c.name;
        EXPECT_NE(logFilesText(dir).find("before the signal " + std::to_string(c.how) + " "),
                  std::string::npos)
            << c.name;
    }
}
