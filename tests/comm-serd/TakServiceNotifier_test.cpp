#include "comm-serd/TakServiceNotifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Recorder {
    std::vector<std::string> sent;
    TakServiceNotifier notifier{[this](const std::string& s) { sent.push_back(s); }};
};

const std::string kReady = "READY=1\nSTATUS=agents on port 7300, console on port 7400";
const std::string kStopping = "STOPPING=1\nSTATUS=stopping";

}  // namespace

TEST(TakServiceNotifierTest, ReadyOnceBothListenersAreOpenInEitherOrder) {
    struct Case {
        const char* name;
        std::function<void(TakServiceNotifier&)> steps;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"agents, then console",
         [](TakServiceNotifier& n) {
             n.agentListenerOpen(7300);
             n.consoleListenerOpen(7400);
         },
         {kReady}},
        {"console, then agents",
         [](TakServiceNotifier& n) {
             n.consoleListenerOpen(7400);
             n.agentListenerOpen(7300);
         },
         {kReady}},
        {"agents only", [](TakServiceNotifier& n) { n.agentListenerOpen(7300); }, {}},
        {"console only, served again after a failure",
         [](TakServiceNotifier& n) {
             n.consoleListenerOpen(7400);
             n.consoleListenerOpen(7400);
         },
         {}},
        {"the console listener is served again after ready: no second ready",
         [](TakServiceNotifier& n) {
             n.agentListenerOpen(7300);
             n.consoleListenerOpen(7400);
             n.consoleListenerOpen(7400);
         },
         {kReady}},
        {"a status while waiting for the console port",
         [](TakServiceNotifier& n) {
             n.agentListenerOpen(7300);
             n.status("console port 7400 cannot be opened");
             n.consoleListenerOpen(7400);
         },
         {"STATUS=console port 7400 cannot be opened", kReady}},
        {"stop after ready, twice",
         [](TakServiceNotifier& n) {
             n.agentListenerOpen(7300);
             n.consoleListenerOpen(7400);
             n.stopping();
             n.stopping();
         },
         {kReady, kStopping}},
        {"stop during start-up: never ready, no status after it",
         [](TakServiceNotifier& n) {
             n.agentListenerOpen(7300);
             n.stopping();
             n.status("console port 7400 cannot be opened");
             n.consoleListenerOpen(7400);
         },
         {kStopping}},
    };
    for (const auto& c : cases) {
        Recorder r;
        c.steps(r.notifier);
        EXPECT_EQ(r.sent, c.expected) << c.name;
        bool const readySent =
            std::find(c.expected.begin(), c.expected.end(), kReady) != c.expected.end();
        EXPECT_EQ(r.notifier.ready(), readySent) << c.name;
    }
}

TEST(TakServiceNotifierTest, ListenersOpeningOnTwoThreadsAtOnceGiveOneReady) {
    for (int round = 0; round < 200; ++round) {
        Recorder r;
        std::thread console([&] { r.notifier.consoleListenerOpen(7400); });
        r.notifier.agentListenerOpen(7300);
        console.join();
        ASSERT_EQ(r.sent, std::vector<std::string>{kReady}) << "round " << round;
    }
}
