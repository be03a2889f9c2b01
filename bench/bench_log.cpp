// What a log statement costs the thread that logs: the distribution of the time of single calls
// (median, p99, p99.9, max), timed with the time-stamp counter around each statement, for our
// logger and, in the same run, spdlog's asynchronous logger writing a comparable line.
//
// Both loggers run as the daemon runs ours: a file logger and a console echo (here into a second
// file, so that the writer thread does the echo's work without flooding this report), lossless
// (spdlog blocks rather than drops), and every record at INFO.
//
// Cases:
//   burst    T threads (1 and 2) log 200 000 records each, back to back. Both queues are given
//            memory for the whole run before it starts (spdlog preallocates its queue; ours keeps
//            that many spare blocks touched), so that neither pays first touches of memory.
//   daemon   the same burst with our queue as the daemon sets it up (one spare block): the
//            writer cannot keep up with 20 million records a second, the queue grows past the
//            blocks prepared in advance and the logging threads touch new memory.
//   sparse   one thread logs one record every 200 us (the pause is not timed): the writer sleeps
//            between records, as in the daemon most of the time. "record only" is the same
//            statement without a logger (the record is built and dropped): what the caches
//            cost a thread that has just slept, before the queue is reached.
//
// Every case runs --repetitions times (5) in a fresh temporary directory; the figures are the
// median over the repetitions of each statistic. The cost of the timing itself (an empty
// statement between the same two counter reads) is measured first and subtracted. Nothing here
// fails on timing: the last lines compare the figures with the targets and spdlog's.
//
//   build/bin/bench_log [--repetitions N] [--records N] [--case burst|daemon|sparse]
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log/TakNanoConsoleWriter.h"
#include "log/TakNanoLogger.h"
#include "log/TakNanoQueueBuffer.h"
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

int g_repetitions = 5;
int64_t g_records = 200000;  // per thread, burst and daemon cases
constexpr int64_t kSparseRecords = 2000;
constexpr auto kPause = std::chrono::microseconds(200);

// ---- Time-stamp counter ----------------------------------------------------------------------

inline uint64_t ticks() {
    _mm_lfence();
    uint64_t const t = __rdtsc();
    _mm_lfence();
    return t;
}

double g_nsPerTick = 0;

double threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

void calibrate() {
    auto const t0 = std::chrono::steady_clock::now();
    uint64_t const c0 = ticks();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto const t1 = std::chrono::steady_clock::now();
    uint64_t const c1 = ticks();
    g_nsPerTick =
        std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(c1 - c0);
}

// ---- Statistics --------------------------------------------------------------------------------

struct Stats {
    double median = 0;
    double p99 = 0;
    double p999 = 0;
    double max = 0;
    double cpu = 0;  // CPU time of the logging thread per statement, timing cost removed
};

double at(std::vector<uint64_t>& sorted, double q) {
    size_t const i = std::min(sorted.size() - 1, static_cast<size_t>(q * sorted.size()));
    return static_cast<double>(sorted[i]);
}

Stats statsOf(std::vector<uint64_t> samples, double overheadTicks) {
    std::sort(samples.begin(), samples.end());
    auto ns = [overheadTicks](double t) { return std::max(0.0, t - overheadTicks) * g_nsPerTick; };
    Stats s;
    s.median = ns(at(samples, 0.5));
    s.p99 = ns(at(samples, 0.99));
    s.p999 = ns(at(samples, 0.999));
    s.max = ns(static_cast<double>(samples.back()));
    return s;
}

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Stats medianOfRepetitions(std::vector<Stats> const& runs) {
    auto pick = [&runs](double Stats::*field) {
        std::vector<double> v;
        for (auto const& r : runs) v.push_back(r.*field);
        return medianOf(v);
    };
    return Stats{pick(&Stats::median), pick(&Stats::p99), pick(&Stats::p999), pick(&Stats::max),
                 pick(&Stats::cpu)};
}

// ---- Temporary directory -----------------------------------------------------------------------

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tak-bench-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) std::abort();
        m_path = buffer.data();
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;
    fs::path const& path() const { return m_path; }

private:
    fs::path m_path;
};

// ---- The loggers -------------------------------------------------------------------------------

// One logger under test: set up for a run, one statement, taken down (drained) after it.
class Logger {
public:
    virtual ~Logger() = default;
    virtual void logOne(int32_t device) = 0;
};

class TakLogger : public Logger {
public:
    TakLogger(fs::path const& dir, uint32_t reserveBlocks) {
        TakNanolog::m_callback = nullptr;
        TakNanolog::setLevel(TakNanolog::LogLevel::DEBUG);
        *TakNanolog::m_logConfigPtr = TakNanolog::STTakLogConfig{0, 10, 30};
        m_echo = ::open((dir / "echo.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        TakNanolog::NanoLogger::Options options;
        options.echo = std::make_unique<TakNanolog::ConsoleWriter>(
            m_echo, TakNanolog::ConsoleWriter::Form::Plain);
        options.reserveBlocks = reserveBlocks;
        TakNanolog::nanologger = std::make_unique<TakNanolog::NanoLogger>(
            TakNanolog::GuaranteedLogger(), dir.string() + "/", "bench.log", 5, std::move(options));
        TakNanolog::atomic_nanologger.store(TakNanolog::nanologger.get());
    }
    ~TakLogger() override {
        TakNanolog::atomic_nanologger.store(nullptr);
        TakNanolog::nanologger.reset();  // writes everything queued first
        ::close(m_echo);
    }
    void logOne(int32_t device) override {
        TAK_LOG_INFO("session record for device" << device << 3.5 << "bytes");
    }

private:
    int m_echo = -1;
};

// The statement with no file logger installed: the record is built and dropped. In the sparse
// case this is the floor set by the caches: after each pause the thread comes back to caches that
// other programs have used meanwhile, and the statement's own code and data must be fetched again.
class RecordOnly : public Logger {
public:
    RecordOnly() {
        TakNanolog::m_callback = nullptr;
        TakNanolog::setLevel(TakNanolog::LogLevel::DEBUG);
        TakNanolog::atomic_nanologger.store(nullptr);
    }
    void logOne(int32_t device) override {
        TAK_LOG_INFO("session record for device" << device << 3.5 << "bytes");
    }
};

#ifdef TAK_HAVE_SPDLOG
// spdlog's asynchronous logger with a queue for the whole run, a file sink and an "echo" file
// sink, a pattern that prints the same header as ours, flushing every record as it is written.
class SpdLogger : public Logger {
public:
    SpdLogger(fs::path const& dir, size_t records) {
        m_pool = std::make_shared<spdlog::details::thread_pool>(records + 1024, 1);
        auto file =
            std::make_shared<spdlog::sinks::basic_file_sink_mt>((dir / "bench.txt").string());
        auto echo =
            std::make_shared<spdlog::sinks::basic_file_sink_mt>((dir / "echo.txt").string());
        m_logger =
            std::make_shared<spdlog::async_logger>("bench", spdlog::sinks_init_list{file, echo},
                                                   m_pool, spdlog::async_overflow_policy::block);
        m_logger->set_pattern("[%Y-%m-%d %H:%M:%S.%f][%l][%t][%g:%!:%#行]\n%v\n\n");
        m_logger->set_level(spdlog::level::info);
        m_logger->flush_on(spdlog::level::info);
    }
    ~SpdLogger() override {
        m_logger->flush();
        m_logger.reset();
        m_pool.reset();  // joins its thread after the queue has been written
    }
    void logOne(int32_t device) override {
        m_logger->log(spdlog::source_loc{__FILE__, __LINE__, static_cast<const char*>(__func__)},
                      spdlog::level::info, "session record for device {} {} {} ", device, 3.5,
                      "bytes");
    }

private:
    std::shared_ptr<spdlog::details::thread_pool> m_pool;
    std::shared_ptr<spdlog::async_logger> m_logger;
};
#endif

// ---- Runs --------------------------------------------------------------------------------------

double g_overheadTicks = 0;  // median ticks of an empty timed statement
double g_overheadCpu = 0;    // CPU ns per empty timed statement

// Times `records` statements on this thread, with `pause` (untimed) before each.
Stats timeCalls(Logger* logger, int64_t records, std::chrono::microseconds pause, int32_t base,
                std::vector<uint64_t>& samples) {
    samples.assign(static_cast<size_t>(records), 0);  // touched before the run
    double const cpu0 = threadCpuNs();
    double pausedCpu = 0;
    for (int64_t i = 0; i < records; ++i) {
        if (pause.count() > 0) {
            double const p0 = threadCpuNs();
            std::this_thread::sleep_for(pause);
            pausedCpu += threadCpuNs() - p0;
        }
        uint64_t const t0 = ticks();
        if (logger != nullptr) {
            logger->logOne(base + static_cast<int32_t>(i));
        } else {
            asm volatile("" ::: "memory");
        }
        samples[static_cast<size_t>(i)] = ticks() - t0;
    }
    double const cpu = (threadCpuNs() - cpu0 - pausedCpu) / static_cast<double>(records);
    Stats s = statsOf(samples, logger != nullptr ? g_overheadTicks : 0);
    s.cpu = std::max(0.0, cpu - (logger != nullptr ? g_overheadCpu : 0));
    return s;
}

void measureOverhead() {
    std::vector<uint64_t> samples;
    std::vector<double> ticksMedian;
    std::vector<double> cpu;
    for (int r = 0; r < 5; ++r) {
        Stats const s = timeCalls(nullptr, 200000, std::chrono::microseconds(0), 0, samples);
        ticksMedian.push_back(s.median / g_nsPerTick);
        cpu.push_back(s.cpu);
    }
    g_overheadTicks = medianOf(ticksMedian);
    g_overheadCpu = medianOf(cpu);
}

// One repetition: `threads` threads log together; the statistics of all their calls.
Stats runOnce(std::function<std::unique_ptr<Logger>(fs::path const&)> const& make, int threads,
              int64_t records, std::chrono::microseconds pause) {
    TempDir dir;
    std::unique_ptr<Logger> logger = make(dir.path());
    std::vector<std::vector<uint64_t>> samples(static_cast<size_t>(threads));
    std::vector<double> cpu(static_cast<size_t>(threads));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            samples[static_cast<size_t>(t)].reserve(static_cast<size_t>(records));
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            cpu[static_cast<size_t>(t)] = timeCalls(logger.get(), records, pause, t * 10000000,
                                                    samples[static_cast<size_t>(t)])
                                              .cpu;
        });
    }
    while (ready.load() < threads) std::this_thread::yield();
    go.store(true);
    for (auto& w : workers) w.join();
    logger.reset();  // drains, outside the measurement

    std::vector<uint64_t> all;
    for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
    Stats s = statsOf(std::move(all), g_overheadTicks);
    double sum = 0;
    for (double c : cpu) sum += c;
    s.cpu = sum / threads;
    return s;
}

Stats run(std::function<std::unique_ptr<Logger>(fs::path const&)> const& make, int threads,
          int64_t records, std::chrono::microseconds pause) {
    std::vector<Stats> runs;
    for (int r = 0; r < g_repetitions; ++r) runs.push_back(runOnce(make, threads, records, pause));
    return medianOfRepetitions(runs);
}

// The CPU column only for runs without pauses: around a pause the thread's CPU clock (a system
// call) costs more than the statement.
void print(char const* name, int threads, Stats const& s, bool cpu = true) {
    std::printf("%-22s %7d %9.0f %9.0f %9.0f %10.0f", name, threads, s.median, s.p99, s.p999,
                s.max);
    if (cpu) {
        std::printf(" %9.0f\n", s.cpu);
    } else {
        std::printf(" %9s\n", "-");
    }
    std::fflush(stdout);
}

uint32_t blocksFor(int64_t records) {
    return static_cast<uint32_t>(records / TakNanolog::Buffer::size) + 2;
}

double clockGettimeNs() {
    constexpr int kCalls = 2000000;
    timespec ts{};
    double const c0 = threadCpuNs();
    for (int i = 0; i < kCalls; ++i) clock_gettime(CLOCK_REALTIME, &ts);
    return (threadCpuNs() - c0) / kCalls;
}

}  // namespace

int main(int argc, char** argv) {
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string const option = argv[i];
        if (option == "--repetitions") {
            g_repetitions = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--records") {
            g_records = std::max(1000, std::atoi(argv[i + 1]));
        } else if (option == "--case") {
            only = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: bench_log [--repetitions N] [--records N] [--case C]\n");
            return 2;
        }
    }
    if (argc % 2 == 0) {
        std::fprintf(stderr, "usage: bench_log [--repetitions N] [--records N] [--case C]\n");
        return 2;
    }

    calibrate();
    measureOverhead();
    std::printf(
        "time-stamp counter: %.3f GHz; timing cost %.0f ns a call (subtracted); "
        "clock_gettime(CLOCK_REALTIME) %.0f ns\n",
        1.0 / g_nsPerTick, g_overheadTicks * g_nsPerTick, clockGettimeNs());
    std::printf("%d repetitions, medians of each figure, ns per statement\n\n", g_repetitions);
    std::printf("%-22s %7s %9s %9s %9s %10s %9s\n", "case", "threads", "median", "p99", "p99.9",
                "max", "CPU");

    std::map<std::string, Stats> ours;
    std::map<std::string, Stats> theirs;
    auto key = [](char const* c, int t) { return std::string(c) + "/" + std::to_string(t); };
    std::chrono::microseconds const none(0);

    for (int threads : {1, 2}) {
        int64_t const total = g_records * threads;
        if (only.empty() || only == "burst") {
            Stats const s = run(
                [total](fs::path const& d) {
                    return std::make_unique<TakLogger>(d, blocksFor(total));
                },
                threads, g_records, none);
            print("burst: ours", threads, s);
            ours[key("burst", threads)] = s;
#ifdef TAK_HAVE_SPDLOG
            Stats const o = run(
                [total](fs::path const& d) {
                    return std::make_unique<SpdLogger>(d, static_cast<size_t>(total));
                },
                threads, g_records, none);
            print("burst: spdlog async", threads, o);
            theirs[key("burst", threads)] = o;
#endif
        }
        if (only.empty() || only == "daemon") {
            Stats const s = run(
                [](fs::path const& d) {
                    return std::make_unique<TakLogger>(d, TakNanolog::QueueBuffer::kDefaultSpares);
                },
                threads, g_records, none);
            print("daemon: ours", threads, s);
            ours[key("daemon", threads)] = s;
        }
    }
    if (only.empty() || only == "sparse") {
        Stats const s = run(
            [](fs::path const& d) {
                return std::make_unique<TakLogger>(d, TakNanolog::QueueBuffer::kDefaultSpares);
            },
            1, kSparseRecords, kPause);
        print("sparse: ours", 1, s, false);
        ours[key("sparse", 1)] = s;
        Stats const floor = run([](fs::path const&) { return std::make_unique<RecordOnly>(); }, 1,
                                kSparseRecords, kPause);
        print("sparse: record only", 1, floor, false);
#ifdef TAK_HAVE_SPDLOG
        Stats const o =
            run([](fs::path const& d) { return std::make_unique<SpdLogger>(d, kSparseRecords); }, 1,
                kSparseRecords, kPause);
        print("sparse: spdlog async", 1, o, false);
        theirs[key("sparse", 1)] = o;
#endif
    }

    std::printf(
        "\ntargets: burst median <= 50 ns and p99.9 <= 2000 ns; sparse median <= 100 ns; "
        "spdlog / ours >= 5\n");
    for (auto const& [name, s] : ours) {
        double const medianTarget = name.rfind("sparse", 0) == 0 ? 100 : 50;
        std::printf("%-10s median %s, p99.9 %s", name.c_str(),
                    s.median <= medianTarget ? "met" : "missed",
                    name.rfind("sparse", 0) == 0 ? "-" : (s.p999 <= 2000 ? "met" : "missed"));
        auto const other = theirs.find(name);
        if (other != theirs.end() && s.median > 0 && s.p999 > 0) {
            std::printf("; spdlog / ours: median %.1f, p99.9 %.1f", other->second.median / s.median,
                        other->second.p999 / s.p999);
            if (name.rfind("sparse", 0) != 0 && s.cpu > 0) {
                std::printf(", CPU %.1f", other->second.cpu / s.cpu);
            }
        }
        std::printf("\n");
    }
    return 0;
}
