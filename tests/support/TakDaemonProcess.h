#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Runs the built daemon (${TAK_BIN_DIR}/comm-serd, or another program) for an integration test,
// in a temporary working directory of its own:
//   config/config.ini  free TCP ports for [IPInfo] PORT, [Rpc] Port and [Admin] Listen (on
//                      127.0.0.1), [Log] Dir = logs/ under
//                      the directory, [Database] Port from TAK_TEST_DB_PORT (when set), and the
//                      test's own keys on top;
//   config/scert.dat   a copy of the key file the test names (optional);
//   stdout.txt, stderr.txt  what the daemon writes there (standard output may be a pipe instead,
//                           see Options::stdoutToPipe).
// With Options::configDir the daemon is started with --config DIR instead, and those keys are
// set in DIR/config.ini, whose other lines stay as they are.
// The destructor kills a daemon that still runs and removes the directory, unless the test has
// failed: then the directory is kept and its path printed.
class TakDaemonProcess {
public:
    struct ConfigValue {
        std::string section;
        std::string key;
        std::string value;
    };
    struct Options {
        // Added to config/config.ini, replacing a key of the same name (names without regard to
        // case, as the daemon reads them).
        std::vector<ConfigValue> config;
        // Copied into config/ under keyFileName when not empty.
        std::filesystem::path keyFile;
        std::string keyFileName = "scert.dat";
        // NAME=value entries added to (or replacing in) the daemon's environment.
        std::vector<std::string> environment;
        // The program to run (empty: the built daemon) and its arguments.
        std::filesystem::path program;
        std::vector<std::string> arguments;
        // A configuration directory of the test's, passed as --config (empty: config/ under the
        // working directory).
        std::filesystem::path configDir;
        // Standard output is a pipe whose reading end the test holds and reads only when it asks
        // (readStandardOutput(), or waitForOutput()): until then a reader that does not read.
        bool stdoutToPipe = false;
        // The pipe's capacity in bytes (F_SETPIPE_SZ; the system rounds it up to whole pages),
        // or 0 for the system's default.
        int stdoutPipeBytes = 0;
    };

    TakDaemonProcess();
    explicit TakDaemonProcess(Options options);
    ~TakDaemonProcess();
    TakDaemonProcess(const TakDaemonProcess&) = delete;
    TakDaemonProcess& operator=(const TakDaemonProcess&) = delete;

    // Writes the configuration and starts the daemon. False when it could not be started.
    [[nodiscard]] bool start();
    // Waits until standard output (or the log files) contain text; false on time-out or when the
    // daemon ended without writing it. It looks again whenever the files or the pipe change
    // (inotify, poll) or the daemon ends (its pidfd).
    [[nodiscard]] bool waitForOutput(const std::string& text,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
    [[nodiscard]] bool waitForLog(const std::string& text,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
    [[nodiscard]] bool sendSignal(int sig);
    // The wait status (as waitpid gives it) once the daemon has ended, or nothing on time-out.
    // Woken by the daemon's end itself (its pidfd).
    [[nodiscard]] std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    // True while the daemon runs (reaps it when it has ended).
    [[nodiscard]] bool running();
    // A "kB" field of /proc/PID/status ("VmHWM": the peak resident set so far, "VmRSS",
    // "Threads" as a count), or -1 when the daemon does not run or has no such field.
    long statusField(const std::string& name) const;

    // With stdoutToPipe, what has been read from the pipe so far.
    std::string standardOutput() const;
    // With stdoutToPipe: reads what the pipe holds now, without waiting, onto standardOutput();
    // with untilEnd, reads until the daemon has closed its end (it has ended), or the time is up.
    // False when the time ran out first.
    bool readStandardOutput(bool untilEnd = false,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // With stdoutToPipe: the reading end, for the test to examine (not to close).
    int standardOutputPipe() const { return m_stdoutPipe; }
    std::string standardError() const;
    // The log files of the run, oldest first, and their text in that order.
    std::vector<std::filesystem::path> logFiles() const;
    std::string logText() const;

    int agentPort() const { return m_agentPort; }
    int rpcPort() const { return m_rpcPort; }
    // The port of [Admin] Listen as the test support wrote it (a test's own value replaces it).
    int adminPort() const { return m_adminPort; }
    // 0 when TAK_TEST_DB_PORT is not set.
    int dbPort() const { return m_dbPort; }
    pid_t pid() const { return m_pid; }
    // A memory figure of the running daemon in KiB ("VmRSS", or the peak "VmHWM"); -1 when
    // unknown.
    long memoryKiB(const std::string& field) const;
    // False for a daemon built with AddressSanitizer, whose shadow memory and quarantine of
    // freed blocks make its memory figures say nothing about the daemon's own use.
    static constexpr bool memoryFiguresMean() {
#if defined(__SANITIZE_ADDRESS__)
        return false;
#else
        return true;
#endif
    }
    const std::filesystem::path& workDir() const { return m_workDir; }
    std::filesystem::path configFile() const { return configDir() / "config.ini"; }
    std::filesystem::path configDir() const;
    // The log directory as configured, relative paths taken from the working directory.
    std::filesystem::path logDir() const;
    static std::filesystem::path daemonPath();

private:
    std::string configValue(const std::string& section, const std::string& key) const;
    void writeConfig() const;
    [[nodiscard]] bool waitForText(const std::string& text, std::chrono::milliseconds timeout,
                                   bool inLog);

    Options m_options;
    std::filesystem::path m_workDir;
    int m_agentPort = 0;
    int m_rpcPort = 0;
    int m_adminPort = 0;
    int m_dbPort = 0;
    pid_t m_pid = -1;
    int m_pidfd = -1;  // readable once the daemon has ended
    std::optional<int> m_status;
    int m_stdoutPipe = -1;     // the reading end, with stdoutToPipe
    std::string m_stdoutText;  // read from it so far
};
