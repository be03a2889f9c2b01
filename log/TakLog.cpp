#include "log/TakLog.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "comm-serd/TakLockGuard.h"
#include "log/TakNanoLogger.h"

namespace fs = std::filesystem;

namespace {

// Signals whose handler saves the log. SIGTERM and SIGINT are not among them: they stop the
// daemon in order, through a signal-waiting thread.
constexpr int kFatalSignals[] = {SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGSEGV};

void ensureDirectory(std::string const& dir) {
    std::error_code ec;
    if (fs::exists(dir, ec)) return;
    fs::create_directories(dir, ec);
    if (ec) {
        std::cerr << "log directory cannot be created: " << dir << ": " << ec.message()
                  << std::endl;
    }
}

}  // namespace

TakLog& TakLog::instance() {
    static TakLog log;
    return log;
}

TakLog::TakLog()
    : m_signalNames{{SIGILL, "SIGILL"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},
                    {SIGFPE, "SIGFPE"}, {SIGSEGV, "SIGSEGV"}, {SIGTERM, "SIGTERM"},
                    {SIGINT, "SIGINT"}} {}

std::string TakLog::signalName(int sig) const {
    auto it = m_signalNames.find(sig);
    return it == m_signalNames.end() ? std::to_string(sig) : it->second;
}

void TakLog::initLog(bool const& echo, std::string const& logDir) {
    TakLockGuard lock(m_mutex);
    // File names are formed by concatenation: the directory must end with a slash.
    std::string dir = logDir.empty() ? std::string("./") : logDir;
    if (dir.back() != '/') dir += '/';

    for (int sig : kFatalSignals) {
        struct sigaction action {};
        action.sa_sigaction = &TakLog::onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO;
        struct sigaction previous {};
        if (sigaction(sig, &action, &previous) != 0) {
            std::perror(("sigaction - " + signalName(sig)).c_str());
            continue;
        }
        m_savedActions.emplace(sig, previous);
    }

    m_echo = echo;
    m_fileLogging = true;
    m_keepFiles = 30;
    *TakNanolog::m_logConfigPtr = TakNanolog::STTakLogConfig{0, 10, 30};
    TakNanolog::setLevel(TakNanolog::LogLevel::DEBUG);

    ensureDirectory(dir);
    TakNanolog::FileWriter::deleteLogFile(dir, m_keepFiles);
    ensureDirectory(dir);

    if (m_fileLogging) {
        std::time_t const now = std::time(nullptr);
        std::tm tm{};
        localtime_r(&now, &tm);
        char name[64];
        std::snprintf(name, sizeof name, "%04d%02d%02d_%02d%02d%02d.log", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        // Unpublish the old logger before it goes, so that no submitter still uses it.
        TakNanolog::atomic_nanologger.store(nullptr, std::memory_order_release);
        TakNanolog::NanoLogger::Options options;
        if (m_echo) {
            options.echo = std::make_unique<TakNanolog::ConsoleWriter>(
                STDOUT_FILENO, TakNanolog::ConsoleWriter::formFor(STDOUT_FILENO));
        }
        TakNanolog::nanologger = std::make_unique<TakNanolog::NanoLogger>(
            TakNanolog::GuaranteedLogger(), dir, name, 5, std::move(options));
        TakNanolog::atomic_nanologger.store(TakNanolog::nanologger.get(),
                                            std::memory_order_release);
    }
}

void TakLog::shutdownLog() {
    if (TakNanolog::NanoLogger* logger = TakNanolog::atomic_nanologger.load()) logger->shutdown();
}

void TakLog::rollLogFile() {
    if (TakNanolog::NanoLogger* logger = TakNanolog::atomic_nanologger.load())
        logger->requestRoll();
}

std::string TakLog::currentLogFile() {
    TakNanolog::NanoLogger* logger = TakNanolog::atomic_nanologger.load();
    return logger ? logger->currentFileName() : std::string();
}

void TakLog::onSignal(int sig, siginfo_t*, void*) { sigHander(sig); }

void TakLog::sigHander(int sig) {
    // Save what is queued: stop the writer, which writes everything before it ends.
    if (TakNanolog::NanoLogger* logger = TakNanolog::atomic_nanologger.load()) {
        if (!logger->isWriterThread()) logger->shutdown();
    }
    TakLog& self = instance();
    auto it = self.m_savedActions.find(sig);
    if (it == self.m_savedActions.end()) return;
    bool const restored = sigaction(sig, &it->second, nullptr) == 0;
    if (!restored) std::perror(("sigaction - " + self.signalName(sig)).c_str());
    self.m_savedActions.erase(it);
    // A fault raises its signal again when the handler returns, but a signal sent by another
    // process (kill -SEGV) or by raise() from a library would not, and the daemon would go on
    // without its log. Raising it once more is harmless for a fault: the signal is blocked
    // until the handler returns, and then the restored action ends the process.
    if (restored) raise(sig);
}
