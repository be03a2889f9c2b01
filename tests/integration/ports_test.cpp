// Ports the daemon cannot have: the agents' port ends start-up, the console's port is tried
// again while the agents are served.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

#include <chrono>
#include <string>
#include <thread>

#include "agent/TakAgentClient.h"
#include "notifyService.h"
#include "support/TakDaemonProcess.h"
#include "support/TakTestKeys.h"

using namespace std::chrono_literals;

namespace {

// A listening socket on a free port of all addresses, held while the object lives.
class PortHolder {
public:
    PortHolder() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_fd, 4);
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~PortHolder() { release(); }
    void release() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    int port() const { return m_port; }

private:
    int m_fd;
    int m_port = 0;
};

TEST(PortsTest, AgentPortInUseEndsStartUpWithAnError) {
    PortHolder held;
    TakDaemonProcess::Options options;
    options.config = {{"IPInfo", "PORT", std::to_string(held.port())}};
    TakDaemonProcess daemon(options);
    ASSERT_TRUE(daemon.start());
    auto const status = daemon.waitForExit(10s);
    ASSERT_TRUE(status.has_value()) << "the daemon runs without its listener";
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_NE(WEXITSTATUS(*status), 0);
    std::string const out = daemon.standardOutput();
    EXPECT_NE(out.find("server listen on port: " + std::to_string(held.port())), std::string::npos)
        << out;
    EXPECT_NE(out.find("[ERROR]"), std::string::npos) << out;
    EXPECT_NE(out.find("cannot listen on port:"), std::string::npos) << out;
}

TEST(PortsTest, ConsolePortInUseIsTriedAgainWhileAgentsAreServed) {
    auto held = std::make_unique<PortHolder>();
    int const rpcPort = held->port();
    TakDaemonProcess::Options options;
    options.keyFile = takTestKeys().keyFile;
    options.config = {{"Rpc", "Port", std::to_string(rpcPort)}};
    TakDaemonProcess daemon(options);
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(daemon.waitForOutput("rpc server cannot serve on port:"));
    // The RPC thread may report before the main thread has opened the agents' port.
    ASSERT_TRUE(daemon.waitForOutput("\nserver listen on port:"));

    // The agents are served meanwhile.
    TakAgentClient agent;
    agent.setServerPoint(takTestKeys().point);
    ASSERT_TRUE(agent.connect("127.0.0.1", daemon.agentPort()));
    ASSERT_TRUE(agent.handshake());

    // Once the port is free, the console gets through within the retry period.
    held->release();
    ASSERT_TRUE(daemon.waitForOutput("rpc server listen on port:", 8s));
    // It listens: the first attempt is served.
    try {
        auto socket = std::make_shared<apache::thrift::transport::TSocket>("127.0.0.1", rpcPort);
        socket->setRecvTimeout(3000);
        auto transport = std::make_shared<apache::thrift::transport::TBufferedTransport>(socket);
        auto protocol = std::make_shared<apache::thrift::protocol::TBinaryProtocol>(transport);
        tak::rpc::notify::notifyServiceClient client(protocol);
        transport->open();
        client.notifyPolicy();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "the console was not served: " << e.what();
    }
    // Reported once, not on every attempt.
    std::string const log = daemon.logText();
    EXPECT_EQ(log.find("rpc server cannot serve on port:"),
              log.rfind("rpc server cannot serve on port:"));
    // And the orderly stop still stops it.
    ASSERT_TRUE(daemon.sendSignal(SIGTERM));
    auto const status = daemon.waitForExit(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

}  // namespace
