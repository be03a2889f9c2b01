#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "log/TakNanoBufferBase.h"
#include "log/TakNanoFileWriter.h"

namespace TakNanolog {

// Selects the lossless queue.
struct GuaranteedLogger {};

// The asynchronous file logger: a lock-free queue filled by any thread and one writer thread
// that empties it into rolling files.
class NanoLogger {
public:
    NanoLogger(GuaranteedLogger, std::string const& log_directory, std::string const& log_file_name,
               uint32_t log_file_roll_size_mb);
    // Sets the state to shut down and joins the writer, which first writes everything queued.
    ~NanoLogger();
    NanoLogger(NanoLogger const&) = delete;
    NanoLogger& operator=(NanoLogger const&) = delete;

    void add(TakNanoLogLine&& logline);
    // Stops the writer after it has written everything queued and closes the file. Safe to call
    // more than once; does nothing on the writer thread itself.
    void shutdown();
    bool isWriterThread() const;
    std::string currentFileName() const;

    void pop();

private:
    enum class State { INIT, READY, SHUTDOWN };

    // Only lets the writer sleep. The state changes to SHUTDOWN under it, so that the writer
    // cannot miss the wake-up between its last look at the state and its wait.
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::atomic<State> m_state;
    std::unique_ptr<BufferBase> m_buffer_base;
    FileWriter m_file_writer;
    std::mutex m_join_mutex;
    std::thread m_thread;
    // Read from any thread (a signal handler among them) while m_thread may be being joined.
    std::thread::id const m_writer_id;
};

}  // namespace TakNanolog
