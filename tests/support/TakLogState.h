#pragma once

#include <string>

#include "log/TakNanolog.h"

// Saves the process-wide logging state (threshold, DEBUG records, writer settings) and restores it
// when it goes, after stopping and dropping any file logger and console echo the test installed.
class TakLogState {
public:
    TakLogState();
    ~TakLogState();
    TakLogState(const TakLogState&) = delete;
    TakLogState& operator=(const TakLogState&) = delete;

    // Stops the published file logger (it writes everything queued first) and drops it.
    static void dropLogger();
    // Sets the writer settings that the next NanoLogger or FileWriter reads.
    static void setWriterConfig(uint32_t flushIntervalSec, uint32_t flushThresholdKb,
                                uint64_t keepFiles);

private:
    uint32_t m_level;
    bool m_debugRecords;
    TakNanolog::STTakLogConfig m_config;
};
