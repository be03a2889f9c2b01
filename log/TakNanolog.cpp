#include "log/TakNanolog.h"

#include "log/TakNanoLogger.h"

namespace TakNanolog {

std::atomic<uint32_t> loglevel{0};
std::unique_ptr<NanoLogger> nanologger;
std::atomic<NanoLogger*> atomic_nanologger{nullptr};
std::function<void(std::string)> m_callback;
std::unique_ptr<STTakLogConfig> m_logConfigPtr =
    std::make_unique<STTakLogConfig>(STTakLogConfig{3, 10, 30});

bool NanoLog::operator==(TakNanoLogLine& record) {
    if (m_callback) m_callback(record.getLineLogInfo());
    NanoLogger* logger = atomic_nanologger.load(std::memory_order_acquire);
    if (logger == nullptr) return true;
    if (record.level() < loglevel.load(std::memory_order_relaxed)) return true;
    logger->add(std::move(record));
    return true;
}

}  // namespace TakNanolog
