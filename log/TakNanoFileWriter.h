#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "log/TakNanoLogLine.h"

namespace TakNanolog {

// Turns records into text in the current log file; flushes by time and size, starts a new file
// once the current one passes the roll size and keeps the directory down to the newest files.
// Used by the writer thread only.
class FileWriter {
public:
    FileWriter(std::string const& log_directory, std::string const& log_file_name,
               uint32_t roll_size_bytes);
    ~FileWriter();
    FileWriter(FileWriter const&) = delete;
    FileWriter& operator=(FileWriter const&) = delete;

    void write(TakNanoLogLine& logline);
    // Flushes if the flush interval has passed since the last flush.
    void flushIfDue();
    // Flushes and closes the current file.
    void close();
    void roll_file();

    // Deletes every non-directory entry of dir after the `keep` newest ones (by modification
    // time). Never throws; reports a failed scan on standard error and returns false.
    static bool deleteLogFile(std::string const& dir, int const& keep);

    std::string currentFileName() const;

private:
    void flush();

    uint32_t m_file_number = 0;
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
    // A file that could not be opened is reported once and retried now and then.
    bool m_open_failed_reported = false;
    std::chrono::steady_clock::time_point m_last_open_attempt;
};

}  // namespace TakNanolog
