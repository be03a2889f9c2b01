// tak-console and tak-agent-sim against the built daemon: what an operator types and reads.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/TakEventually.h"
#include "support/TakTestAgents.h"
#include "support/TakTestConsole.h"
#include "support/TakTestDb.h"
#include "support/TakTestKeys.h"
#include "support/TakTestShell.h"

using namespace std::chrono_literals;

namespace {

const std::string kConsole = std::string(TAK_BIN_DIR) + "/tak-console";
const std::string kAgent = std::string(TAK_BIN_DIR) + "/tak-agent-sim";

std::string contains(const std::string& text, const std::string& piece) {
    return text.find(piece) == std::string::npos ? "missing \"" + piece + "\" in: " + text : "";
}

TEST(ConsoleToolTest, ThreeCallsReadablyAndAsJson) {
    TakTestDb db;
    ASSERT_TRUE(db.connected()) << db.error();
    ASSERT_TRUE(db.truncate({"asset_auth_record"}));
    auto daemon = takStartDaemon();
    ASSERT_TRUE(daemon);
    std::string const port = " --port " + std::to_string(daemon->rpcPort()) + " ";

    // An agent simulator that registers and answers host queries.
    std::string const pointHex =
        TakTestShell::toHex(takTestKeys().point.data(), takTestKeys().point.size());
    std::string const keyHex = daemon->workDir().string() + "/pub.hex";
    TakTestShell::writeFile(keyHex, pointHex + "\n");
    std::string agentOut;
    // The revoke at the end closes the agent's connection, which ends the simulator; its time
    // limit only bounds a failed run, so a slow machine (or a sanitizer build) does not end the
    // agent before the revoke.
    std::thread agent([&] {
        TakTestShell::run(kAgent + " --port " + std::to_string(daemon->agentPort()) +
                              " --server-key " + TakTestShell::quote(keyHex) +
                              " --mac sim:01 --cpu 37 --mem 8:2 --disk 100:25 --seconds 60 run",
                          agentOut, true);
    });
    takEventually(
        [&] {
            return db.number(
                       "select onlineState from asset_auth_record where macAddr = "
                       "'sim:01'") == 1;
        },
        3s, 30ms);

    std::string out;
    EXPECT_EQ(TakTestShell::run(kConsole + port + "notify", out, true), 0) << out;
    EXPECT_EQ(contains(out, "pending policies are being pushed"), "");

    EXPECT_EQ(TakTestShell::run(kConsole + port + "hostinfo sim:01", out, true), 0) << out;
    EXPECT_EQ(contains(out, "sim:01: CPU 37 %, free memory 25.0 %, free disk 25.0 %"), "");
    EXPECT_EQ(TakTestShell::run(kConsole + port + "--json hostinfo sim:01", out, true), 0) << out;
    EXPECT_EQ(contains(out, "\"answered\":true,\"cpuUse\":37,\"memoryFree\":0.25"), "");
    EXPECT_EQ(TakTestShell::run(kConsole + port + "--json hostinfo nobody", out, true), 0) << out;
    EXPECT_EQ(contains(out, "\"answered\":false,\"cpuUse\":0,\"memoryFree\":null"), "");

    EXPECT_EQ(TakTestShell::run(kConsole + port + "auth sim:01 on", out, true), 0) << out;
    EXPECT_EQ(contains(out, "sim:01: approved"), "");
    EXPECT_EQ(TakTestShell::run(kConsole + port + "auth nobody off", out, true), 1) << out;
    EXPECT_EQ(contains(out, "revocation failed (rpcRet_cancelAuthFailed)"), "");
    EXPECT_EQ(TakTestShell::run(kConsole + port + "--json auth nobody on", out, true), 1) << out;
    EXPECT_EQ(contains(out, "\"result\":1,\"name\":\"rpcRet_authFailed\""), "");
    EXPECT_EQ(TakTestShell::run(kConsole + port + "auth sim:01 off", out, true), 0) << out;
    EXPECT_EQ(contains(out, "sim:01: revoked and disconnected"), "");
    agent.join();
    EXPECT_EQ(contains(agentOut, "key exchange done"), "");
    EXPECT_EQ(contains(agentOut, "answered a host query"), "");
    EXPECT_EQ(contains(agentOut, "the server closed the connection"), "");
}

TEST(ConsoleToolTest, RefusedBeyondTheConnectionLimitAndServedOnceAPlaceIsFree) {
    auto daemon = takStartDaemon({{"Rpc", "MaxConnections", "1"}});
    ASSERT_TRUE(daemon);
    std::string const port = std::to_string(daemon->rpcPort());
    auto held = std::make_unique<TakTestConsole>(daemon->rpcPort());
    (*held)->notifyPolicy();

    // Told at once, not left waiting.
    std::string out;
    EXPECT_EQ(TakTestShell::run(kConsole + " --port " + port + " notify", out, true), 3) << out;
    EXPECT_EQ(contains(out, "comm-serd does not answer at 127.0.0.1:" + port), "");

    held->close();
    EXPECT_TRUE(takEventually(
        [&] { return TakTestShell::run(kConsole + " --port " + port + " notify", out, true) == 0; },
        10s, 50ms))
        << out;
}

TEST(ConsoleToolTest, DaemonThatDoesNotAnswerAndBadUsage) {
    std::string out;
    // Nothing listens on port 1.
    EXPECT_EQ(TakTestShell::run(kConsole + " --port 1 notify", out, true), 3);
    EXPECT_EQ(contains(out, "comm-serd does not answer at 127.0.0.1:1"), "");
    EXPECT_EQ(TakTestShell::run(kConsole + " auth mac maybe", out, true), 2);
    EXPECT_EQ(contains(out, "usage: tak-console"), "");
}

}  // namespace
