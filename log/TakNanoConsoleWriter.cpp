#include "log/TakNanoConsoleWriter.h"

#include "log/TakNanolog.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace TakNanolog {

ConsoleWriter::ConsoleWriter(int fd, Form form, size_t capacity)
    : m_form(form), m_capacity(capacity) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return;
    if (S_ISREG(st.st_mode)) {
        m_kind = Kind::File;
        m_fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    } else if (S_ISSOCK(st.st_mode)) {
        m_kind = Kind::Socket;
        m_fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    } else {
        std::string const path = "/proc/self/fd/" + std::to_string(fd);
        m_fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (m_fd >= 0) {
            m_kind = Kind::NonBlocking;
        } else {
            m_kind = Kind::Polled;
            m_fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        }
    }
}

ConsoleWriter::~ConsoleWriter() {
    if (m_fd >= 0) close(m_fd);
}

ConsoleWriter::Form ConsoleWriter::formFor(int fd) {
    char const* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return Form::Plain;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char end = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) != 2) return Form::Plain;
    struct stat st {};
    if (fstat(fd, &st) != 0) return Form::Plain;
    bool const same = static_cast<unsigned long long>(st.st_dev) == device &&
                      static_cast<unsigned long long>(st.st_ino) == inode;
    return same ? Form::Journal : Form::Plain;
}

int ConsoleWriter::journalPriority(uint8_t level) {
    switch (level) {
        case 1:  // DEBUG
            return 7;
        case 2:  // WARN
            return 4;
        case 3:  // ERROR
            return 3;
        default:  // INFO and levels outside the four
            return 6;
    }
}

std::string ConsoleWriter::journalLine(std::string_view text, uint8_t level) {
    // The empty lines that end the record.
    while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    std::string line = "<" + std::to_string(journalPriority(level)) + ">";
    line.reserve(line.size() + text.size() + 16);
    bool header = true;
    for (char c : text) {
        if (c != '\n') {
            line.push_back(c);
        } else if (header) {
            line.push_back(' ');
            header = false;
        } else {
            line += " | ";
        }
    }
    line.push_back('\n');
    return line;
}

void ConsoleWriter::offer(std::string_view text, uint8_t level) {
    if (m_fd < 0) return;
    if (m_form == Form::Journal) {
        m_line = journalLine(text, level);
        text = m_line;
    }
    if (queuedBytes() != 0 && queuedBytes() + text.size() > m_capacity) {
        flush();
        // A record longer than the whole buffer is still taken into an empty one.
        if (queuedBytes() != 0 && queuedBytes() + text.size() > m_capacity) {
            ++m_dropped;
            logCounters.echoDropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    if (m_start != 0 && m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    }
    m_buffer.append(text.data(), text.size());
    m_ends.push_back(m_buffer.size());
}

ConsoleWriter::Outcome ConsoleWriter::writeSome(char const* data, size_t size, size_t& written) {
    written = 0;
    for (;;) {
        ssize_t n = -1;
        switch (m_kind) {
            case Kind::Socket:
                n = send(m_fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
                break;
            case Kind::Polled: {
                pollfd p{m_fd, POLLOUT, 0};
                int const ready = poll(&p, 1, 0);
                if (ready < 0 && errno == EINTR) continue;
                if (ready == 0) return Outcome::WouldBlock;
                if (ready < 0 || (p.revents & (POLLERR | POLLNVAL)) != 0) return Outcome::Failed;
                // POLLOUT on a pipe means room for at least PIPE_BUF bytes.
                n = write(m_fd, data, std::min<size_t>(size, PIPE_BUF));
                break;
            }
            case Kind::File:
            case Kind::NonBlocking:
                n = write(m_fd, data, size);
                break;
        }
        if (n >= 0) {
            written = static_cast<size_t>(n);
            return Outcome::Wrote;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Outcome::WouldBlock;
        return Outcome::Failed;
    }
}

void ConsoleWriter::consume(size_t bytes) {
    m_start += bytes;
    while (!m_ends.empty() && m_ends.front() <= m_start) m_ends.pop_front();
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
        m_ends.clear();
    } else if (m_start >= m_capacity) {
        // Keep the buffer from creeping: move what is left to the front.
        m_buffer.erase(0, m_start);
        for (size_t& end : m_ends) end -= m_start;
        m_start = 0;
    }
}

void ConsoleWriter::dropQueued() {
    m_dropped += m_ends.size();
    logCounters.echoDropped.fetch_add(m_ends.size(), std::memory_order_relaxed);
    m_buffer.clear();
    m_start = 0;
    m_ends.clear();
}

void ConsoleWriter::flush() {
    if (m_fd < 0) return;
    while (queuedBytes() != 0) {
        size_t written = 0;
        Outcome const outcome = writeSome(m_buffer.data() + m_start, queuedBytes(), written);
        if (outcome == Outcome::Failed) {
            m_lastWriteFailed = true;
            dropQueued();
            return;
        }
        if (outcome == Outcome::WouldBlock || written == 0) return;
        m_lastWriteFailed = false;
        consume(written);
    }
}

void ConsoleWriter::finish(std::chrono::milliseconds timeout) {
    if (m_fd < 0) return;
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        flush();
        if (queuedBytes() == 0) return;
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{m_fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100))) < 0 &&
            errno != EINTR) {
            break;
        }
    }
    dropQueued();
}

uint64_t ConsoleWriter::takeDroppedOnceCaughtUp() {
    if (m_dropped == 0 || queuedBytes() != 0 || m_lastWriteFailed) return 0;
    uint64_t const dropped = m_dropped;
    m_dropped = 0;
    return dropped;
}

}  // namespace TakNanolog
