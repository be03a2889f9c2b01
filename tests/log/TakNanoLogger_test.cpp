#include "log/TakNanoLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/TakNanolog.h"
#include "support/TakLogState.h"
#include "support/TakTempDir.h"

using TakNanolog::GuaranteedLogger;
using TakNanolog::NanoLogger;

namespace {

class TakNanoLoggerTest : public testing::Test {
protected:
    void SetUp() override { TakLogState::setWriterConfig(0, 10, 30); }

    // Creates the file logger and publishes it to the log statements.
    std::string install() {
        TakNanolog::nanologger = std::make_unique<NanoLogger>(
            GuaranteedLogger(), m_dir.dirWithSlash(), "20261208_211337.log", 5);
        TakNanolog::atomic_nanologger.store(TakNanolog::nanologger.get());
        return TakNanolog::nanologger->currentFileName();
    }

    TakLogState m_state;
    TakTempDir m_dir;
};

}  // namespace

TEST_F(TakNanoLoggerTest, RecordsFromSeveralThreadsAreWrittenOnceInOrder) {
    constexpr int kThreads = 4;
    constexpr int kEach = 10000;  // 40000: more than one 32768-record block
    std::string const file = install();

    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&go, t] {
            while (!go.load()) std::this_thread::yield();
            // The padding keeps the text well past 5 MiB whatever the length of the source path.
            for (int i = 0; i < kEach; ++i) {
                TAK_LOG_INFO("record" << t << i << "........................................");
            }
        });
    }
    go.store(true);
    for (auto& t : threads) t.join();
    // Destroyed at once, with records still queued: they are all written before the file closes.
    TakLogState::dropLogger();

    // About 7 MB of text: the logger rolled to a second file on the way.
    std::string all;
    std::string const stem = file.substr(0, file.size() - std::string("1.txt").size());
    for (int n = 1; std::filesystem::exists(stem + std::to_string(n) + ".txt"); ++n) {
        all += TakTempDir::readFile(stem + std::to_string(n) + ".txt");
    }
    EXPECT_TRUE(std::filesystem::exists(stem + "2.txt"));
    std::istringstream text(all);
    std::vector<int> next(kThreads, 0);
    int headers = 0;
    int records = 0;
    bool ordered = true;
    std::string line;
    while (std::getline(text, line)) {
        if (line.rfind("[", 0) == 0) {
            ++headers;
            continue;
        }
        if (line.empty()) continue;
        std::istringstream fields(line);
        std::string word;
        int t = -1;
        int i = -1;
        fields >> word >> t >> i;
        ASSERT_EQ(word, "record") << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        if (i != next[t]) ordered = false;
        next[t] = i + 1;
        ++records;
    }
    EXPECT_EQ(headers, kThreads * kEach);
    EXPECT_EQ(records, kThreads * kEach);
    EXPECT_TRUE(ordered) << "a thread's records are out of order or duplicated";
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach) << t;
}

TEST_F(TakNanoLoggerTest, ShutdownOfASleepingWriterIsPromptAndWritesTheLastRecord) {
    for (int round = 0; round < 10; ++round) {
        std::string const file = install();
        std::this_thread::sleep_for(std::chrono::milliseconds(round));  // let it fall asleep
        TAK_LOG_INFO("last" << round);
        auto const start = std::chrono::steady_clock::now();
        TakNanolog::nanologger->shutdown();
        auto const took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(500)) << "round " << round;
        EXPECT_NE(TakTempDir::readFile(file).find("last " + std::to_string(round) + " "),
                  std::string::npos);
        TakLogState::dropLogger();
    }
}

TEST_F(TakNanoLoggerTest, RecordsAfterShutdownAreNotWritten) {
    std::string const file = install();
    TAK_LOG_INFO("before");
    TakNanolog::nanologger->shutdown();
    TakNanolog::nanologger->shutdown();  // a second stop does nothing
    EXPECT_FALSE(TakNanolog::nanologger->isWriterThread());
    TAK_LOG_INFO("after");
    std::string const text = TakTempDir::readFile(file);
    EXPECT_NE(text.find("before"), std::string::npos);
    EXPECT_EQ(text.find("after"), std::string::npos);
}

TEST_F(TakNanoLoggerTest, IdleWriterKeepsWritingLaterRecords) {
    std::string const file = install();
    TAK_LOG_INFO("one");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // past one timed wait
    TAK_LOG_INFO("two");
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (TakTempDir::readFile(file).find("two") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // With the operating flush interval of 0 each record reaches the file without a shutdown.
    EXPECT_NE(TakTempDir::readFile(file).find("two"), std::string::npos);
}
