#include "log/TakNanolog.h"

#include "log/TakNanoLogger.h"

namespace TakNanolog {

std::atomic<uint32_t> loglevel{0};
std::atomic<bool> debugRecords{true};
std::unique_ptr<NanoLogger> nanologger;
std::atomic<NanoLogger*> atomic_nanologger{nullptr};
std::function<void(std::string)> m_callback;
std::unique_ptr<STTakLogConfig> m_logConfigPtr =
    std::make_unique<STTakLogConfig>(STTakLogConfig{3, 10, 30});
STLogCounters logCounters;

bool NanoLog::operator==(TakNanoLogLine& record) {
    if (m_callback) m_callback(record.getLineLogInfo());
    uint8_t const level = record.level();
    if (!levelPasses(level)) return true;
    if (level == static_cast<uint8_t>(LogLevel::WARN)) {
        logCounters.warnings.fetch_add(1, std::memory_order_relaxed);
    } else if (level == static_cast<uint8_t>(LogLevel::ERROR)) {
        logCounters.errors.fetch_add(1, std::memory_order_relaxed);
    }
    NanoLogger* logger = atomic_nanologger.load(std::memory_order_acquire);
    if (logger == nullptr) return true;
    logger->add(std::move(record));
    logCounters.written.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void setLevel(LogLevel least) {
    switch (least) {
        case LogLevel::DEBUG:
            debugRecords.store(true);
            loglevel.store(0);
            break;
        case LogLevel::INFO:
            debugRecords.store(false);
            loglevel.store(0);
            break;
        default:  // WARN, ERROR: the threshold alone
            debugRecords.store(true);
            loglevel.store(static_cast<uint32_t>(least));
            break;
    }
}

}  // namespace TakNanolog
