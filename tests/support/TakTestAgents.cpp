#include "support/TakTestAgents.h"

#include <gtest/gtest.h>

#include <string>

#include "support/TakTestKeys.h"

std::unique_ptr<TakDaemonProcess> takStartDaemon(
    std::vector<TakDaemonProcess::ConfigValue> config) {
    TakDaemonProcess::Options options;
    options.keyFile = takTestKeys().keyFile;
    options.config = std::move(config);
    auto daemon = std::make_unique<TakDaemonProcess>(options);
    if (!daemon->start()) {
        ADD_FAILURE() << "the daemon did not start";
        return nullptr;
    }
    // Both listeners: the agents' and, on its own thread, the console's.
    if (!daemon->waitForOutput("\nserver listen on port:") ||
        !daemon->waitForOutput("rpc server listen on port:")) {
        ADD_FAILURE() << "the daemon did not open its listeners:\n" << daemon->standardOutput();
        return nullptr;
    }
    return daemon;
}

std::unique_ptr<TakAgentClient> takConnectedAgent(const TakDaemonProcess& daemon) {
    auto agent = std::make_unique<TakAgentClient>();
    agent->setServerPoint(takTestKeys().point);
    EXPECT_TRUE(agent->connect("127.0.0.1", daemon.agentPort())) << "cannot connect";
    std::string error;
    EXPECT_TRUE(agent->handshake(&error)) << error;
    return agent;
}
