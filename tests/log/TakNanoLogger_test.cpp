#include "log/TakNanoLogger.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <atomic>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/TakNanolog.h"
#include "support/TakLogState.h"
#include "support/TakSyncPointCounter.h"
#include "support/TakTempDir.h"

using TakNanolog::GuaranteedLogger;
using TakNanolog::NanoLogger;

namespace {

class TakNanoLoggerTest : public testing::Test {
protected:
    void SetUp() override { TakLogState::setWriterConfig(0, 10, 30); }

    // Creates the file logger and publishes it to the log statements.
    std::string install(NanoLogger::Options options = {}) {
        TakNanolog::nanologger = std::make_unique<NanoLogger>(
            GuaranteedLogger(), m_dir.dirWithSlash(), "20261208_211337.log", 5, std::move(options));
        TakNanolog::atomic_nanologger.store(TakNanolog::nanologger.get());
        return TakNanolog::nanologger->currentFileName();
    }

    // Waits until the file holds text: the writer goes to sleep only once it has written and
    // flushed what was queued, so the file is looked at again each time it does.
    bool fileHas(std::string const& file, std::string const& text) {
        for (;;) {
            int const seen = m_sleeps.count();
            if (TakTempDir::readFile(file).find(text) != std::string::npos) return true;
            if (!m_sleeps.waitFor(seen + 1)) return false;
        }
    }

    // The writer's passes through the point where it falls asleep (holding the lock that
    // shutdown() and requestRoll() take).
    TakSyncPointCounter m_sleeps{"NanoLogger::pop:sleep"};
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

// Shut down before the writer has run (round 0), and after it has fallen asleep once, twice, ...
TEST_F(TakNanoLoggerTest, ShutdownOfASleepingWriterIsPromptAndWritesTheLastRecord) {
    for (int round = 0; round < 10; ++round) {
        int const before = m_sleeps.count();
        std::string const file = install();
        // Once the point is passed, the stop finds the writer asleep.
        ASSERT_TRUE(m_sleeps.waitFor(before + round)) << "round " << round;
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
    // Past one timed wait: the writer has fallen asleep after "one" and woken by its timer.
    ASSERT_TRUE(fileHas(file, "one"));
    ASSERT_TRUE(m_sleeps.waitFor(m_sleeps.count() + 2));
    TAK_LOG_INFO("two");
    // With the operating flush interval of 0 each record reaches the file without a shutdown.
    EXPECT_TRUE(fileHas(file, "two"));
}

namespace {

// A writer that would sleep for an hour between looks at the queue: only a wake-up brings it.
NanoLogger::Options sleepy() {
    NanoLogger::Options options;
    options.wakeInterval = std::chrono::hours(1);
    return options;
}

}  // namespace

TEST_F(TakNanoLoggerTest, ErrorRecordWakesTheSleepingWriterAndReachesTheFile) {
    std::string const file = install(sleepy());
    TAK_LOG_INFO("quiet");
    TAK_LOG_ERROR("loud");
    ASSERT_TRUE(fileHas(file, "loud"));
    std::string const text = TakTempDir::readFile(file);
    EXPECT_LT(text.find("quiet"), text.find("loud")) << "written in order";
}

TEST_F(TakNanoLoggerTest, RecordThatFillsABlockWakesTheSleepingWriter) {
    std::string const file = install(sleepy());
    for (uint32_t i = 0; i < TakNanolog::Buffer::size; ++i) TAK_LOG_INFO("record" << i);
    EXPECT_TRUE(fileHas(file, "record " + std::to_string(TakNanolog::Buffer::size - 1) + " "));
}

TEST_F(TakNanoLoggerTest, RollRequestStartsTheNextFileWithARecordSayingSo) {
    std::string const first = install();
    TAK_LOG_INFO("before the roll");
    ASSERT_TRUE(fileHas(first, "before the roll"));
    TakNanolog::nanologger->requestRoll();
    std::string const second = first.substr(0, first.size() - 5) + "2.txt";
    ASSERT_TRUE(fileHas(second, "previous file:"));
    EXPECT_EQ(TakNanolog::nanologger->currentFileName(), second);
    TAK_LOG_INFO("after the roll");
    TakLogState::dropLogger();

    std::string const text = TakTempDir::readFile(second);
    EXPECT_TRUE(std::regex_search(
        text, std::regex(R"(^\[[^\n]*\]\[INFO\]\[\d+\]\[[^\n]*:rollNow:\d+行\]\n)"
                         R"(new log file on request, previous file: )" +
                         std::regex_replace(first, std::regex(R"([.])"), R"(\.)") + "  \n\n")))
        << text;
    EXPECT_NE(text.find("after the roll"), std::string::npos);
    EXPECT_EQ(TakTempDir::readFile(first).find("after the roll"), std::string::npos);
}

// The echo into a pipe that is not read: the file gets every record; the echo drops whole
// records while the pipe is full; once it is read again the count of dropped records is logged
// in the file and on the echo, and the echo is the file without the dropped records.
TEST_F(TakNanoLoggerTest, EchoIntoAPipeThatIsNotReadLosesNothingInTheFile) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    fcntl(ends[1], F_SETPIPE_SZ, 4096);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    NanoLogger::Options options;
    options.echo = std::make_unique<TakNanolog::ConsoleWriter>(
        ends[1], TakNanolog::ConsoleWriter::Form::Plain, 8192);
    close(ends[1]);
    std::string const file = install(std::move(options));

    constexpr int kRecords = 2000;
    for (int i = 0; i < kRecords; ++i) TAK_LOG_INFO("numbered" << i);
    ASSERT_TRUE(fileHas(file, "numbered " + std::to_string(kRecords - 1) + " "));

    std::string echoed;
    char buffer[4096];
    std::string const report =
        "console echo dropped records while standard output did not "
        "take them: ";
    // Reads what the pipe holds whenever it becomes readable, until the report is there.
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        ssize_t n = 0;
        while ((n = read(ends[0], buffer, sizeof buffer)) > 0) echoed.append(buffer, n);
        if (echoed.find(report) != std::string::npos) break;
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{ends[0], POLLIN, 0};
        ASSERT_TRUE(left.count() > 0 && poll(&readable, 1, static_cast<int>(left.count())) >= 0)
            << "no report of dropped records on the echo";
    }
    TakLogState::dropLogger();
    ssize_t n = 0;
    while ((n = read(ends[0], buffer, sizeof buffer)) > 0) echoed.append(buffer, n);
    close(ends[0]);

    std::string const text = TakTempDir::readFile(file);
    size_t const at = text.find(report);
    ASSERT_NE(at, std::string::npos);
    uint64_t const dropped = std::stoull(text.substr(at + report.size()));
    EXPECT_GT(dropped, 0u);
    // Each echoed record is the file's record; together with the dropped ones, all of them.
    std::regex const record(R"(\[[^\n]*行\]\n[^\n]*\n\n)");
    auto count = [&record](std::string const& s) {
        return static_cast<uint64_t>(std::distance(std::sregex_iterator(s.begin(), s.end(), record),
                                                   std::sregex_iterator()));
    };
    uint64_t const inFile = count(text);
    uint64_t const inEcho = count(echoed);
    EXPECT_EQ(inFile, static_cast<uint64_t>(kRecords) + 1);  // and the report
    EXPECT_EQ(inEcho + dropped, inFile);
    size_t covered = 0;  // the echo is whole records end to end, each one of the file's
    for (auto it = std::sregex_iterator(echoed.begin(), echoed.end(), record);
         it != std::sregex_iterator(); ++it) {
        ASSERT_EQ(static_cast<size_t>(it->position()), covered) << "a cut record before this";
        ASSERT_NE(text.find(it->str()), std::string::npos) << it->str();
        covered += it->str().size();
    }
    EXPECT_EQ(covered, echoed.size());
}
