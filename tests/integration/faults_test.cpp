// What the daemon owes the database under faults: everything it has told an agent it received
// is written before an orderly stop ends; no device is left shown online by a stop it did not
// see coming; a database that is away at start-up or that refuses data as too large costs no
// other agent's data.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/TakAgentClient.h"
#include "support/TakDaemonProcess.h"
#include "support/TakDeviceTablesTest.h"
#include "support/TakEventually.h"
#include "support/TakTestAgents.h"
#include "support/TakTestDb.h"
#include "support/TakTestMariaDb.h"

namespace ComDefine = Tak::ComDefine;
namespace PolicyNotify = Tak::PolicyNotify;
using Tak::Business::MessageData;
using namespace std::chrono_literals;

namespace {

std::string macOf(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "aa:00:00:01:%02x:%02x", i / 256, i % 256);
    return text;
}

std::string lines(int count) {
    std::vector<std::vector<std::string>> content;
    for (int k = 0; k < count; ++k) {
        content.push_back({std::to_string(k), "stop test line", "b", "c", "d"});
    }
    return TakAgentClient::systemLogData(content);
}

// Waits for the answers to n requests (receipts and upload answers, in any order).
bool answered(TakAgentClient& agent, int uploads) {
    int answers = 0;
    MessageData message;
    while (answers < uploads) {
        if (!agent.receive(message, 20000)) return false;
        if (message.ndatatype() == ComDefine::PackDataAsr) ++answers;
    }
    return true;
}

int exitStatusOf(std::optional<int> status) {
    if (!status || !WIFEXITED(*status)) return -1;
    return WEXITSTATUS(*status);
}

using StopTest = TakDeviceTablesTest;

TEST_F(StopTest, AnsweredUploadsAndOfflineUpdatesAreWrittenBeforeTheExit) {
    constexpr int kAgents = 20;
    constexpr int kUploads = 5;
    constexpr int kLines = 500;
    auto daemon = takStartDaemon();
    ASSERT_TRUE(daemon);
    std::vector<std::unique_ptr<TakAgentClient>> agents;
    std::string const data = lines(kLines);
    for (int i = 0; i < kAgents; ++i) {
        agents.push_back(takConnectedAgent(*daemon));
        ASSERT_NE(agents.back()->sendDeviceInfo(macOf(i)), 0u);
        for (int u = 0; u < kUploads; ++u) {
            ASSERT_NE(agents.back()->sendAuditUpload(PolicyNotify::auditUpType_kernelInfo, macOf(i),
                                                     data),
                      0u);
        }
    }
    for (auto& agent : agents) ASSERT_TRUE(answered(*agent, kUploads));
    // Every upload is answered; most are still queued when the stop comes.
    long long const storedAtStop = audit.number("select count(*) from systemLog_kernelInfo");

    ASSERT_TRUE(daemon->sendSignal(SIGTERM));
    std::optional<int> const status = daemon->waitForExit(120s);
    ASSERT_TRUE(status.has_value()) << "still running after the drain limit";
    EXPECT_EQ(exitStatusOf(status), 0) << daemon->standardError();

    std::printf("stored at SIGTERM: %lld of %d answered lines\n", storedAtStop,
                kAgents * kUploads * kLines);
    EXPECT_EQ(audit.number("select count(*) from systemLog_kernelInfo"),
              kAgents * kUploads * kLines);
    // A registration still queued when its session closes is dropped (the device would be
    // written online after it has gone); every device that was written is offline.
    EXPECT_GT(sec.number("select count(*) from asset_auth_record"), 0);
    EXPECT_EQ(sec.number("select count(*) from asset_auth_record where onlineState <> 0"), 0);
    EXPECT_EQ(daemon->logText().find("not written"), std::string::npos);
}

TEST_F(StopTest, DevicesLeftOnlineByACrashAreOfflineWhenTheDaemonStartsAgain) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(
            sec.exec("insert into asset_auth_record (id, macAddr, onlineState, authState) "
                     "values ('crash-" +
                     std::to_string(i) + "', '" + macOf(100 + i) + "', 1, 1)"))
            << sec.error();
    }
    auto daemon = takStartDaemon();
    ASSERT_TRUE(daemon);
    EXPECT_TRUE(daemon->waitForLog("devices marked offline at start-up: 3 "));
    EXPECT_EQ(sec.number("select count(*) from asset_auth_record where onlineState <> 0"), 0);
    EXPECT_EQ(sec.number("select count(*) from asset_auth_record where authState = 1"), 3);
}

// A database server of the test's own, to be stopped and started under the daemon.
class PrivateDatabaseTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A small packet bound, so that one large line is more than the server takes.
        s_server = std::make_unique<TakTestMariaDb>(TakTestMariaDb::defaultBase("faults"),
                                                    "--max-allowed-packet=1M");
    }
    static void TearDownTestSuite() { s_server.reset(); }

    void SetUp() override {
        if (!s_server->running()) {
            ASSERT_TRUE(s_server->start()) << s_server->output();
        }
        TakTestDb sec("security_dev", s_server->port());
        TakTestDb audit("auditEvent_dev", s_server->port());
        ASSERT_TRUE(sec.truncate({"asset_auth_record"})) << sec.error();
        ASSERT_TRUE(audit.truncate({"systemLog_kernelInfo"})) << audit.error();
    }

    std::unique_ptr<TakDaemonProcess> startDaemon(
        std::vector<TakDaemonProcess::ConfigValue> config = {}) {
        config.push_back({"Database", "Port", std::to_string(s_server->port())});
        return takStartDaemon(std::move(config));
    }
    long long number(const char* database, const std::string& sql) {
        TakTestDb db(database, s_server->port());
        return db.number(sql);
    }

    static std::unique_ptr<TakTestMariaDb> s_server;
};

std::unique_ptr<TakTestMariaDb> PrivateDatabaseTest::s_server;

TEST_F(PrivateDatabaseTest, WhatCannotBeWrittenInTimeIsCountedPerTableAndTheExitSaysSo) {
    auto daemon = startDaemon({{"Limits", "StopDrainSeconds", "1"}});
    ASSERT_TRUE(daemon);
    auto agent = takConnectedAgent(*daemon);
    ASSERT_NE(agent->sendDeviceInfo(macOf(1)), 0u);
    ASSERT_TRUE(takEventually(
        [&] { return number("security_dev", "select count(*) from asset_auth_record") == 1; }));
    ASSERT_TRUE(s_server->stop());
    for (int u = 0; u < 3; ++u) {
        ASSERT_NE(agent->sendAuditUpload(PolicyNotify::auditUpType_kernelInfo, macOf(1), lines(10)),
                  0u);
    }
    ASSERT_TRUE(answered(*agent, 3));
    ASSERT_TRUE(daemon->sendSignal(SIGTERM));
    std::optional<int> const status = daemon->waitForExit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(exitStatusOf(status), 1);
    std::string const log = daemon->logText();
    EXPECT_NE(log.find("db tasks not written at stop: auditEvent_dev  systemLog_kernelInfo  "
                       "tasks: 3 "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("stopped before everything received was written"), std::string::npos);
    ASSERT_TRUE(s_server->start()) << s_server->output();
}

TEST_F(PrivateDatabaseTest, TheStartUpResetRunsFirstAlsoWhenTheDatabaseComesLater) {
    {
        TakTestDb sec("security_dev", s_server->port());
        ASSERT_TRUE(
            sec.exec("insert into asset_auth_record (id, macAddr, onlineState, authState) "
                     "values ('stale', '" +
                     macOf(200) + "', 1, 1)"))
            << sec.error();
    }
    ASSERT_TRUE(s_server->stop());
    auto daemon = startDaemon();
    ASSERT_TRUE(daemon);
    // A device registers while the database is away: its registration waits behind the reset.
    auto agent = takConnectedAgent(*daemon);
    ASSERT_NE(agent->sendDeviceInfo(macOf(201)), 0u);
    MessageData ack;
    ASSERT_TRUE(agent->receive(ack));
    ASSERT_TRUE(s_server->start()) << s_server->output();
    EXPECT_TRUE(takEventually(
        [&] {
            return number("security_dev",
                          "select onlineState from asset_auth_record where macAddr = '" +
                              macOf(201) + "'") == 1;
        },
        30s));
    EXPECT_EQ(
        number("security_dev", "select onlineState from asset_auth_record where id = 'stale'"), 0);
    EXPECT_TRUE(daemon->waitForLog("devices marked offline at start-up: 1 "));
}

TEST_F(PrivateDatabaseTest, ALineLargerThanTheServerTakesIsSkippedAndEverythingElseStored) {
    // Sent whole, the line would make the server drop the connection, and its task would be run
    // again and again while every other upload waited behind it.
    auto daemon = startDaemon();
    ASSERT_TRUE(daemon);
    std::vector<std::vector<std::string>> content;
    for (int k = 0; k < 5; ++k) content.push_back({std::to_string(k), "a", "b", "c", "d"});
    content[2][1] = std::string(2 * 1024 * 1024, 'x');
    auto big = takConnectedAgent(*daemon);
    ASSERT_NE(big->sendDeviceInfo(macOf(50)), 0u);
    ASSERT_NE(big->sendAuditUpload(PolicyNotify::auditUpType_kernelInfo, macOf(50),
                                   TakAgentClient::systemLogData(content)),
              0u);
    ASSERT_TRUE(answered(*big, 1));
    auto other = takConnectedAgent(*daemon);
    ASSERT_NE(other->sendDeviceInfo(macOf(51)), 0u);
    ASSERT_NE(other->sendAuditUpload(PolicyNotify::auditUpType_kernelInfo, macOf(51), lines(10)),
              0u);
    ASSERT_TRUE(answered(*other, 1));

    auto const rowsOf = [&](int i) {
        return number(
            "auditEvent_dev",
            "select count(*) from systemLog_kernelInfo where macAddr = '" + macOf(i) + "'");
    };
    EXPECT_TRUE(takEventually([&] { return rowsOf(50) == 4 && rowsOf(51) == 10; }, 20s))
        << rowsOf(50) << " and " << rowsOf(51) << " rows";
    EXPECT_TRUE(
        daemon->waitForLog("larger than the server's max_allowed_packet: "
                           "systemLog_kernelInfo  lines skipped: 1 "));
    std::string const log = daemon->logText();
    EXPECT_EQ(log.find("database connection lost:"), std::string::npos) << log;
    EXPECT_EQ(log.find("db task dropped"), std::string::npos) << log;
}

}  // namespace
