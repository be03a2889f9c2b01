#include "log/TakNanoLogger.h"

#include <pthread.h>
#include <signal.h>

#include "comm-serd/TakLockGuard.h"
#include "comm-serd/TakSyncPoint.h"
#include "comm-serd/TakUniqueLock.h"

namespace TakNanolog {

namespace {

// Records written between two looks at the roll request, the spare blocks and the echo.
constexpr int kBatch = 1024;

}  // namespace

NanoLogger::NanoLogger(GuaranteedLogger tag, std::string const& log_directory,
                       std::string const& log_file_name, uint32_t log_file_roll_size_mb)
    : NanoLogger(tag, log_directory, log_file_name, log_file_roll_size_mb, Options{}) {}

NanoLogger::NanoLogger(GuaranteedLogger, std::string const& log_directory,
                       std::string const& log_file_name, uint32_t log_file_roll_size_mb,
                       Options options)
    : m_state(State::INIT),
      m_queue(options.spareBlocks, options.reserveBlocks),
      m_file_writer(log_directory, log_file_name, log_file_roll_size_mb * 1024 * 1024),
      m_echo(std::move(options.echo)),
      m_wake_interval(options.wakeInterval),
      m_echo_finish_timeout(options.echoFinishTimeout),
      m_thread(&NanoLogger::pop, this),
      m_writer_id(m_thread.get_id()) {
    m_state.store(State::READY, std::memory_order_release);
}

NanoLogger::~NanoLogger() { shutdown(); }

bool NanoLogger::isWriterThread() const { return std::this_thread::get_id() == m_writer_id; }

std::string NanoLogger::currentFileName() const { return m_file_writer.currentFileName(); }

void NanoLogger::shutdown() {
    if (isWriterThread()) return;
    TakLockGuard lock(m_join_mutex);
    if (!m_thread.joinable()) return;
    {
        TakLockGuard guard(m_mutex);
        m_state.store(State::SHUTDOWN, std::memory_order_release);
    }
    m_cond.notify_one();
    m_thread.join();
    m_file_writer.close();
}

void NanoLogger::requestRoll() {
    {
        TakLockGuard guard(m_mutex);
        m_roll_requested.store(true, std::memory_order_release);
    }
    m_cond.notify_one();
}

void NanoLogger::writeRecord(TakNanoLogLine& logline) {
    std::string_view const text = m_text.format(logline);
    m_file_writer.write(text, logline.level());
    if (m_echo) m_echo->offer(text, logline.level());
}

void NanoLogger::reportEchoDropped(uint64_t dropped, bool echo) {
    TakNanoLogLine note(LogLevel::INFO, __FILE__, __func__, __LINE__);
    note << "console echo dropped records while standard output did not take them:" << dropped;
    if (echo) {
        writeRecord(note);
    } else {
        m_file_writer.write(m_text.format(note), note.level());
    }
}

void NanoLogger::catchUp() {
    m_file_writer.flushIfDue();
    if (!m_echo) return;
    m_echo->flush();
    if (uint64_t const dropped = m_echo->takeDroppedOnceCaughtUp()) {
        reportEchoDropped(dropped, true);
        m_file_writer.flushIfDue();
        m_echo->flush();
    }
}

void NanoLogger::rollNow() {
    std::string const previous = m_file_writer.currentFileName();
    m_file_writer.roll_file();
    TakNanoLogLine note(LogLevel::INFO, __FILE__, __func__, __LINE__);
    note << "new log file on request, previous file:" << previous;
    writeRecord(note);
}

void NanoLogger::pop() {
    // Named for top -H and /proc/PID/task/*/comm.
    pthread_setname_np(pthread_self(), "tak-log-writer");
    // A fatal signal sent to the process (kill -SEGV) may land on any thread that does not block
    // it. On this thread the handler could not save the log (it would have to wait for itself),
    // so block them here and let the kernel pick another thread. A fault of this thread itself
    // still ends the process: the kernel does not hold back a blocked synchronous fault.
    // SIGPIPE too: an echo whose reader has gone then fails with EPIPE, whatever the process
    // does with the signal.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : {SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGPIPE}) sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    while (m_state.load(std::memory_order_acquire) == State::INIT) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }

    TakNanoLogLine logline(LogLevel::INFO, nullptr, nullptr, 0);
    while (m_state.load(std::memory_order_acquire) == State::READY) {
        if (m_roll_requested.exchange(false, std::memory_order_acq_rel)) rollNow();
        m_queue.prepare();
        int written = 0;
        while (written < kBatch && m_queue.try_pop(logline)) {
            writeRecord(logline);
            ++written;
        }
        if (written == kBatch) continue;  // more may be queued
        catchUp();
        TakUniqueLock lock(m_mutex);
        if (m_state.load(std::memory_order_acquire) == State::READY &&
            !m_roll_requested.load(std::memory_order_acquire)) {
            TAK_SYNC_POINT("NanoLogger::pop:sleep");
            m_cond.wait_for(lock.native(), m_wake_interval);
        }
    }
    // Write whatever is still queued.
    while (m_queue.try_pop(logline)) writeRecord(logline);
    catchUp();
    if (m_echo) {
        m_echo->finish(m_echo_finish_timeout);
        // What the echo could not write in time: at least the file says so.
        if (uint64_t const dropped = m_echo->dropped()) reportEchoDropped(dropped, false);
    }
    m_file_writer.close();
}

}  // namespace TakNanolog
