// The database server goes away and comes back while the daemon's connections live. These
// tests run a MariaDB server of their own, so the shared test server is never disturbed.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbManager.h"
#include "comm-serd/db/TakDbPreStatement.h"
#include "comm-serd/db/TakDbResult.h"
#include "support/TakDbDrained.h"
#include "support/TakLogCapture.h"
#include "support/TakSyncPointCounter.h"
#include "support/TakTestDb.h"
#include "support/TakTestMariaDb.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kLogTable = "systemLog_switchInfo";

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

class TakDbReconnectTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_server = std::make_unique<TakTestMariaDb>(TakTestMariaDb::defaultBase("reconnect"));
    }
    static void TearDownTestSuite() { s_server.reset(); }

    void SetUp() override {
        if (!s_server->running()) {
            ASSERT_TRUE(s_server->start()) << s_server->output();
        }
        TakTestDb audit("auditEvent_dev", s_server->port());
        ASSERT_TRUE(audit.connected()) << audit.error();
        ASSERT_TRUE(audit.truncate({kLogTable}));
        m_log.clear();
    }

    // The daemon's way: the manager reads its settings from config/config.ini.
    std::shared_ptr<TakDbManager> managerFromConfiguration() {
        auto const dir = std::filesystem::path(s_server->base()) / "work";
        std::filesystem::create_directories(dir / "config");
        std::ofstream(dir / "config" / "config.ini")
            << "[Database]\nHost = 127.0.0.1\nPort = " << s_server->port()
            << "\nUser = tak\nPassword = kertowan582\n";
        EXPECT_TRUE(TakGlobalInfoManager::getInstance().loadConfigFrom(dir.string()).empty());
        EXPECT_EQ(TakGlobalInfoManager::getInstance().getDbSettings().port, s_server->port());
        return std::make_shared<TakDbManager>();
    }

    // One system-log upload as the audit service stores it: one statement prepared in the
    // task on the handle it takes when it runs, one execution per line, one commit at the end.
    static void storeUpload(TakDbConn& conn, const std::string& mac, int lines) {
        TakDbPreStatement stmt;
        std::string sql = std::string("insert into ") + kLogTable + " values(null, ?, ?,?,?,?,? )";
        (void)stmt.init(conn, sql);
        std::string macCopy = mac;
        for (int line = 0; line < lines; ++line) {
            long long first = line;
            std::string items[4] = {"a", "b", "c", "line " + std::to_string(line)};
            stmt.setParam(0, macCopy);
            stmt.setParam(1, first);
            for (unsigned int i = 0; i < 4; ++i) stmt.setParam(2 + i, items[i]);
            (void)stmt.executeUpdate();
        }
    }

    long long rows(const std::string& where = "1") {
        TakTestDb audit("auditEvent_dev", s_server->port());
        return audit.number(std::string("select count(*) from ") + kLogTable + " where " + where);
    }

    // The worker of a connection has found no server and waits before its next attempt.
    static constexpr const char* kWaitForConnection = "TakDbConn::runTask:waitForConnection";

    static std::unique_ptr<TakTestMariaDb> s_server;
    TakLogCapture m_log;
};

std::unique_ptr<TakTestMariaDb> TakDbReconnectTest::s_server;

TEST_F(TakDbReconnectTest, QueuedUploadsSurviveADatabaseRestart) {
    auto manager = managerFromConfiguration();
    ASSERT_EQ(manager->init(), TakStatus::success());
    auto audit = manager->getDBConn(g_strAuditDbName);
    ASSERT_NE(audit, nullptr);

    TakSyncPointCounter waits(kWaitForConnection);
    auto const stopStart = Clock::now();
    ASSERT_TRUE(s_server->stop());
    double const stopSeconds = secondsSince(stopStart);

    constexpr int kUploads = 20;
    constexpr int kLines = 5;
    for (int u = 0; u < kUploads; ++u) {
        std::string const mac = "mac-" + std::to_string(u);
        audit->processReq(u, [audit = audit.get(), mac] { storeUpload(*audit, mac, kLines); });
    }
    // The database stays away through three attempts to reach it.
    ASSERT_TRUE(waits.waitFor(3, 30s));
    EXPECT_GE(audit->queuedTaskCount(), static_cast<size_t>(kUploads - 1));

    auto const startAt = Clock::now();
    ASSERT_TRUE(s_server->start()) << s_server->output();
    double const startSeconds = secondsSince(startAt);
    ASSERT_TRUE(takDbDrained(*audit, 60s)) << rows() << " rows";
    double const drainSeconds = secondsSince(startAt);
    EXPECT_EQ(rows(), kUploads * kLines);  // each upload exactly once
    for (int u = 0; u < kUploads; ++u) {
        EXPECT_EQ(rows("macAddr = 'mac-" + std::to_string(u) + "'"), kLines) << u;
    }
    // The audit connection's own loss and return, once each (the idle security connection
    // notices the same server going away with its ping, in its own records).
    EXPECT_EQ(m_log.count("database connection lost:", g_strAuditDbName), 1u);
    EXPECT_EQ(m_log.count("database connection back:", g_strAuditDbName), 1u);
    EXPECT_EQ(m_log.count("mysql_stmt_prepare failed:"), 0u);
    EXPECT_EQ(m_log.count("mysql_stmt_execute failed: "), 0u);

    // Later work of both kinds goes through the same connection objects.
    EXPECT_TRUE(audit
                    ->executeUpdate(std::string("insert into ") + kLogTable +
                                    " (macAddr, item1) values ('direct', 1)")
                    .ok());
    EXPECT_EQ(rows("macAddr = 'direct'"), 1);
    audit->processReq(99, [audit = audit.get()] { storeUpload(*audit, "later", 2); });
    ASSERT_TRUE(takDbDrained(*audit, 10s));
    EXPECT_EQ(rows("macAddr = 'later'"), 2);
    auto res = manager->getDBConn(g_strSecurityDbName)->executeQuery("select database() as d");
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->getString("d"), g_strSecurityDbName);

    std::printf(
        "[ timing   ] server stop %.2f s, start %.2f s, all queued uploads stored %.2f s "
        "after the start began\n",
        stopSeconds, startSeconds, drainSeconds);
}

TEST_F(TakDbReconnectTest, ATaskCutOffBeforeItsCommitRunsAgainWhole) {
    auto manager = managerFromConfiguration();
    ASSERT_EQ(manager->init(), TakStatus::success());
    auto audit = manager->getDBConn(g_strAuditDbName);

    std::atomic<int> runs{0};
    std::promise<void> executed;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    audit->processReq(7, [&, conn = audit.get()] {
        int const run = ++runs;
        TakDbPreStatement stmt;
        std::string sql = std::string("insert into ") + kLogTable + " values(null, ?, ?,?,?,?,? )";
        EXPECT_TRUE(stmt.init(*conn, sql).ok());
        std::string mac = "cut";
        std::string item = "x";
        for (long long line = 0; line < 3; ++line) {
            stmt.setParam(0, mac);
            stmt.setParam(1, line);
            for (unsigned int i = 2; i < 6; ++i) stmt.setParam(i, item);
            (void)stmt.executeUpdate();
        }
        if (run == 1) {
            executed.set_value();
            released.wait();  // the server goes away here, before the commit
        }
    });
    executed.get_future().wait();
    TakSyncPointCounter waits(kWaitForConnection);
    ASSERT_TRUE(s_server->stop());
    release.set_value();
    // The commit failed; the task waits for the server before it runs again.
    ASSERT_TRUE(waits.waitFor(1, 30s));
    auto const upAt = Clock::now();
    ASSERT_TRUE(s_server->start()) << s_server->output();
    ASSERT_TRUE(takDbDrained(*audit, 60s)) << rows() << " rows";
    double const rerunSeconds = secondsSince(upAt);
    EXPECT_EQ(rows(), 3);
    EXPECT_EQ(runs.load(), 2);
    // The audit connection's own loss and return, once each (the idle security connection
    // notices the same server going away with its ping, in its own records).
    EXPECT_EQ(m_log.count("database connection lost:", g_strAuditDbName), 1u);
    EXPECT_EQ(m_log.count("database connection back:", g_strAuditDbName), 1u);
    EXPECT_EQ(m_log.count("db task lost its connection after commits:"), 0u);
    std::printf("[ timing   ] cut-off task stored %.2f s after the server start began\n",
                rerunSeconds);
}

TEST_F(TakDbReconnectTest, DatabaseDownAtStartUpNeedsNoRestart) {
    ASSERT_TRUE(s_server->stop());
    auto manager = managerFromConfiguration();
    EXPECT_EQ(manager->init().code(), TakStatus::ECode::Refused);
    EXPECT_EQ(m_log.count("mysql_real_connect failed: "), 1u);
    EXPECT_EQ(m_log.count("db conn size: "), 0u);
    auto security = manager->getDBConn(g_strSecurityDbName);
    auto audit = manager->getDBConn(g_strAuditDbName);
    ASSERT_NE(security, nullptr);
    ASSERT_NE(audit, nullptr);

    // Direct statements fail at once, as logged failures.
    auto const before = Clock::now();
    EXPECT_EQ(security->executeQuery("select 1 as one"), nullptr);
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_EQ(m_log.count("mysql_real_query failed: %s, sql: ", "select 1 as one"), 1u);

    // Work queued meanwhile is stored once the server is there.
    TakSyncPointCounter waits(kWaitForConnection);
    audit->processReq(1, [conn = audit.get()] { storeUpload(*conn, "early", 2); });
    ASSERT_TRUE(waits.waitFor(1, 30s));
    auto const upAt = Clock::now();
    ASSERT_TRUE(s_server->start()) << s_server->output();
    ASSERT_TRUE(takDbDrained(*audit, 60s));
    double const seconds = secondsSince(upAt);
    EXPECT_EQ(rows("macAddr = 'early'"), 2);
    auto res = security->executeQuery("select database() as d");
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->getString("d"), g_strSecurityDbName);
    // Both connections came up in the background.
    EXPECT_TRUE(security->isConnected());
    EXPECT_TRUE(audit->isConnected());
    std::printf(
        "[ timing   ] task queued while the database was down stored %.2f s after the "
        "server start began\n",
        seconds);
}

TEST_F(TakDbReconnectTest, DirectStatementsReconnectOnce) {
    auto conn = std::make_shared<TakDbConn>(g_strAuditDbName);
    ASSERT_TRUE(conn->connect(TakTestDb::settings(s_server->port())).ok());

    // The server restarts while the connection is idle: the next statement of each kind finds
    // the connection gone, reopens it and runs.
    struct Case {
        const char* what;
        std::function<void()> statement;
        std::string mac;
    };
    Case const cases[] = {
        {"executeUpdate",
         [&] {
             EXPECT_TRUE(conn->executeUpdate(std::string("insert into ") + kLogTable +
                                             " (macAddr) values ('update')")
                             .ok());
         },
         "update"},
        {"prepared statement", [&] { storeUpload(*conn, "prepared", 1); }, "prepared"},
        {"sycProcessReq task",
         [&] {
             TakStatus const status = conn->sycProcessReq(
                 [&] {
                     auto res = conn->executeQuery("select 1 as one");
                     if (res && res->getInt("one") == 1) storeUpload(*conn, "sync", 1);
                 },
                 5000);
             EXPECT_TRUE(status.ok()) << status.toString();
         },
         "sync"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_log.clear();
        ASSERT_TRUE(s_server->stop());
        ASSERT_TRUE(s_server->start()) << s_server->output();
        c.statement();
        EXPECT_EQ(rows("macAddr = '" + c.mac + "'"), 1);
        EXPECT_EQ(m_log.count("[ERROR]"), 0u);
        EXPECT_EQ(m_log.count("database connection lost:"), 1u);
        EXPECT_EQ(m_log.count("database connection back:"), 1u);
    }

    // With the server away a direct statement fails quickly, logged as usual.
    ASSERT_TRUE(s_server->stop());
    auto const before = Clock::now();
    EXPECT_EQ(conn->executeQuery("select 2 as two"), nullptr);
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_EQ(m_log.count("mysql_real_query failed: %s, sql: ", "select 2 as two"), 1u);
}

TEST_F(TakDbReconnectTest, AConnectionWaitingForTheDatabaseGoesAwayQuickly) {
    auto conn = std::make_shared<TakDbConn>(g_strAuditDbName);
    ASSERT_TRUE(conn->connect(TakTestDb::settings(s_server->port())).ok());
    ASSERT_TRUE(s_server->stop());
    std::atomic<int> runs{0};
    TakSyncPointCounter waits(kWaitForConnection);
    conn->processReq(1, [&runs, c = conn.get()] {
        ++runs;
        (void)c->executeQuery("select 1");
    });
    // The worker's back-off has grown to 800 ms: it is in (or about to enter) that wait.
    ASSERT_TRUE(waits.waitFor(4, 30s));
    // It found the server gone by running the task once, or earlier by its idle ping (then the
    // task waits for the server).
    int const ran = runs.load();
    EXPECT_LE(ran, 1);
    auto const before = Clock::now();
    conn.reset();
    EXPECT_LT(Clock::now() - before, 500ms);
    EXPECT_EQ(runs.load(), ran);
}

}  // namespace
