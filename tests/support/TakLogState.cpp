#include "support/TakLogState.h"

#include "log/TakNanoLogger.h"

TakLogState::TakLogState()
    : m_level(TakNanolog::loglevel.load()),
      m_debugRecords(TakNanolog::debugRecords.load()),
      m_config(*TakNanolog::m_logConfigPtr) {}

TakLogState::~TakLogState() {
    dropLogger();
    TakNanolog::m_callback = nullptr;
    TakNanolog::loglevel.store(m_level);
    TakNanolog::debugRecords.store(m_debugRecords);
    *TakNanolog::m_logConfigPtr = m_config;
}

void TakLogState::dropLogger() {
    TakNanolog::atomic_nanologger.store(nullptr);
    TakNanolog::nanologger.reset();
}

void TakLogState::setWriterConfig(uint32_t flushIntervalSec, uint32_t flushThresholdKb,
                                  uint64_t keepFiles) {
    *TakNanolog::m_logConfigPtr =
        TakNanolog::STTakLogConfig{flushIntervalSec, flushThresholdKb, keepFiles};
}
