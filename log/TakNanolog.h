#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "log/TakNanoLogLine.h"

namespace TakNanolog {

class NanoLogger;

// Tuning of the log writer, read when a NanoLogger is constructed.
struct STTakLogConfig {
    uint32_t flushIntervalSec;  // flush when this many seconds passed since the last flush
    uint32_t flushThresholdKb;  // flush when this many KiB were written since the last flush
    uint64_t keepFiles;         // log files kept in the log directory
};

// Process-wide logging state.
extern std::atomic<uint32_t> loglevel;              // records below this level are not logged
extern std::atomic<bool> debugRecords;              // DEBUG records pass (if loglevel lets them)
extern std::unique_ptr<NanoLogger> nanologger;      // the file logger, owned here
extern std::atomic<NanoLogger*> atomic_nanologger;  // published pointer read by submitters
// Called with the text of every record submitted, on the logging thread, before the level test;
// empty unless a test installs it. (The console echo is written by the logger's writer thread.)
extern std::function<void(std::string)> m_callback;
extern std::unique_ptr<STTakLogConfig> m_logConfigPtr;

// Figures of the records, for the daemon's metrics. Relaxed atomics, added to by the thread that
// submits a record (and by the echo's writer for the records it could not write).
struct STLogCounters {
    std::atomic<uint64_t> written{0};      // handed to the file logger
    std::atomic<uint64_t> warnings{0};     // WARN records submitted while the level keeps them
    std::atomic<uint64_t> errors{0};       // ERROR records, likewise
    std::atomic<uint64_t> echoDropped{0};  // records the console echo could not print
};
extern STLogCounters logCounters;

inline bool levelPasses(uint32_t level) {
    return level >= loglevel.load(std::memory_order_relaxed) &&
           (level != static_cast<uint32_t>(LogLevel::DEBUG) ||
            debugRecords.load(std::memory_order_relaxed));
}

inline bool is_logged(LogLevel level) { return levelPasses(static_cast<uint32_t>(level)); }

// Keeps the records of `least` and of the levels more severe than it. Severity is not the
// numeric order of the levels (INFO is 0 and DEBUG 1, so a plain threshold of INFO lets DEBUG
// through): from least to most severe it is DEBUG, INFO, WARN, ERROR, and
//   DEBUG keeps everything (threshold 0),
//   INFO keeps INFO, WARN and ERROR (threshold 0, DEBUG records off),
//   WARN keeps WARN and ERROR (threshold 2),
//   ERROR keeps ERROR (threshold 3).
// Records of a level outside the four pass whenever the threshold lets them.
void setLevel(LogLevel least);

// Submits a record: `NanoLog() == record`.
struct NanoLog {
    bool operator==(TakNanoLogLine& record);
};

}  // namespace TakNanolog

// Log statements. The level is tested before the record is built:
//   TAK_LOG_INFO("server listen on port:" << port << fd);
#define TAK_LOG(level, ...)                                                                    \
    do {                                                                                       \
        if (::TakNanolog::is_logged(level)) {                                                  \
            ::TakNanolog::TakNanoLogLine tak_log_record_(level, __FILE__, __func__, __LINE__); \
            tak_log_record_ << __VA_ARGS__;                                                    \
            ::TakNanolog::NanoLog() == tak_log_record_;                                        \
        }                                                                                      \
    } while (0)

#define TAK_LOG_INFO(...) TAK_LOG(::TakNanolog::LogLevel::INFO, __VA_ARGS__)
#define TAK_LOG_DEBUG(...) TAK_LOG(::TakNanolog::LogLevel::DEBUG, __VA_ARGS__)
#define TAK_LOG_WARN(...) TAK_LOG(::TakNanolog::LogLevel::WARN, __VA_ARGS__)
#define TAK_LOG_ERROR(...) TAK_LOG(::TakNanolog::LogLevel::ERROR, __VA_ARGS__)
