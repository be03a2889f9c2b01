#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "log/TakNanoLogLine.h"
#include "log/TakNanoRecordText.h"

namespace TakNanolog {

// Turns records into text in the current log file; flushes by time and size, starts a new file
// once the current one passes the roll size and keeps the directory down to the newest files.
// Used by the writer thread only.
class FileWriter {
public:
    static constexpr std::chrono::milliseconds kReopenInterval{5000};

    // A file that cannot be opened (or fails while written) is reported on standard error once;
    // records are dropped until a new attempt, made at the first write after reopen_interval,
    // opens it.
    FileWriter(std::string const& log_directory, std::string const& log_file_name,
               uint32_t roll_size_bytes,
               std::chrono::milliseconds reopen_interval = kReopenInterval);
    ~FileWriter();
    FileWriter(FileWriter const&) = delete;
    FileWriter& operator=(FileWriter const&) = delete;

    void write(TakNanoLogLine& logline);
    // Writes a record's text (as RecordText formats it); a record above WARN is flushed at once.
    void write(std::string_view text, uint8_t level);
    // Flushes if the flush interval has passed since the last flush.
    void flushIfDue();
    // Flushes and closes the current file.
    void close();
    void roll_file();

    // Deletes every non-directory entry of dir after the `keep` newest ones (by modification
    // time). Never throws; reports a failed scan on standard error and returns false.
    static bool deleteLogFile(std::string const& dir, int const& keep);

    // The file written now, or the one being retried. Any thread.
    std::string currentFileName() const;
    bool isOpen() const { return m_os && m_os->is_open(); }

private:
    void flush();
    std::string fileName(uint32_t number) const;

    std::atomic<uint32_t> m_file_number{0};
    int64_t m_bytes_written = 0;
    uint32_t const m_log_file_roll_size_bytes;
    std::string const m_name;
    std::unique_ptr<std::ofstream> m_os;
    uint64_t m_keep_files;
    std::string const m_log_directory;
    uint32_t m_flush_interval_sec;
    std::chrono::steady_clock::time_point m_last_flush;
    uint64_t m_flush_threshold_bytes;
    uint64_t m_bytes_since_flush = 0;
    // A file that could not be opened is reported once and retried now and then, under the same
    // number.
    std::chrono::milliseconds const m_reopen_interval;
    bool m_open_failed = false;
    bool m_failure_reported = false;
    std::chrono::steady_clock::time_point m_last_open_attempt;
    RecordText m_text;  // for write(TakNanoLogLine&)
};

}  // namespace TakNanolog
