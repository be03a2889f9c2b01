#pragma once

#include <memory>
#include <vector>

#include "agent/TakAgentClient.h"
#include "support/TakDaemonProcess.h"

// The built daemon with the tests' server key and the given configuration keys, started and
// listening for agents (a failed start is a test failure, and the pointer is then empty).
std::unique_ptr<TakDaemonProcess> takStartDaemon(
    std::vector<TakDaemonProcess::ConfigValue> config = {});

// An agent connected to the daemon's agent port that has checked the key offer against the
// tests' server key and sent its key answer: from now on it speaks encrypted.
std::unique_ptr<TakAgentClient> takConnectedAgent(const TakDaemonProcess& daemon);
