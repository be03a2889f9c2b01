#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"
#include "log/TakNanoConsoleWriter.h"
#include "log/TakNanoFileWriter.h"
#include "log/TakNanoQueueBuffer.h"
#include "log/TakNanoRecordText.h"

namespace TakNanolog {

// Selects the lossless queue.
struct GuaranteedLogger {};

// The asynchronous file logger: a lock-free queue filled by any thread and one writer thread
// that empties it into rolling files and, when there is one, the console echo.
//
// A log statement makes no system call: the writer is not woken for each record but wakes on a
// short timer (wakeInterval) and when a record fills a block of the queue; an ERROR record (or
// one above it) wakes it at once, so that errors reach the file promptly. Each time the writer
// has emptied the queue it flushes the file and writes the echo. Everything queued is written
// when the logger stops (shutdown(), the destructor).
class NanoLogger {
public:
    struct Options {
        // The console echo, written by the writer thread; none when empty.
        std::unique_ptr<ConsoleWriter> echo;
        // Blocks of the queue kept touched and ready for the producers (see QueueBuffer), and
        // how many to prepare at once for a burst known in advance.
        uint32_t spareBlocks = 1;
        uint32_t reserveBlocks = 0;
        std::chrono::milliseconds wakeInterval{10};
        // How long a stop waits for the echo's reader to take what is still queued for it.
        std::chrono::milliseconds echoFinishTimeout{1000};
    };

    NanoLogger(GuaranteedLogger, std::string const& log_directory, std::string const& log_file_name,
               uint32_t log_file_roll_size_mb);
    NanoLogger(GuaranteedLogger, std::string const& log_directory, std::string const& log_file_name,
               uint32_t log_file_roll_size_mb, Options options);
    // Sets the state to shut down and joins the writer, which first writes everything queued.
    ~NanoLogger();
    NanoLogger(NanoLogger const&) = delete;
    NanoLogger& operator=(NanoLogger const&) = delete;

    void add(TakNanoLogLine&& logline) {
        bool const urgent = logline.level() > static_cast<uint8_t>(LogLevel::WARN);
        bool const filled = m_queue.push(std::move(logline));
        // Without waiters (the writer busy) this is a load; with the writer asleep, a futex wake.
        if (urgent || filled) m_cond.notify_one();
    }
    // Stops the writer after it has written everything queued and closes the file. Safe to call
    // more than once; does nothing on the writer thread itself.
    void shutdown();
    // Asks the writer to start the next log file; it logs an INFO record in the new file saying
    // so. Any thread, not from a signal handler.
    void requestRoll();
    bool isWriterThread() const;
    std::string currentFileName() const;

    void pop();

private:
    enum class State { INIT, READY, SHUTDOWN };

    // Writes one record to the file and offers it to the echo.
    void writeRecord(TakNanoLogLine& logline);
    // The queue is empty for now: flush the file, write the echo, report echo losses.
    void catchUp();
    // An INFO record with the number of records the echo dropped: to the file, and to the echo
    // as well unless it is being given up.
    void reportEchoDropped(uint64_t dropped, bool echo);
    void rollNow();

    // Lets the writer sleep. The state changes to SHUTDOWN and a roll is requested under it, so
    // that the writer cannot miss them between its last look and its wait.
    TakMutex m_mutex TAK_ACQUIRED_AFTER(m_join_mutex);
    std::condition_variable m_cond;
    std::atomic<State> m_state;
    std::atomic<bool> m_roll_requested{false};
    QueueBuffer m_queue;
    FileWriter m_file_writer;
    std::unique_ptr<ConsoleWriter> m_echo;  // writer thread only
    std::chrono::milliseconds const m_wake_interval;
    std::chrono::milliseconds const m_echo_finish_timeout;
    RecordText m_text;  // writer thread only
    TakMutex m_join_mutex;
    std::thread m_thread TAK_GUARDED_BY(m_join_mutex);
    // Read from any thread (a signal handler among them) while m_thread may be being joined.
    std::thread::id const m_writer_id;
};

}  // namespace TakNanolog
