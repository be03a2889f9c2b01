#include "log/TakNanoLogger.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>

#include "log/TakNanoQueueBuffer.h"

namespace TakNanolog {

NanoLogger::NanoLogger(GuaranteedLogger, std::string const& log_directory,
                       std::string const& log_file_name, uint32_t log_file_roll_size_mb)
    : m_state(State::INIT),
      m_buffer_base(std::make_unique<QueueBuffer>()),
      m_file_writer(log_directory, log_file_name, log_file_roll_size_mb * 1024 * 1024),
      m_thread(&NanoLogger::pop, this),
      m_writer_id(m_thread.get_id()) {
    m_state.store(State::READY, std::memory_order_release);
}

NanoLogger::~NanoLogger() { shutdown(); }

void NanoLogger::add(TakNanoLogLine&& logline) {
    m_buffer_base->push(std::move(logline));
    m_cond.notify_one();
}

bool NanoLogger::isWriterThread() const { return std::this_thread::get_id() == m_writer_id; }

std::string NanoLogger::currentFileName() const { return m_file_writer.currentFileName(); }

void NanoLogger::shutdown() {
    if (isWriterThread()) return;
    std::lock_guard<std::mutex> lock(m_join_mutex);
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_state.store(State::SHUTDOWN, std::memory_order_release);
    }
    m_cond.notify_one();
    m_thread.join();
    m_file_writer.close();
}

void NanoLogger::pop() {
    // A fatal signal sent to the process (kill -SEGV) may land on any thread that does not block
    // it. On this thread the handler could not save the log (it would have to wait for itself),
    // so block them here and let the kernel pick another thread. A fault of this thread itself
    // still ends the process: the kernel does not hold back a blocked synchronous fault.
    sigset_t fatal;
    sigemptyset(&fatal);
    for (int sig : {SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGSEGV}) sigaddset(&fatal, sig);
    pthread_sigmask(SIG_BLOCK, &fatal, nullptr);

    while (m_state.load(std::memory_order_acquire) == State::INIT) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }

    TakNanoLogLine logline(LogLevel::INFO, nullptr, nullptr, 0);
    while (m_state.load(std::memory_order_acquire) == State::READY) {
        if (m_buffer_base->try_pop(logline)) {
            m_file_writer.write(logline);
            m_file_writer.flushIfDue();
        } else {
            m_file_writer.flushIfDue();
            // Producers notify without the mutex, so a wake-up can be missed: the timed wait
            // bounds the delay.
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_state.load(std::memory_order_acquire) == State::READY) {
                m_cond.wait_for(lock, std::chrono::seconds(1));
            }
        }
    }
    // Write whatever is still queued.
    while (m_buffer_base->try_pop(logline)) m_file_writer.write(logline);
    m_file_writer.close();
}

}  // namespace TakNanolog
