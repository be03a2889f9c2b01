#include "log/TakNanoConsoleWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/TakTempDir.h"

using TakNanolog::ConsoleWriter;

namespace {

// A pipe, closed when it goes. Its capacity can be cut to one page, so that it fills at once.
class Pipe {
public:
    explicit Pipe(int capacity = 0) {
        if (pipe2(m_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        if (capacity > 0) fcntl(m_ends[1], F_SETPIPE_SZ, capacity);
        fcntl(m_ends[0], F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        closeReader();
        if (m_ends[1] >= 0) close(m_ends[1]);
    }
    Pipe(Pipe const&) = delete;
    Pipe& operator=(Pipe const&) = delete;

    int writer() const { return m_ends[1]; }
    void closeReader() {
        if (m_ends[0] >= 0) close(m_ends[0]);
        m_ends[0] = -1;
    }
    // Everything the pipe holds now.
    std::string drain() {
        std::string out;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = read(m_ends[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
        return out;
    }

private:
    int m_ends[2] = {-1, -1};
};

// SIGPIPE is ignored while it lives, as the daemon ignores it.
class IgnoreSigpipe {
public:
    IgnoreSigpipe() { m_old = signal(SIGPIPE, SIG_IGN); }
    ~IgnoreSigpipe() { signal(SIGPIPE, m_old); }

private:
    sighandler_t m_old;
};

// Sets an environment variable while it lives.
class Environment {
public:
    Environment(const char* name, std::optional<std::string> value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    ~Environment() {
        if (m_old) {
            setenv(m_name, m_old->c_str(), 1);
        } else {
            unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// Record i: a numbered text of `length` bytes ending in a newline.
std::string recordText(int i, size_t length = 300) {
    std::string text = "record " + std::to_string(i) + " ";
    text.resize(length - 1, '.');
    text.push_back('\n');
    return text;
}

// Checks that text is made of whole records of recordText() in increasing order; returns how
// many.
int wholeRecordsIn(const std::string& text, size_t length = 300) {
    int count = 0;
    int last = -1;
    for (size_t at = 0; at < text.size(); at += length) {
        std::string const piece = text.substr(at, length);
        int const i = std::atoi(piece.c_str() + 7);
        EXPECT_EQ(piece, recordText(i, length)) << "a record cut or mixed up at byte " << at;
        EXPECT_GT(i, last);
        last = i;
        ++count;
    }
    return count;
}

}  // namespace

TEST(TakNanoConsoleWriterTest, FullPipeDropsWholeRecordsAndReportsTheCountOnceCaughtUp) {
    IgnoreSigpipe ignore;
    Pipe pipe(4096);
    ConsoleWriter echo(pipe.writer(), ConsoleWriter::Form::Plain, 8192);
    ASSERT_TRUE(echo.usable());

    constexpr int kRecords = 200;  // 60 000 bytes into a 4 KiB pipe and an 8 KiB buffer
    for (int i = 0; i < kRecords; ++i) echo.offer(recordText(i), 0);
    echo.flush();
    uint64_t const dropped = echo.dropped();
    EXPECT_GT(dropped, 100u);
    EXPECT_GT(echo.queuedBytes(), 0u);
    EXPECT_EQ(echo.takeDroppedOnceCaughtUp(), 0u) << "not caught up yet";

    // The reader comes back: what was queued goes out to its end.
    std::string received = pipe.drain();
    while (echo.queuedBytes() != 0) {
        echo.flush();
        received += pipe.drain();
    }
    EXPECT_EQ(wholeRecordsIn(received) + static_cast<int>(dropped), kRecords);
    EXPECT_EQ(echo.takeDroppedOnceCaughtUp(), dropped);
    EXPECT_EQ(echo.takeDroppedOnceCaughtUp(), 0u) << "reported once";

    echo.offer(recordText(kRecords), 0);
    echo.flush();
    EXPECT_EQ(pipe.drain(), recordText(kRecords));
}

TEST(TakNanoConsoleWriterTest, RecordLongerThanThePipeIsFinishedLater) {
    IgnoreSigpipe ignore;
    Pipe pipe(4096);
    ConsoleWriter echo(pipe.writer(), ConsoleWriter::Form::Plain, 4096);
    std::string const big = recordText(1, 10000);
    echo.offer(big, 0);  // an empty buffer takes a record of any length
    echo.offer(recordText(2, 10000), 0);
    echo.flush();
    EXPECT_EQ(echo.dropped(), 1u);
    EXPECT_GT(echo.queuedBytes(), 0u);

    std::string received;
    while (echo.queuedBytes() != 0) {
        received += pipe.drain();
        echo.flush();
    }
    received += pipe.drain();
    EXPECT_EQ(received, big);
}

TEST(TakNanoConsoleWriterTest, ReaderThatHasGoneDropsAndIsNeverReportedAsCaughtUp) {
    IgnoreSigpipe ignore;
    Pipe pipe;
    ConsoleWriter echo(pipe.writer(), ConsoleWriter::Form::Plain);
    pipe.closeReader();
    for (int i = 0; i < 3; ++i) {
        echo.offer(recordText(i), 0);
        echo.flush();
    }
    EXPECT_EQ(echo.dropped(), 3u);
    EXPECT_EQ(echo.queuedBytes(), 0u);
    EXPECT_EQ(echo.takeDroppedOnceCaughtUp(), 0u);
}

TEST(TakNanoConsoleWriterTest, RegularFileTakesEverythingAsItIs) {
    TakTempDir dir;
    std::string const path = (dir.path() / "out.txt").string();
    int const fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    std::string expected;
    {
        ConsoleWriter echo(fd, ConsoleWriter::Form::Plain, 1024);
        close(fd);  // the writer keeps a descriptor of its own
        for (int i = 0; i < 500; ++i) {
            echo.offer(recordText(i), 0);
            expected += recordText(i);
        }
        echo.flush();
        EXPECT_EQ(echo.dropped(), 0u);
    }
    EXPECT_EQ(TakTempDir::readFile(path), expected);
}

TEST(TakNanoConsoleWriterTest, SocketThatIsNotReadNeverBlocks) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    int const small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    auto drain = [&sv] {
        std::string out;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = read(sv[1], buffer, sizeof buffer)) > 0) out.append(buffer, n);
        return out;
    };

    ConsoleWriter echo(sv[0], ConsoleWriter::Form::Journal, 4096);
    constexpr int kRecords = 2000;
    for (int i = 0; i < kRecords; ++i) echo.offer("[header]\n" + recordText(i) + "\n\n", 0);
    echo.flush();
    EXPECT_GT(echo.dropped(), 0u);
    std::string received = drain();
    while (echo.queuedBytes() != 0) {
        echo.flush();
        received += drain();
    }

    // Whole journal lines only, as many as were not dropped.
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back(), '\n');
    uint64_t lines = 0;
    for (size_t at = 0; at < received.size(); ++lines) {
        size_t const end = received.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        std::string const line = received.substr(at, end - at);
        EXPECT_EQ(line.rfind("<6>[header] record ", 0), 0u) << line;
        at = end + 1;
    }
    EXPECT_EQ(lines + echo.dropped(), static_cast<uint64_t>(kRecords));
    close(sv[0]);
    close(sv[1]);
}

TEST(TakNanoConsoleWriterTest, JournalLineJoinsTheRecordsLinesBehindItsPriority) {
    struct Case {
        const char* name;
        std::string text;
        uint8_t level;
        std::string line;
    };
    std::string const header = "[2026-12-08 21:13:37.000123][INFO][7][main.cpp:serveInit:48行]";
    const std::vector<Case> cases = {
        {"INFO", header + "\ntcpserver init \n\n", 0, "<6>" + header + " tcpserver init \n"},
        {"DEBUG", header + "\nx \n\n", 1, "<7>" + header + " x \n"},
        {"WARN", header + "\nx \n\n", 2, "<4>" + header + " x \n"},
        {"ERROR", header + "\nx \n\n", 3, "<3>" + header + " x \n"},
        {"a level outside the four", header + "\nx \n\n", 9, "<6>" + header + " x \n"},
        {"no arguments", header + "\n\n\n", 0, "<6>" + header + "\n"},
        {"arguments over several lines", header + "\nselect *\nfrom t\n where 1 \n\n", 0,
         "<6>" + header + " select * | from t |  where 1 \n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConsoleWriter::journalLine(c.text, c.level), c.line) << c.name;
    }
}

TEST(TakNanoConsoleWriterTest, JournalFormOnlyWhenJournalStreamNamesTheDescriptor) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    struct stat st {};
    ASSERT_EQ(fstat(sv[0], &st), 0);
    std::string const mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    Pipe pipe;

    struct Case {
        const char* name;
        std::optional<std::string> stream;
        int fd;
        ConsoleWriter::Form form;
    };
    const std::vector<Case> cases = {
        {"names the socket", mine, sv[0], ConsoleWriter::Form::Journal},
        {"names another file", mine, pipe.writer(), ConsoleWriter::Form::Plain},
        {"not set", std::nullopt, sv[0], ConsoleWriter::Form::Plain},
        {"not device:inode", std::string("journal"), sv[0], ConsoleWriter::Form::Plain},
        {"trailing text", mine + "x", sv[0], ConsoleWriter::Form::Plain},
    };
    for (const auto& c : cases) {
        Environment env("JOURNAL_STREAM", c.stream);
        EXPECT_EQ(ConsoleWriter::formFor(c.fd), c.form) << c.name;
    }
    close(sv[0]);
    close(sv[1]);
}

TEST(TakNanoConsoleWriterTest, FinishGivesUpOnAReaderThatDoesNotReadAndCountsWhatIsLeft) {
    IgnoreSigpipe ignore;
    Pipe pipe(4096);
    ConsoleWriter echo(pipe.writer(), ConsoleWriter::Form::Plain, 8192);
    constexpr int kRecords = 40;
    for (int i = 0; i < kRecords; ++i) echo.offer(recordText(i), 0);
    echo.finish(std::chrono::milliseconds(20));
    EXPECT_EQ(echo.queuedBytes(), 0u);
    // The pipe holds whole records and at most the beginning of one more, which counts as
    // dropped with the rest.
    std::string const received = pipe.drain();
    std::string const whole = received.substr(0, received.size() - received.size() % 300);
    EXPECT_EQ(wholeRecordsIn(whole) + static_cast<int>(echo.dropped()), kRecords);
}

TEST(TakNanoConsoleWriterTest, DescriptorThatIsNotOpenIsNotUsed) {
    ConsoleWriter echo(-1, ConsoleWriter::Form::Plain);
    EXPECT_FALSE(echo.usable());
    echo.offer(recordText(0), 0);
    echo.flush();
    EXPECT_EQ(echo.dropped(), 0u);
}
