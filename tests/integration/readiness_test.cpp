// The daemon tells a service manager (systemd's notification socket, NOTIFY_SOCKET) that it is
// ready only once both listeners take connections, and that it is stopping when SIGTERM starts
// the orderly stop. The test plays the service manager's part with a datagram socket of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/TakDaemonProcess.h"
#include "support/TakTempDir.h"
#include "support/TakTestKeys.h"

using namespace std::chrono_literals;

namespace {

// A Unix datagram socket where the daemon's notifications arrive, as systemd's would.
class NotifySocket {
public:
    NotifySocket() : m_dir("tak-notify") {
        m_path = m_dir.file("notify");
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (m_fd < 0 || m_path.size() >= sizeof address.sun_path) return;
        m_path.copy(address.sun_path, m_path.size());
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~NotifySocket() {
        if (m_fd >= 0) close(m_fd);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool open() const { return m_fd >= 0; }
    std::string environment() const { return "NOTIFY_SOCKET=" + m_path; }

    // The next notification, or nothing when none came within the time.
    std::optional<std::string> receive(std::chrono::milliseconds timeout) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        char buffer[4096];
        ssize_t const n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, static_cast<size_t>(n));
    }

    // Notifications until one contains text (returned last), or all that came before the time
    // ran out.
    std::vector<std::string> receiveUntil(const std::string& text,
                                          std::chrono::milliseconds timeout) {
        std::vector<std::string> got;
        auto const deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            auto const message = receive(std::max(left, 1ms));
            if (!message) break;
            got.push_back(*message);
            if (message->find(text) != std::string::npos) break;
        }
        return got;
    }

private:
    TakTempDir m_dir;
    std::string m_path;
    int m_fd = -1;
};

bool accepts(int port) {
    int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool const ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// A listening socket on a free port, as another program holding the port would have; the port
// is the kernel's choice, so no other program can be on it.
class HeldPort {
public:
    HeldPort() : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t length = sizeof address;
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(m_fd, 4) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            release();
            return;
        }
        m_port = ntohs(address.sin_port);
    }
    ~HeldPort() { release(); }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

    void release() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    int port() const { return m_port; }

private:
    int m_fd;
    int m_port = 0;
};

bool contains(const std::vector<std::string>& messages, const std::string& text) {
    for (const auto& m : messages) {
        if (m.find(text) != std::string::npos) return true;
    }
    return false;
}

TakDaemonProcess::Options notifying(const NotifySocket& socket) {
    TakDaemonProcess::Options options;
    options.keyFile = takTestKeys().keyFile;
    options.environment.push_back(socket.environment());
    return options;
}

void expectStoppingThenExit(TakDaemonProcess& daemon, NotifySocket& notify) {
    ASSERT_TRUE(daemon.sendSignal(SIGTERM));
    auto const stopping = notify.receiveUntil("STOPPING=1", 10s);
    ASSERT_TRUE(contains(stopping, "STOPPING=1")) << daemon.standardOutput();
    EXPECT_FALSE(contains(stopping, "READY=1"));
    auto const status = daemon.waitForExit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << daemon.standardError();
}

}  // namespace

TEST(ReadinessTest, ReadyWhenBothListenersTakeConnectionsAndStoppingOnSigterm) {
    NotifySocket notify;
    ASSERT_TRUE(notify.open());
    TakDaemonProcess daemon(notifying(notify));
    ASSERT_TRUE(daemon.start());

    auto const messages = notify.receiveUntil("READY=1", 20s);
    ASSERT_TRUE(contains(messages, "READY=1")) << daemon.standardOutput() << daemon.standardError();
    // The moment it says so, both ports take connections.
    EXPECT_TRUE(accepts(daemon.agentPort()));
    EXPECT_TRUE(accepts(daemon.rpcPort()));
    EXPECT_EQ(messages.back(), "READY=1\nSTATUS=agents on port " +
                                   std::to_string(daemon.agentPort()) + ", console on port " +
                                   std::to_string(daemon.rpcPort()));
    EXPECT_EQ(messages.size(), 1u) << "notifications before READY=1: " << messages.front();

    expectStoppingThenExit(daemon, notify);
}

TEST(ReadinessTest, NotReadyWhileTheConsolePortIsHeld) {
    NotifySocket notify;
    ASSERT_TRUE(notify.open());
    HeldPort held;
    ASSERT_NE(held.port(), 0);
    TakDaemonProcess::Options options = notifying(notify);
    options.config.push_back({"Rpc", "Port", std::to_string(held.port())});
    TakDaemonProcess daemon(options);
    ASSERT_TRUE(daemon.start());

    // The daemon reports the held port and keeps trying; the agents are served meanwhile.
    auto const waiting = notify.receiveUntil("cannot be opened", 20s);
    ASSERT_TRUE(contains(
        waiting, "STATUS=console port " + std::to_string(held.port()) + " cannot be opened"))
        << daemon.standardOutput();
    EXPECT_FALSE(contains(waiting, "READY=1"));
    ASSERT_TRUE(daemon.waitForOutput("\nserver listen on port:"));
    EXPECT_TRUE(accepts(daemon.agentPort()));
    EXPECT_FALSE(notify.receive(0ms).has_value()) << "notified while the console port was held";

    held.release();
    // The next attempt (every 5 s) takes the port.
    auto const ready = notify.receiveUntil("READY=1", 20s);
    ASSERT_TRUE(contains(ready, "READY=1")) << daemon.standardOutput();
    EXPECT_TRUE(accepts(held.port()));

    expectStoppingThenExit(daemon, notify);
}
