#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace TakNanolog {

// The console echo: the text of each record on standard output (or another descriptor), written
// by the log writer thread and never waiting for a reader that does not keep up.
//
// At construction the writer takes a descriptor of its own for the one it is given, chosen by
// what that is:
//   - a pipe, a terminal or another device: a new open of it through /proc/self/fd/N with
//     O_NONBLOCK, so that the flags of the given descriptor, which it may share with other
//     processes, stay as they are. Where that open fails, a duplicate that is written only
//     after poll() says it takes data, at most PIPE_BUF bytes at a time;
//   - a socket (journald's stream): a duplicate, written with send(MSG_DONTWAIT);
//   - a regular file: a duplicate, written as it is (a file does not stall).
//
// Records are queued whole in a bounded buffer and written from there. When the buffer is full
// and the descriptor takes nothing more, the next records are dropped whole and counted; a record
// once queued is written to its end, so a reader never sees half of one (unless the process stops
// while the reader still does not read, see finish()). A write error (a reader that has gone)
// drops what is queued and counts it.
//
// In the journal form each record is one line: "<N>" with the syslog priority of its level
// (ERROR 3, WARN 4, INFO and any other level 6, DEBUG 7), then the record's text with its line
// breaks turned into separators: the header line and the first line of the arguments are joined
// by a space, further lines of the arguments by " | ", and the empty lines that end a record are
// left out.
//
// Used by one thread at a time (the log writer).
class ConsoleWriter {
public:
    enum class Form { Plain, Journal };
    static constexpr size_t kDefaultCapacity = 64 * 1024;

    ConsoleWriter(int fd, Form form, size_t capacity = kDefaultCapacity);
    ~ConsoleWriter();
    ConsoleWriter(ConsoleWriter const&) = delete;
    ConsoleWriter& operator=(ConsoleWriter const&) = delete;

    // The form for a descriptor: Journal when the environment's JOURNAL_STREAM
    // ("device:inode", set by systemd) names the file the descriptor refers to, Plain otherwise
    // (also when JOURNAL_STREAM was inherited by a process whose output goes elsewhere).
    static Form formFor(int fd);
    // A record's text in the journal form, with its line end.
    static std::string journalLine(std::string_view text, uint8_t level);
    static int journalPriority(uint8_t level);

    // False when the descriptor could not be examined or duplicated: offers are then ignored.
    bool usable() const { return m_fd >= 0; }
    // Queues one record's text (as in the log file), or drops and counts it.
    void offer(std::string_view text, uint8_t level);
    // Writes as much of the queue as the descriptor takes now.
    void flush();
    // At a stop: waits up to `timeout` for the descriptor to take the whole queue; whole records
    // that are still queued then are counted as dropped.
    void finish(std::chrono::milliseconds timeout);
    // Once records have been dropped and the descriptor has since taken everything queued (the
    // echo has caught up), the number dropped since the last report; 0 otherwise.
    uint64_t takeDroppedOnceCaughtUp();
    // Records dropped and not reported yet.
    uint64_t dropped() const { return m_dropped; }
    // Bytes queued and not written yet.
    size_t queuedBytes() const { return m_buffer.size() - m_start; }

private:
    enum class Kind { File, Socket, NonBlocking, Polled };
    enum class Outcome { Wrote, WouldBlock, Failed };

    // One write without waiting (a regular file may wait for the disk).
    Outcome writeSome(char const* data, size_t size, size_t& written);
    // Forgets the bytes written so far and the records they completed.
    void consume(size_t bytes);
    void dropQueued();

    int m_fd = -1;
    Kind m_kind = Kind::File;
    Form m_form;
    size_t m_capacity;
    std::string m_buffer;       // queued bytes from m_start on
    size_t m_start = 0;         // bytes of m_buffer already written
    std::deque<size_t> m_ends;  // end offset in m_buffer of each queued record
    uint64_t m_dropped = 0;     // dropped since the last report
    bool m_lastWriteFailed = false;
    std::string m_line;  // scratch for the journal form
};

}  // namespace TakNanolog
