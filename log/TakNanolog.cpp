#include "log/TakNanolog.h"

#include "log/TakNanoLogger.h"

namespace TakNanolog {

std::atomic<uint32_t> loglevel{0};
std::unique_ptr<NanoLogger> nanologger;
std::atomic<NanoLogger*> atomic_nanologger{nullptr};
std::function<void(std::string)> m_callback;
std::unique_ptr<STTakLogConfig> m_logConfigPtr =
    std::make_unique<STTakLogConfig>(STTakLogConfig{3, 10, 30});
STLogCounters logCounters;

bool NanoLog::operator==(TakNanoLogLine& record) {
    if (m_callback) m_callback(record.getLineLogInfo());
    uint8_t const level = record.level();
    if (level < loglevel.load(std::memory_order_relaxed)) return true;
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

}  // namespace TakNanolog
