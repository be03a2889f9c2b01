// Cost of one log statement on the calling thread: our logger (console echo off, file logger on)
// beside spdlog's asynchronous logger writing a comparable line to a file, with 1 and 2
// producer threads. Each run logs a fixed number of records per thread into a fresh temporary
// directory and drains its queue afterwards, outside the measurement, so the queues (ours grows
// 8 MiB per 32768 records while the writer lags) stay bounded.
//
// Our queue takes its memory in 8 MiB blocks as it grows, and the first write to each page of
// a block costs a page fault on the logging thread. BM_TakLog measures a burst into memory the
// process has never touched (on this kind of virtual machine a first touch costs about 17 us
// per 4 KiB page, 16 records); BM_TakLogWarm measures the same burst after the process has
// touched that much memory once, as a long-running daemon has, which is what spdlog's
// preallocated queue gets from its set-up. The *Sparse cases log one record after each pause
// of 200 us (not counted), as the daemon mostly does: the writer sleeps, and the statement
// wakes it.
//
//   build/bin/bench_log                       all of it; ratios at the end
//   build/bin/bench_log --benchmark_filter=Tak
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log/TakNanoLogger.h"
#include "log/TakNanolog.h"

#ifdef TAK_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/details/thread_pool.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr benchmark::IterationCount kRecordsPerThread = 200000;
constexpr int kRepetitions = 7;
constexpr benchmark::IterationCount kSparseRecords = 2000;
constexpr auto kPause = std::chrono::microseconds(200);

// The fastest repetition: on a shared machine the other runs mostly add other programs' noise.
double fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

void pause(benchmark::State& state) {
    state.PauseTiming();
    std::this_thread::sleep_for(kPause);
    state.ResumeTiming();
}

fs::path g_dir;

void makeDir() {
    std::string pattern = (fs::temp_directory_path() / "tak-bench-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) std::abort();
    g_dir = buffer.data();
}

void removeDir() {
    std::error_code ec;
    fs::remove_all(g_dir, ec);
}

void installLogger() {
    TakNanolog::nanologger = std::make_unique<TakNanolog::NanoLogger>(
        TakNanolog::GuaranteedLogger(), g_dir.string() + "/", "bench.log", 5);
    TakNanolog::atomic_nanologger.store(TakNanolog::nanologger.get());
}

void dropLogger() {
    TakNanolog::atomic_nanologger.store(nullptr);
    TakNanolog::nanologger.reset();  // writes everything queued first
}

// Our logger as the daemon runs it: flush after every record, 5 MiB files, no console echo.
void takSetup(const benchmark::State&) {
    makeDir();
    TakNanolog::m_callback = nullptr;
    TakNanolog::loglevel.store(0);
    *TakNanolog::m_logConfigPtr = TakNanolog::STTakLogConfig{0, 10, 30};
    installLogger();
}

void takTeardown(const benchmark::State&) {
    dropLogger();
    removeDir();
}

void logOne(int32_t device) {
    TAK_LOG_INFO("session record for device" << device << 3.5 << "bytes");
}

// The same, after a run of the same size whose memory the allocator keeps for the next one.
void takWarmSetup(const benchmark::State& state) {
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);  // blocks from the heap...
    mallopt(M_TRIM_THRESHOLD, 1 << 30);           // ...which keeps freed memory mapped
    takSetup(state);
    for (int64_t i = 0; i < kRecordsPerThread * state.threads(); ++i) {
        logOne(static_cast<int32_t>(i));
    }
    dropLogger();
    installLogger();
}

// One statement per iteration; the sparse form waits between statements (the writer asleep).
template <void (*LogOne)(int32_t), bool kSparse>
void logLoop(benchmark::State& state) {
    int32_t device = 0;
    for (auto _ : state) {
        if (kSparse) pause(state);
        LogOne(device++);
    }
    state.SetItemsProcessed(state.iterations());
}

// The options every case shares.
benchmark::internal::Benchmark* measured(benchmark::internal::Benchmark* b,
                                         void (*setup)(const benchmark::State&),
                                         void (*teardown)(const benchmark::State&),
                                         int64_t iterations) {
    return b->Setup(setup)
        ->Teardown(teardown)
        ->Iterations(iterations)
        ->Repetitions(kRepetitions)
        ->ComputeStatistics("min", fastest)
        ->ReportAggregatesOnly(true);
}

#ifdef TAK_HAVE_SPDLOG
// The logger holds its pool only weakly: the pool must live as long as the logger.
std::shared_ptr<spdlog::details::thread_pool> g_spdlogPool;
std::shared_ptr<spdlog::async_logger> g_spdlog;

// spdlog's asynchronous logger with a queue large enough for a whole run (so that producers do
// not wait for the writer, as ours never do), flushing after every record as ours does, and a
// pattern that prints the same header as ours.
void spdlogSetup(const benchmark::State& state) {
    makeDir();
    g_spdlogPool = std::make_shared<spdlog::details::thread_pool>(
        static_cast<size_t>(kRecordsPerThread) * static_cast<size_t>(state.threads()) + 1024, 1);
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>((g_dir / "bench.txt").string());
    g_spdlog = std::make_shared<spdlog::async_logger>("bench", std::move(sink), g_spdlogPool,
                                                      spdlog::async_overflow_policy::block);
    g_spdlog->set_pattern("[%Y-%m-%d %H:%M:%S.%f][%l][%t][%g:%!:%#行]\n%v\n\n");
    g_spdlog->set_level(spdlog::level::info);
    g_spdlog->flush_on(spdlog::level::info);
}

void spdlogTeardown(const benchmark::State&) {
    g_spdlog->flush();
    g_spdlog.reset();
    g_spdlogPool.reset();  // joins its thread after the queue has been written
    removeDir();
}

void spdlogOne(int32_t device) {
    g_spdlog->log(spdlog::source_loc{__FILE__, __LINE__, static_cast<const char*>(__func__)},
                  spdlog::level::info, "session record for device {} {} {} ", device, 3.5, "bytes");
}

#endif

// Registered by name, so that the report can pair each case of ours with spdlog's.
int registerCases() {
    using benchmark::RegisterBenchmark;
    measured(RegisterBenchmark("BM_TakLog", logLoop<logOne, false>), takSetup, takTeardown,
             kRecordsPerThread)
        ->Threads(1)
        ->Threads(2);
    measured(RegisterBenchmark("BM_TakLogWarm", logLoop<logOne, false>), takWarmSetup, takTeardown,
             kRecordsPerThread)
        ->Threads(1)
        ->Threads(2);
    measured(RegisterBenchmark("BM_TakLogSparse", logLoop<logOne, true>), takSetup, takTeardown,
             kSparseRecords);
#ifdef TAK_HAVE_SPDLOG
    measured(RegisterBenchmark("BM_SpdlogAsync", logLoop<spdlogOne, false>), spdlogSetup,
             spdlogTeardown, kRecordsPerThread)
        ->Threads(1)
        ->Threads(2);
    measured(RegisterBenchmark("BM_SpdlogAsyncSparse", logLoop<spdlogOne, true>), spdlogSetup,
             spdlogTeardown, kSparseRecords);
#endif
    return 0;
}
const int g_registered = registerCases();

// The console report, followed by spdlog's CPU time per statement over ours (fastest and median
// repetition).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            std::string const name = run.run_name.function_name;
            if (run.aggregate_name == "min") m_cpu[name][run.threads] = run.GetAdjustedCPUTime();
            if (run.aggregate_name == "median") {
                m_median[name][run.threads] = run.GetAdjustedCPUTime();
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const std::pair<const char*, const char*> pairs[] = {
            {"BM_TakLog", "BM_SpdlogAsync"},
            {"BM_TakLogWarm", "BM_SpdlogAsync"},
            {"BM_TakLogSparse", "BM_SpdlogAsyncSparse"}};
        for (const auto& [ours, theirs] : pairs) {
            for (const auto& [threads, cpu] : m_cpu[ours]) {
                double const median = m_median[ours][threads];
                std::printf("%s threads:%d: %.0f ns CPU per statement (median %.0f)", ours, threads,
                            cpu, median);
                auto const other = m_cpu[theirs].find(threads);
                if (other != m_cpu[theirs].end() && cpu > 0 && median > 0) {
                    double const otherMedian = m_median[theirs][threads];
                    std::printf("; %s %.0f (median %.0f); spdlog/ours = %.2f (median %.2f)", theirs,
                                other->second, otherMedian, other->second / cpu,
                                otherMedian / median);
                }
                std::printf("\n");
            }
        }
    }

private:
    std::map<std::string, std::map<int, double>> m_cpu;     // fastest repetition
    std::map<std::string, std::map<int, double>> m_median;  // median repetition
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
