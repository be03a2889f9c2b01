#include "log/TakNanoFileWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/TakLogState.h"
#include "support/TakTempDir.h"

namespace fs = std::filesystem;
using TakNanolog::FileWriter;
using TakNanolog::LogLevel;
using TakNanolog::TakNanoLogLine;

namespace {

constexpr uint32_t kFiveMiB = 5 * 1024 * 1024;

TakNanoLogLine record(std::string const& text, LogLevel level = LogLevel::INFO) {
    TakNanoLogLine r(level, __FILE__, "writer", 1);
    r << text;
    return r;
}

std::set<std::string> names(fs::path const& dir) {
    std::set<std::string> out;
    for (auto const& entry : fs::directory_iterator(dir)) out.insert(entry.path().filename());
    return out;
}

// Files old0 (oldest) ... oldN-1, a second apart, all older than now.
void makeOldFiles(fs::path const& dir, int count, std::string const& prefix = "old") {
    auto const base = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (int i = 0; i < count; ++i) {
        fs::path const file = dir / (prefix + std::to_string(i));
        std::ofstream(file) << i;
        fs::last_write_time(file, base + std::chrono::seconds(i));
    }
}

class TakNanoFileWriterTest : public testing::Test {
protected:
    void SetUp() override { TakLogState::setWriterConfig(0, 10, 30); }

    TakLogState m_state;
    TakTempDir m_dir;
};

}  // namespace

TEST_F(TakNanoFileWriterTest, RollsToTheNextNumberOncePastTheRollSize) {
    FileWriter writer(m_dir.dirWithSlash(), "20261208_211337.log", kFiveMiB);
    std::string const first = m_dir.dirWithSlash() + "20261208_211337.log.1.txt";
    EXPECT_EQ(writer.currentFileName(), first);
    EXPECT_TRUE(fs::exists(first));

    std::string const text(1000, 'r');
    uint64_t lastSize = 0;
    int written = 0;
    while (writer.currentFileName() == first && written < 10000) {
        TakNanoLogLine r = record(text);
        lastSize = r.getLineLogInfo().size();
        writer.write(r);
        ++written;
    }
    std::string const second = m_dir.dirWithSlash() + "20261208_211337.log.2.txt";
    ASSERT_EQ(writer.currentFileName(), second);
    // The first file ends with the record that took it past 5 MiB.
    uint64_t const firstSize = fs::file_size(first);
    EXPECT_GT(firstSize, kFiveMiB);
    EXPECT_LE(firstSize - lastSize, kFiveMiB);
    EXPECT_EQ(firstSize, lastSize * written);
    EXPECT_EQ(fs::file_size(second), 0u);

    TakNanoLogLine next = record("into the second");
    writer.write(next);
    writer.flushIfDue();
    EXPECT_GT(fs::file_size(second), 0u);
}

TEST_F(TakNanoFileWriterTest, CleanUpKeepsTheNewestFilesAndIgnoresSubdirectories) {
    makeOldFiles(m_dir.path(), 31);
    // A foreign file newer than the oldest log files counts like any other file.
    std::ofstream(m_dir.path() / "notes") << "x";
    fs::last_write_time(m_dir.path() / "notes",
                        fs::file_time_type::clock::now() - std::chrono::minutes(30));
    fs::create_directory(m_dir.path() / "archive");
    std::ofstream(m_dir.path() / "archive" / "inside") << "x";
    fs::last_write_time(m_dir.path() / "archive",
                        fs::file_time_type::clock::now() - std::chrono::hours(10));

    ASSERT_TRUE(FileWriter::deleteLogFile(m_dir.dirWithSlash(), 30));
    std::set<std::string> const left = names(m_dir.path());
    EXPECT_EQ(left.size(), 31u);  // 30 files and the subdirectory
    EXPECT_FALSE(left.count("old0"));
    EXPECT_FALSE(left.count("old1"));
    EXPECT_TRUE(left.count("old2"));
    EXPECT_TRUE(left.count("notes"));
    EXPECT_TRUE(left.count("archive"));
    EXPECT_TRUE(fs::exists(m_dir.path() / "archive" / "inside"));
}

TEST_F(TakNanoFileWriterTest, ANewFileCountsAmongTheKeptOnesEvenWithinTheSameSecond) {
    // Files written a moment ago share the new log file's second: the exact time decides. Their
    // times are set 10 ms apart, the newest 50 ms ago (file times advance in steps of a few
    // milliseconds: the new file is still the newest).
    auto const now = fs::file_time_type::clock::now();
    for (int i = 0; i < 30; ++i) {
        fs::path const file = m_dir.path() / ("recent" + std::to_string(i));
        std::ofstream(file) << i;
        fs::last_write_time(file, now - std::chrono::milliseconds(50 + 10 * (29 - i)));
    }
    FileWriter writer(m_dir.dirWithSlash(), "now.log", kFiveMiB);
    std::set<std::string> const left = names(m_dir.path());
    EXPECT_EQ(left.size(), 30u);
    EXPECT_TRUE(left.count("now.log.1.txt"));
    EXPECT_FALSE(left.count("recent0"));
    EXPECT_TRUE(left.count("recent1"));
}

TEST_F(TakNanoFileWriterTest, ThirtyFilesAreKeptAcrossRolls) {
    makeOldFiles(m_dir.path(), 40);
    FileWriter writer(m_dir.dirWithSlash(), "roll.log", 100);
    for (int i = 0; i < 5; ++i) {
        TakNanoLogLine r = record(std::string(200, 'x'));
        writer.write(r);
    }
    std::set<std::string> const left = names(m_dir.path());
    EXPECT_EQ(left.size(), 30u);
    for (int i = 1; i <= 6; ++i) {
        EXPECT_TRUE(left.count("roll.log." + std::to_string(i) + ".txt")) << i;
    }
    EXPECT_TRUE(left.count("old39"));
    EXPECT_TRUE(left.count("old16"));
    EXPECT_FALSE(left.count("old15"));
}

TEST_F(TakNanoFileWriterTest, CleanUpOfAMissingDirectoryFailsWithoutThrowing) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(FileWriter::deleteLogFile((m_dir.path() / "missing/").string(), 30));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot be listed"), std::string::npos);
}

TEST_F(TakNanoFileWriterTest, FlushesByThresholdAndAtOnceForErrors) {
    // A long interval: only the size threshold and ERROR records flush.
    TakLogState::setWriterConfig(3600, 1, 30);
    FileWriter writer(m_dir.dirWithSlash(), "flush.log", kFiveMiB);
    std::string const file = writer.currentFileName();

    TakNanoLogLine info = record("buffered");
    writer.write(info);
    writer.flushIfDue();
    EXPECT_EQ(fs::file_size(file), 0u);

    TakNanoLogLine error = record("at once", LogLevel::ERROR);
    writer.write(error);
    uint64_t const afterError = fs::file_size(file);
    EXPECT_GT(afterError, 0u);

    TakNanoLogLine small = record("small");
    writer.write(small);
    EXPECT_EQ(fs::file_size(file), afterError);
    TakNanoLogLine big = record(std::string(1100, 'k'));  // the 1 KiB threshold is reached
    writer.write(big);
    EXPECT_GT(fs::file_size(file), afterError + 1100);
}

TEST_F(TakNanoFileWriterTest, IntervalZeroFlushesWhenAsked) {
    FileWriter writer(m_dir.dirWithSlash(), "interval.log", kFiveMiB);
    TakNanoLogLine info = record("soon");
    writer.write(info);
    writer.flushIfDue();
    EXPECT_GT(fs::file_size(writer.currentFileName()), 0u);
}

TEST_F(TakNanoFileWriterTest, FileThatCannotBeOpenedIsReportedAndRetried) {
    // A directory in the place of the log file makes the open fail.
    fs::path const blocked = m_dir.path() / "retry.log.1.txt";
    fs::create_directory(blocked);

    testing::internal::CaptureStderr();
    // No interval between attempts: every write retries.
    FileWriter writer(m_dir.dirWithSlash(), "retry.log", kFiveMiB, std::chrono::milliseconds(0));
    EXPECT_FALSE(writer.isOpen());
    TakNanoLogLine lost = record("lost");
    writer.write(lost);
    writer.write(lost);  // a retry that fails again is not reported again
    std::string const reported = testing::internal::GetCapturedStderr();
    EXPECT_NE(reported.find("log file cannot be opened: " + blocked.string()), std::string::npos)
        << reported;
    EXPECT_EQ(reported.find("cannot be opened"), reported.rfind("cannot be opened")) << reported;

    fs::remove(blocked);
    testing::internal::CaptureStderr();
    TakNanoLogLine kept = record("kept");
    writer.write(kept);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("log file opened"), std::string::npos);
    // The retry opens the same number: no gap in the file names.
    ASSERT_TRUE(writer.isOpen());
    EXPECT_EQ(writer.currentFileName(), blocked.string());
    writer.close();
    std::string const text = TakTempDir::readFile(blocked);
    EXPECT_EQ(text.find("lost"), std::string::npos);
    EXPECT_NE(text.find("kept"), std::string::npos);
}

TEST_F(TakNanoFileWriterTest, RemovedDirectoryIsCreatedAgainOnTheRetry) {
    fs::path const dir = m_dir.path() / "logs";
    fs::create_directory(dir);
    FileWriter writer(dir.string() + "/", "gone.log", 200, std::chrono::milliseconds(0));
    fs::remove_all(dir);
    // The roll after this record cannot open file 2 in the vanished directory.
    testing::internal::CaptureStderr();
    TakNanoLogLine r = record(std::string(300, 'g'));
    writer.write(r);
    EXPECT_FALSE(writer.isOpen());
    TakNanoLogLine back = record("back");
    writer.write(back);
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(writer.isOpen());
    writer.close();
    EXPECT_NE(TakTempDir::readFile(dir / "gone.log.2.txt").find("back"), std::string::npos);
}
