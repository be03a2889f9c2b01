#include "support/TakDaemonProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

extern char** environ;

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Three distinct TCP ports that nothing listens on now: the sockets stay bound until all are
// known, so the kernel cannot hand out the same port twice.
std::array<int, 3> freePorts() {
    std::array<int, 3> fds{-1, -1, -1};
    std::array<int, 3> ports{0, 0, 0};
    for (size_t i = 0; i < fds.size(); ++i) {
        fds[i] = socket(AF_INET, SOCK_STREAM, 0);
        if (fds[i] < 0) throw std::runtime_error("socket failed");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (bind(fds[i], reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(fds[i], reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("no free port");
        }
        ports[i] = ntohs(address.sin_port);
    }
    for (int fd : fds) close(fd);
    return ports;
}

// The number N of a log file "<stem>.N.txt", or -1.
long logFileNumber(const std::string& name) {
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".txt") != 0) return -1;
    std::string const stem = name.substr(0, name.size() - 4);
    size_t const dot = stem.rfind('.');
    if (dot == std::string::npos || dot + 1 == stem.size()) return -1;
    std::string const digits = stem.substr(dot + 1);
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return -1;
    return std::stol(digits);
}

}  // namespace

TakDaemonProcess::TakDaemonProcess() : TakDaemonProcess(Options{}) {}

TakDaemonProcess::TakDaemonProcess(Options options) : m_options(std::move(options)) {
    std::string pattern = (fs::temp_directory_path() / "tak-daemon-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_workDir = buffer.data();
    fs::create_directories(m_workDir / "config");
    if (!m_options.configDir.empty()) fs::create_directories(m_options.configDir);

    auto const ports = freePorts();
    m_agentPort = ports[0];
    m_rpcPort = ports[1];
    m_adminPort = ports[2];
    if (const char* db = std::getenv("TAK_TEST_DB_PORT")) m_dbPort = std::atoi(db);
}

TakDaemonProcess::~TakDaemonProcess() {
    if (m_pid > 0 && !m_status) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    // A sanitized daemon reports what it finds on standard error and may go on: that is a
    // failure of the test that drove it there.
    std::string const errors = standardError();
    for (const char* marker :
         {"ThreadSanitizer:", "AddressSanitizer:", "LeakSanitizer:", "runtime error:"}) {
        if (errors.find(marker) != std::string::npos) {
            ADD_FAILURE() << "the daemon's sanitizer reported:\n" << errors;
            break;
        }
    }
    if (m_stdoutPipe >= 0) close(m_stdoutPipe);
    if (m_pidfd >= 0) close(m_pidfd);
    if (testing::Test::HasFailure()) {
        std::cerr << "daemon working directory kept for inspection: " << m_workDir << std::endl;
        return;
    }
    std::error_code ec;
    fs::remove_all(m_workDir, ec);
}

fs::path TakDaemonProcess::daemonPath() { return fs::path(TAK_BIN_DIR) / "comm-serd"; }

fs::path TakDaemonProcess::configDir() const {
    return m_options.configDir.empty() ? m_workDir / "config" : m_options.configDir;
}

std::string TakDaemonProcess::configValue(const std::string& section,
                                          const std::string& key) const {
    std::string value;
    for (const auto& v : m_options.config) {
        if (lower(v.section) == lower(section) && lower(v.key) == lower(key)) value = v.value;
    }
    return value;
}

fs::path TakDaemonProcess::logDir() const {
    std::string dir = configValue("Log", "Dir");
    if (dir.empty()) return m_workDir / "logs";
    fs::path const path(dir);
    return path.is_absolute() ? path : m_workDir / path;
}

void TakDaemonProcess::writeConfig() const {
    std::vector<ConfigValue> values = {
        {"IPInfo", "IP", "127.0.0.1"},
        {"IPInfo", "PORT", std::to_string(m_agentPort)},
        {"Rpc", "Port", std::to_string(m_rpcPort)},
        {"Admin", "Listen", "127.0.0.1:" + std::to_string(m_adminPort)},
        {"Log", "Dir", (m_workDir / "logs").string() + "/"},
    };
    if (m_dbPort > 0) values.push_back({"Database", "Port", std::to_string(m_dbPort)});
    for (const auto& extra : m_options.config) {
        auto same = std::find_if(values.begin(), values.end(), [&](const ConfigValue& v) {
            return lower(v.section) == lower(extra.section) && lower(v.key) == lower(extra.key);
        });
        if (same != values.end()) {
            same->value = extra.value;
        } else {
            values.push_back(extra);
        }
    }

    // The lines of an existing file stay; each value replaces the line of its key, or is added
    // at the end of its section, or in a new section at the end.
    std::vector<std::string> lines;
    {
        std::ifstream in(configFile());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    auto trim = [](std::string text) {
        size_t const first = text.find_first_not_of(" \t\r");
        if (first == std::string::npos) return std::string();
        return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
    };
    auto sectionOf = [&](const std::string& line) -> std::optional<std::string> {
        std::string const t = trim(line);
        if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
        return lower(trim(t.substr(1, t.size() - 2)));
    };
    for (const auto& v : values) {
        std::string const entry = v.key + " = " + v.value;
        std::optional<size_t> sectionEnd;  // one past the section's last line
        bool done = false;
        std::string current;
        for (size_t i = 0; i < lines.size() && !done; ++i) {
            if (auto const s = sectionOf(lines[i])) {
                current = *s;
                continue;
            }
            if (current != lower(v.section)) continue;
            sectionEnd = i + 1;
            std::string const t = trim(lines[i]);
            if (t.empty() || t[0] == ';' || t[0] == '#' || t.find('=') == std::string::npos) {
                continue;
            }
            if (lower(trim(t.substr(0, t.find('=')))) == lower(v.key)) {
                lines[i] = entry;
                done = true;
            }
        }
        if (done) continue;
        if (!sectionEnd) {
            for (size_t i = 0; i < lines.size(); ++i) {
                if (sectionOf(lines[i]) == lower(v.section)) sectionEnd = i + 1;
            }
        }
        if (sectionEnd) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*sectionEnd), entry);
        } else {
            lines.push_back("[" + v.section + "]");
            lines.push_back(entry);
        }
    }
    std::ofstream out(configFile(), std::ios::trunc);
    for (const auto& line : lines) out << line << "\n";
}

bool TakDaemonProcess::start() {
    if (m_pid > 0) return false;
    writeConfig();
    if (!m_options.keyFile.empty()) {
        std::error_code ec;
        fs::copy_file(m_options.keyFile, configDir() / m_options.keyFileName,
                      fs::copy_options::overwrite_existing, ec);
        if (ec) {
            ADD_FAILURE() << "cannot copy the key file " << m_options.keyFile << ": "
                          << ec.message();
            return false;
        }
    }

    // Everything the child needs is prepared before fork: after it, only async-signal-safe calls.
    std::string const program =
        (m_options.program.empty() ? daemonPath() : m_options.program).string();
    std::string const dir = m_workDir.string();
    std::string const out = (m_workDir / "stdout.txt").string();
    std::string const err = (m_workDir / "stderr.txt").string();
    std::vector<std::string> arguments = m_options.arguments;
    if (!m_options.configDir.empty()) {
        arguments.push_back("--config");
        arguments.push_back(m_options.configDir.string());
    }
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string const entry(*e);
        bool const replaced = std::any_of(
            m_options.environment.begin(), m_options.environment.end(), [&](const std::string& x) {
                return x.substr(0, x.find('=')) == entry.substr(0, entry.find('='));
            });
        if (!replaced) environment.push_back(entry);
    }
    environment.insert(environment.end(), m_options.environment.begin(),
                       m_options.environment.end());
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    sigset_t none;
    sigemptyset(&none);
    int pipeEnds[2] = {-1, -1};
    if (m_options.stdoutToPipe) {
        if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe failed";
            return false;
        }
        if (m_options.stdoutPipeBytes > 0 &&
            fcntl(pipeEnds[1], F_SETPIPE_SZ, m_options.stdoutPipeBytes) < 0) {
            ADD_FAILURE() << "cannot size the pipe";
        }
    }

    pid_t const pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        if (pipeEnds[0] >= 0) {
            close(pipeEnds[0]);
            close(pipeEnds[1]);
        }
        return false;
    }
    if (pid == 0) {
        // The daemon must not outlive a test process that is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int const outFd = pipeEnds[1] >= 0
                              ? pipeEnds[1]
                              : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int const errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int const nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (outFd < 0 || errFd < 0 || nullFd < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(nullFd, STDIN_FILENO);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        // The daemon inherits nothing else of the test: no listener, no client socket.
        close_range(3, ~0u, 0);
        rlimit const noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    m_pid = pid;
    m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (m_pidfd < 0) ADD_FAILURE() << "pidfd_open failed: " << std::strerror(errno);
    if (pipeEnds[0] >= 0) {
        close(pipeEnds[1]);
        m_stdoutPipe = pipeEnds[0];
    }
    return true;
}

bool TakDaemonProcess::readStandardOutput(bool untilEnd, std::chrono::milliseconds timeout) {
    if (m_stdoutPipe < 0) return true;
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    for (;;) {
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{m_stdoutPipe, POLLIN, 0};
        int const waitMs = untilEnd ? static_cast<int>(std::max<long long>(left.count(), 0)) : 0;
        int const ready = poll(&p, 1, waitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return !untilEnd;  // nothing more now, or the time ran out
        ssize_t const n = read(m_stdoutPipe, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;  // the daemon's end is closed
        m_stdoutText.append(buffer, static_cast<size_t>(n));
    }
}

bool TakDaemonProcess::running() {
    if (m_pid <= 0 || m_status) return false;
    int status = 0;
    pid_t const r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_status = status;
        return false;
    }
    return r == 0;
}

long TakDaemonProcess::statusField(const std::string& name) const {
    if (m_pid <= 0 || m_status) return -1;
    std::ifstream in("/proc/" + std::to_string(m_pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
        try {
            return std::stol(line.substr(name.size() + 1));
        } catch (const std::exception&) {
            return -1;
        }
    }
    return -1;
}

bool TakDaemonProcess::sendSignal(int sig) {
    if (!running()) return false;
    return kill(m_pid, sig) == 0;
}

namespace {

// Milliseconds from now to the deadline, at least 0.
int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
}

// Reads and forgets the inotify events that have arrived.
void drainEvents(int fd) {
    alignas(inotify_event) char buffer[4096];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace

std::optional<int> TakDaemonProcess::waitForExit(std::chrono::milliseconds timeout) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        int const left = millisecondsUntil(deadline);
        if (left == 0) return std::nullopt;
        pollfd ended{m_pidfd, POLLIN, 0};
        // Without a pidfd (it could not be opened: the test has failed already), a short pause.
        if (m_pidfd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 10)));
        } else if (poll(&ended, 1, left) < 0 && errno != EINTR) {
            return std::nullopt;
        }
    }
    return m_status;
}

bool TakDaemonProcess::waitForText(const std::string& text, std::chrono::milliseconds timeout,
                                   bool inLog) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    // Changes of the files in the working directory (stdout.txt, a log directory made there)
    // and in the log directory, once it exists.
    int const watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    uint32_t const changes = IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE;
    if (watch >= 0) inotify_add_watch(watch, m_workDir.c_str(), changes);
    bool logDirWatched = false;
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) close(fd);
        }
    } const closer{watch};
    for (;;) {
        if (watch >= 0 && !logDirWatched) {
            logDirWatched = inotify_add_watch(watch, logDir().c_str(), changes) >= 0;
        }
        bool const alive = running();
        if (!inLog && m_stdoutPipe >= 0) readStandardOutput();
        if ((inLog ? logText() : standardOutput()).find(text) != std::string::npos) return true;
        int const left = millisecondsUntil(deadline);
        if (!alive || left == 0) return false;
        std::array<pollfd, 3> fds{
            {{watch, POLLIN, 0}, {m_pidfd, POLLIN, 0}, {!inLog ? m_stdoutPipe : -1, POLLIN, 0}}};
        // Without the watch (inotify refused) or before the log directory exists, look again
        // after at most 50 ms; poll() skips the negative descriptors.
        int const wait = (watch >= 0 && (logDirWatched || !inLog)) ? left : std::min(left, 50);
        if (poll(fds.data(), fds.size(), wait) > 0 && watch >= 0) drainEvents(watch);
    }
}

bool TakDaemonProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return waitForText(text, timeout, false);
}

bool TakDaemonProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout) {
    return waitForText(text, timeout, true);
}

std::string TakDaemonProcess::standardOutput() const {
    return m_stdoutPipe >= 0 ? m_stdoutText : readAll(m_workDir / "stdout.txt");
}

std::string TakDaemonProcess::standardError() const { return readAll(m_workDir / "stderr.txt"); }

std::vector<fs::path> TakDaemonProcess::logFiles() const {
    struct File {
        std::string stem;
        long number;
        fs::path path;
    };
    std::vector<File> files;
    std::error_code ec;
    for (fs::directory_iterator it(logDir(), ec), end; !ec && it != end; it.increment(ec)) {
        std::string const name = it->path().filename().string();
        long const number = logFileNumber(name);
        if (number < 0 || !it->is_regular_file()) continue;
        std::string const stem = name.substr(0, name.rfind('.', name.size() - 5));
        files.push_back({stem, number, it->path()});
    }
    // The start-up time stamp orders the runs, the number the files of one run.
    std::sort(files.begin(), files.end(), [](const File& a, const File& b) {
        return a.stem != b.stem ? a.stem < b.stem : a.number < b.number;
    });
    std::vector<fs::path> paths;
    for (const auto& f : files) paths.push_back(f.path);
    return paths;
}

std::string TakDaemonProcess::logText() const {
    std::string text;
    for (const auto& file : logFiles()) text += readAll(file);
    return text;
}

long TakDaemonProcess::memoryKiB(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}
