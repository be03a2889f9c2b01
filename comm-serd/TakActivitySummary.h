#pragma once

#include <chrono>
#include <condition_variable>
#include <thread>

#include "comm-serd/TakMetrics.h"
#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"

// Writes one INFO record every interval while something happened in it, so that the log of a
// quiet level still says how many agents are online, how much was stored and what failed:
//
//   activity in the last 60 s: sessions: 298 (+ 12 connections) registered: 296 uploads: 4410
//   rows stored: 441000 lines skipped: 0 errors: 0 warnings: 3 database tasks queued: 7
//
// (the figures after "sessions" and "registered" are now; the others count the interval). An
// interval in which nothing changed writes nothing. Runs on a thread of its own, joined by
// stop() or the destructor.
class TakActivitySummary {
public:
    explicit TakActivitySummary(std::chrono::seconds interval,
                                TakMetrics& metrics = TakMetrics::instance());
    ~TakActivitySummary();
    TakActivitySummary(const TakActivitySummary&) = delete;
    TakActivitySummary& operator=(const TakActivitySummary&) = delete;

    void start();
    void stop();

    // Whether anything an operator would want to hear of happened between the two looks.
    static bool changed(const TakMetrics::STActivity& before, const TakMetrics::STActivity& now);

private:
    void run();
    void report(const TakMetrics::STActivity& before, const TakMetrics::STActivity& now);

    const std::chrono::seconds m_interval;
    TakMetrics& m_metrics;
    std::thread m_thread;
    TakMutex m_mutex;
    std::condition_variable m_cond;
    bool m_stopping TAK_GUARDED_BY(m_mutex) = false;
};
