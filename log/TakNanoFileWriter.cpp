#include "log/TakNanoFileWriter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

#include "comm-serd/TakComUtil.h"
#include "log/TakNanolog.h"

namespace TakNanolog {

namespace fs = std::filesystem;

FileWriter::FileWriter(std::string const& log_directory, std::string const& log_file_name,
                       uint32_t roll_size_bytes, std::chrono::milliseconds reopen_interval)
    : m_log_file_roll_size_bytes(roll_size_bytes),
      m_name(log_directory + log_file_name),
      m_keep_files(m_logConfigPtr->keepFiles),
      m_log_directory(log_directory),
      m_flush_interval_sec(m_logConfigPtr->flushIntervalSec),
      m_flush_threshold_bytes(static_cast<uint64_t>(m_logConfigPtr->flushThresholdKb) * 1024),
      m_reopen_interval(reopen_interval) {
    roll_file();
    m_last_flush = std::chrono::steady_clock::now();
}

FileWriter::~FileWriter() { close(); }

std::string FileWriter::fileName(uint32_t number) const {
    return m_name + "." + std::to_string(number) + ".txt";
}

std::string FileWriter::currentFileName() const { return fileName(m_file_number.load()); }

void FileWriter::flush() {
    if (m_os && m_os->is_open()) m_os->flush();
    m_bytes_since_flush = 0;
    m_last_flush = std::chrono::steady_clock::now();
}

void FileWriter::close() {
    if (m_os && m_os->is_open()) {
        flush();
        m_os->close();
    }
}

void FileWriter::roll_file() {
    if (m_os && m_os->is_open()) close();
    m_bytes_written = 0;
    m_os = std::make_unique<std::ofstream>();
    // A file that could not be opened is tried again under its own number.
    uint32_t const number = m_open_failed ? m_file_number.load() : m_file_number.load() + 1;
    m_file_number.store(number);
    std::string const file_name = fileName(number);
    m_last_open_attempt = std::chrono::steady_clock::now();
    m_os->open(file_name, std::ofstream::out | std::ofstream::trunc);
    if (!m_os->is_open()) {
        int const error = errno;
        m_open_failed = true;
        if (!m_failure_reported) {
            std::cerr << "log file cannot be opened: " << file_name << ": " << std::strerror(error)
                      << "; records are dropped until it opens" << std::endl;
            m_failure_reported = true;
        }
        // Nothing new in the directory: no clean-up.
        return;
    }
    m_open_failed = false;
    if (m_failure_reported) {
        std::cerr << "log file opened: " << file_name << std::endl;
        m_failure_reported = false;
    }
    deleteLogFile(m_log_directory, static_cast<int>(m_keep_files));
}

void FileWriter::write(TakNanoLogLine& logline) { write(m_text.format(logline), logline.level()); }

void FileWriter::write(std::string_view text, uint8_t level) {
    if (!m_os->is_open()) {
        if (std::chrono::steady_clock::now() - m_last_open_attempt < m_reopen_interval) return;
        std::error_code ec;
        fs::create_directories(m_log_directory, ec);
        roll_file();
        if (!m_os->is_open()) return;
    }
    m_os->write(text.data(), static_cast<std::streamsize>(text.size()));
    if (level > static_cast<uint8_t>(LogLevel::WARN)) m_os->flush();
    if (!m_os->good()) {
        // The stream failed (disk full, file system gone): the next attempt starts a new file.
        if (!m_failure_reported) {
            std::cerr << "log file cannot be written: " << currentFileName()
                      << "; records are dropped until a new file opens" << std::endl;
            m_failure_reported = true;
        }
        m_os->close();
        m_last_open_attempt = std::chrono::steady_clock::now();
        return;
    }
    uint64_t const written = text.size();
    m_bytes_written += static_cast<int64_t>(written);
    m_bytes_since_flush += written;
    if (m_bytes_since_flush >= m_flush_threshold_bytes) flush();
    if (m_bytes_written > static_cast<int64_t>(m_log_file_roll_size_bytes)) roll_file();
}

void FileWriter::flushIfDue() {
    auto const since = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - m_last_flush);
    if (static_cast<uint64_t>(since.count()) >= m_flush_interval_sec && m_os && m_os->is_open()) {
        flush();
    }
}

bool FileWriter::deleteLogFile(std::string const& dir, int const& keep) {
    struct Entry {
        int seconds;
        fs::file_time_type exact;
        fs::path path;
    };
    std::vector<Entry> files;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) {
        std::cerr << "log directory cannot be listed: " << dir << ": " << ec.message() << std::endl;
        return false;
    }
    for (fs::directory_iterator const end; it != end; it.increment(ec)) {
        if (ec) break;
        std::error_code entry_ec;
        if (it->is_directory(entry_ec)) continue;
        std::string const path = it->path().string();
        auto const exact = fs::last_write_time(it->path(), entry_ec);
        files.push_back({TakComUtil::getFilemodifyTime(path), exact, it->path()});
    }
    // Newest first; equal seconds are ordered by the exact time, so a file created just now is
    // never taken for an old one.
    std::sort(files.begin(), files.end(), [](Entry const& a, Entry const& b) {
        if (a.seconds != b.seconds) return a.seconds > b.seconds;
        return a.exact > b.exact;
    });
    for (size_t i = static_cast<size_t>(std::max(keep, 0)); i < files.size(); ++i) {
        std::error_code remove_ec;
        fs::remove(files[i].path, remove_ec);  // a file already gone is no error
    }
    return true;
}

}  // namespace TakNanolog
