#include "comm-serd/db/TakDbConn.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TakDbTestFixture.h"
#include "comm-serd/db/TakDbManager.h"
#include "comm-serd/db/TakDbPreStatement.h"
#include "comm-serd/db/TakDbResult.h"
#include "support/TakDbDrained.h"
#include "support/TakSyncPointCounter.h"
#include "support/TakTestMariaDb.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class TakDbConnTest : public TakDbTestFixture {};

// A port on 127.0.0.1 where no server listens.
unsigned int closedPort() { return TakTestMariaDb::freePort(); }

// ---- opening ----------------------------------------------------------------------------

TEST_F(TakDbConnTest, ManagerOpensBothDatabases) {
    auto manager = std::make_shared<TakDbManager>(TakTestDb::settings());
    EXPECT_EQ(manager->init(), TakStatus::success());
    EXPECT_EQ(m_log.count("db conn size:  2 ", ":init:"), 1u);
    EXPECT_EQ(m_log.count("mysql_real_connect failed: "), 0u);

    for (const std::string& name : {g_strSecurityDbName, g_strAuditDbName}) {
        auto conn = manager->getDBConn(name);
        ASSERT_NE(conn, nullptr) << name;
        EXPECT_TRUE(conn->isConnected());
        auto res = conn->executeQuery(
            "select database() as db, @@autocommit as ac, "
            "@@character_set_client as cs");
        ASSERT_NE(res, nullptr);
        EXPECT_EQ(res->getString("db"), name);
        EXPECT_EQ(res->getInt("ac"), 0);  // changes last only through commits
        EXPECT_EQ(res->getString("cs"), "utf8mb4");
    }
    EXPECT_EQ(manager->getDBConn("mysql"), nullptr);
    EXPECT_EQ(manager->getDBConn(""), nullptr);
}

TEST_F(TakDbConnTest, RefusedConnectionIsReportedAndTheManagerGoesOn) {
    struct Case {
        const char* what;
        STDbSettings settings;
        const char* clientText;
    };
    STDbSettings wrongPassword = TakTestDb::settings();
    wrongPassword.password = "not-the-password";
    Case const cases[] = {
        {"wrong password", wrongPassword, "Access denied"},
        {"stopped server", TakTestDb::settings(closedPort()), "Can't connect"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_log.clear();
        auto manager = std::make_shared<TakDbManager>(c.settings);
        auto const before = Clock::now();
        EXPECT_EQ(manager->init().code(), TakStatus::ECode::Refused);
        EXPECT_LT(Clock::now() - before, 2s);
        // Reported once, for the first database; the second is not tried now.
        EXPECT_EQ(m_log.count("mysql_real_connect failed: ", c.clientText), 1u);
        EXPECT_EQ(m_log.count("mysql_real_connect failed: ", ":connect:"), 1u);
        EXPECT_EQ(m_log.count("db conn size: "), 0u);

        // The connections exist (they keep trying in the background) and fail cleanly.
        auto security = manager->getDBConn(g_strSecurityDbName);
        auto audit = manager->getDBConn(g_strAuditDbName);
        ASSERT_NE(security, nullptr);
        ASSERT_NE(audit, nullptr);
        EXPECT_FALSE(security->isConnected());
        auto const queryStart = Clock::now();
        EXPECT_EQ(security->executeQuery("select 1 as one"), nullptr);
        EXPECT_EQ(security->executeUpdate("update db_layer_test set n = 1").code(),
                  TakStatus::ECode::NotConnected);
        EXPECT_LT(Clock::now() - queryStart, 2s);
        EXPECT_EQ(m_log.count("mysql_real_query failed: %s, sql: ", "select 1 as one"), 1u);
        std::atomic<bool> ran{false};
        audit->processReq(1, [&ran] { ran = true; });
        EXPECT_EQ(security->escapeString("a'b"), "a\\'b");

        // Going away does not wait for the database.
        audit.reset();
        security.reset();
        auto const destroyStart = Clock::now();
        manager.reset();
        EXPECT_LT(Clock::now() - destroyStart, 1s);
        EXPECT_FALSE(ran);
    }
}

TEST_F(TakDbConnTest, RefusedCharacterSetGoesToStandardError) {
    auto conn = std::make_shared<TakDbConn>(g_strSecurityDbName, "no_such_charset");
    testing::internal::CaptureStderr();
    TakStatus const status = conn->connect(TakTestDb::settings());
    std::string const err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status.code(), TakStatus::ECode::Failed);
    EXPECT_NE(err.find("Failed to set character set: "), std::string::npos) << err;
    EXPECT_EQ(m_log.count("Failed to set character set"), 0u);
    EXPECT_EQ(m_log.count("mysql_real_connect failed: "), 0u);
}

// ---- the task queue ---------------------------------------------------------------------

TEST_F(TakDbConnTest, TasksRunOneAtATimeInQueueOrder) {
    auto conn = open();
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<int> maxRunning{0};
    constexpr int kTasks = 30;
    for (int i = 0; i < kTasks; ++i) {
        conn->processReq(i % 3, [&, i] {
            int const now = ++running;
            int seen = maxRunning.load();
            while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {
            }
            // Not a wait: each task takes a little time, so that a second task running at the
            // same time would be seen.
            std::this_thread::sleep_for(1ms);
            {
                std::lock_guard<std::mutex> lock(mutex);
                order.push_back(i);
            }
            --running;
        });
    }
    ASSERT_TRUE(takDbDrained(*conn));
    std::vector<int> expected;
    for (int i = 0; i < kTasks; ++i) expected.push_back(i);
    EXPECT_EQ(order, expected);
    EXPECT_EQ(maxRunning.load(), 1);
}

TEST_F(TakDbConnTest, StopTaskByIdDropsOnlyThePendingTasksOfThatId) {
    auto conn = open();
    std::mutex mutex;
    std::vector<std::string> ran;
    auto record = [&](std::string what) {
        std::lock_guard<std::mutex> lock(mutex);
        ran.push_back(std::move(what));
    };
    std::promise<void> started;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    // The running task has id 5 too: it is not interrupted.
    conn->processReq(5, [&, released] {
        started.set_value();
        released.wait();
        record("running-5");
    });
    started.get_future().wait();
    conn->processReq(5, [&] { record("a-5"); });
    conn->processReq(6, [&] { record("b-6"); });
    conn->processReq(5, [&] { record("c-5"); });
    conn->processReq(7, [&] { record("d-7"); });
    conn->stopTaskById(5);
    conn->stopTaskById(99);  // nothing queued under it: no change
    EXPECT_EQ(conn->queuedTaskCount(), 2u);
    release.set_value();
    ASSERT_TRUE(takDbDrained(*conn));  // every task that was going to run has
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(ran, (std::vector<std::string>{"running-5", "b-6", "d-7"}));
}

TEST_F(TakDbConnTest, SycProcessReqWaitsForTheTaskWhateverTheResult) {
    auto conn = open();
    struct Case {
        bool outlastTheWait;  // the task ends only after the caller has given up waiting
        int timeout;
        TakStatus::ECode expected;
        const char* logged;
    };
    Case const cases[] = {{false, 5000, TakStatus::ECode::Ok, "Req ready"},
                          {true, 50, TakStatus::ECode::TimedOut, "Timeout "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        m_log.clear();
        bool finished = false;  // a local of the caller: the task may use it
        int value = 0;
        auto const before = Clock::now();
        TakStatus const status = conn->sycProcessReq(
            [&] {
                // The handle lock is held; statements on the same connection still run.
                auto res = conn->executeQuery("select 42 as v");
                value = res ? res->getInt("v") : -1;
                // The task runs on the caller's thread: it outlasts the wait by running past it.
                if (c.outlastTheWait) {
                    std::this_thread::sleep_until(before + std::chrono::milliseconds(c.timeout + 5));
                }
                finished = true;
            },
            c.timeout);
        EXPECT_EQ(status.code(), c.expected);
        EXPECT_TRUE(finished);
        EXPECT_EQ(value, 42);
        if (c.outlastTheWait) {
            EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(c.timeout));
        }
        EXPECT_EQ(m_log.count(c.logged, ":sycProcessReq:"), 1u);
    }

    // From one of the connection's own tasks (the worker holds the handle lock) it still runs.
    std::promise<int> nested;
    conn->processReq(1, [&] {
        int value = 0;
        TakStatus const status = conn->sycProcessReq(
            [&] {
                auto res = conn->executeQuery("select 5 as v");
                value = res ? res->getInt("v") : -1;
            },
            1000);
        nested.set_value(status.ok() ? value : -1);
    });
    auto result = nested.get_future();
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(result.get(), 5);
}

TEST_F(TakDbConnTest, TheConnectionOutlivesItsWorkerWhoeverLetsGo) {
    // The owner lets go while a task runs whose capture then holds the last reference but the
    // worker's: the task ends normally (its end releases that reference on the worker thread),
    // and the worker goes on serving the connection until it is stopped.
    std::weak_ptr<TakDbConn> weak;
    std::promise<void> started;
    std::promise<void> release;
    std::promise<int> answer;
    {
        auto conn = open();
        weak = conn;
        conn->processReq(1,
                         [&started, &answer, keep = conn, released = release.get_future().share()] {
                             started.set_value();
                             released.wait();
                             auto res = keep->executeQuery("select 1 as one");
                             answer.set_value(res ? res->getInt("one") : -1);
                         });
        started.get_future().wait();
    }
    release.set_value();
    auto first = answer.get_future();
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(first.get(), 1);

    auto conn = weak.lock();
    ASSERT_NE(conn, nullptr) << "the worker holds its connection until it is stopped";
    std::promise<int> later;
    conn->processReq(2, [&later, c = conn.get()] {
        auto res = c->executeQuery("select 2 as two");
        later.set_value(res ? res->getInt("two") : -1);
    });
    auto second = later.get_future();
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(second.get(), 2);

    // stop() ends the worker; then the last reference is the caller's, on the caller's thread.
    EXPECT_TRUE(conn->stop(Clock::now() + 5s));
    conn.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(m_log.contains("dbconn is break"));
    // Later connections are not disturbed.
    auto again = open();
    EXPECT_NE(again->executeQuery("select 3"), nullptr);
}

TEST_F(TakDbConnTest, StopWritesWhatIsQueuedAndRefusesLaterTasks) {
    auto conn = open();
    std::promise<void> release;
    conn->processReq(1, [released = release.get_future().share()] { released.wait(); });
    constexpr int kTasks = 50;
    for (int i = 0; i < kTasks; ++i) {
        conn->processReq(2, STDbTaskInfo{kTable, 10}, [c = conn.get(), i] {
            (void)c->executeUpdate(std::string("insert into ") + kTable + " (k, n) values ('q', " +
                                   std::to_string(i) + ")");
        });
    }
    EXPECT_EQ(conn->queuedBytes(), 10u * kTasks);
    std::thread releaser([&release] { release.set_value(); });
    EXPECT_TRUE(conn->stop(Clock::now() + 10s));
    releaser.join();
    EXPECT_EQ(rowsWhere("k = 'q'"), kTasks);
    EXPECT_EQ(conn->queuedBytes(), 0u);
    EXPECT_FALSE(m_log.contains("db tasks not written at stop:"));

    bool ran = false;
    conn->processReq(3, STDbTaskInfo{"late_table", 5}, [&ran] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_EQ(m_log.count("db task after stop not written:", "late_table"), 1u);
    EXPECT_EQ(conn->queuedTaskCount(), 0u);
}

TEST_F(TakDbConnTest, QueuedBytesCallBackOnceBelowTheBound) {
    auto conn = open();
    conn->setMaxQueuedBytes(100);
    std::promise<void> release;
    conn->processReq(1, STDbTaskInfo{kTable, 60},
                     [released = release.get_future().share()] { released.wait(); });
    conn->processReq(2, STDbTaskInfo{kTable, 60}, [] {});
    conn->processReq(3, STDbTaskInfo{kTable, 60}, [] {});
    EXPECT_TRUE(conn->overQueuedLimit());
    std::atomic<int> calls{0};
    conn->whenBelowQueuedLimit([&calls] { ++calls; });
    EXPECT_EQ(calls.load(), 0);
    conn->stopTaskById(3);  // 120 bytes left: still over
    EXPECT_EQ(calls.load(), 0);
    release.set_value();
    // The worker calls back when it releases the first task's bytes, before it runs the next.
    ASSERT_TRUE(takDbDrained(*conn));
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(conn->queuedBytes(), 0u);
    EXPECT_FALSE(conn->overQueuedLimit());
    conn->whenBelowQueuedLimit([&calls] { ++calls; });  // below: at once
    EXPECT_EQ(calls.load(), 2);
}

// ---- one handle, one thread at a time ---------------------------------------------------

TEST_F(TakDbConnTest, WorkerTasksWaitForTheHandleHeldElsewhere) {
    auto conn = open();
    std::atomic<bool> taskRan{false};
    Clock::time_point taskStart;
    Clock::time_point holderEnd;
    std::promise<void> holding;
    // The worker has taken the task and goes for the handle.
    TakSyncPointCounter taskStarts("TakDbConn::runTask:start");
    // Another thread's prepared statement holds the connection until it is destroyed.
    std::thread holder([&] {
        TakDbPreStatement stmt;
        std::string sql = std::string("insert into ") + kTable + " (k) values (?)";
        EXPECT_TRUE(stmt.init(*conn, sql).ok());
        std::string k = "held";
        stmt.setParam(0, k);
        EXPECT_TRUE(stmt.executeUpdate().ok());
        holding.set_value();
        EXPECT_TRUE(taskStarts.waitFor(1));
        holderEnd = Clock::now();
    });
    holding.get_future().wait();
    conn->processReq(1, [&] {
        taskStart = Clock::now();
        taskRan = true;
    });
    holder.join();
    ASSERT_TRUE(takDbDrained(*conn));
    ASSERT_TRUE(taskRan.load());
    EXPECT_GE(taskStart, holderEnd);

    // And a sycProcessReq task keeps the worker waiting likewise.
    taskRan = false;
    Clock::time_point syncEnd;
    TakStatus const status = conn->sycProcessReq(
        [&] {
            conn->processReq(2, [&] {
                taskStart = Clock::now();
                taskRan = true;
            });
            EXPECT_TRUE(taskStarts.waitFor(2));
            syncEnd = Clock::now();
        },
        10000);
    EXPECT_TRUE(status.ok()) << status.toString();
    ASSERT_TRUE(takDbDrained(*conn));
    ASSERT_TRUE(taskRan.load());
    EXPECT_GE(taskStart, syncEnd);
}

TEST_F(TakDbConnTest, ConcurrentUsersOfOneConnectionDoNotDisturbEachOther) {
    auto conn = open();
    constexpr int kDirect = 150;
    constexpr int kTasks = 40;
    constexpr int kRowsPerTask = 5;
    std::atomic<int> tasksDone{0};
    for (int t = 0; t < kTasks; ++t) {
        conn->processReq(t, [&, t] {
            TakDbPreStatement stmt;
            std::string sql = std::string("insert into ") + kTable + " (k, n) values (?, ?)";
            EXPECT_TRUE(stmt.init(*conn, sql).ok());
            std::string k = "task";
            for (int i = 0; i < kRowsPerTask; ++i) {
                int n = t * 100 + i;
                stmt.setParam(0, k);
                stmt.setParam(1, n);
                EXPECT_TRUE(stmt.executeUpdate().ok());
            }
            ++tasksDone;
        });
    }
    std::thread writer([&] {
        for (int i = 0; i < kDirect; ++i) {
            EXPECT_TRUE(conn->executeUpdate(std::string("insert into ") + kTable +
                                            " (k, n) values ('direct', " + std::to_string(i) + ")")
                            .ok());
        }
    });
    std::atomic<int> answered{0};
    std::thread reader([&] {
        for (int i = 0; i < kDirect; ++i) {
            auto res = conn->executeQuery(std::string("select count(*) as c from ") + kTable);
            if (res && res->rowCount() == 1) ++answered;
        }
    });
    writer.join();
    reader.join();
    ASSERT_TRUE(takDbDrained(*conn, 30s));
    EXPECT_EQ(tasksDone.load(), kTasks);
    EXPECT_EQ(answered.load(), kDirect);
    EXPECT_EQ(rowsWhere("k = 'direct'"), kDirect);
    EXPECT_EQ(rowsWhere("k = 'task'"), kTasks * kRowsPerTask);
    EXPECT_EQ(m_log.count("[ERROR]"), 0u);
}

// ---- direct statements ------------------------------------------------------------------

TEST_F(TakDbConnTest, QueriesSeeWhatOtherConnectionsCommitted) {
    auto conn = open();
    auto count = [&] {
        auto res = conn->executeQuery(std::string("select count(*) as c from ") + kTable);
        return res ? res->getInt("c") : -1;
    };
    EXPECT_EQ(count(), 0);
    ASSERT_TRUE(m_db.exec(std::string("insert into ") + kTable + " (k) values ('other')"));
    EXPECT_EQ(count(), 1);  // no stale snapshot of the first query

    // The same inside worker tasks.
    std::promise<int> inTask;
    ASSERT_TRUE(m_db.exec(std::string("insert into ") + kTable + " (k) values ('other')"));
    conn->processReq(1, [&] { inTask.set_value(count()); });
    EXPECT_EQ(inTask.get_future().get(), 2);
}

TEST_F(TakDbConnTest, FailedStatementsAreLoggedAndTheConnectionStaysInService) {
    auto conn = open();
    EXPECT_EQ(conn->executeQuery("select * from no_such_table"), nullptr);
    EXPECT_EQ(m_log.count("mysql_real_query failed: %s, sql: ", "select * from no_such_table"), 1u);
    TakStatus const refused = conn->executeUpdate("update no_such_table set x = 1");
    EXPECT_EQ(refused.code(), TakStatus::ECode::Refused);
    EXPECT_NE(refused.message().find("no_such_table"), std::string::npos) << refused.toString();
    EXPECT_EQ(m_log.count("mysql_real_query failed: %s, sql: ", "update no_such_table"), 1u);

    // A statement without rows given to executeQuery has run and is committed.
    std::string const insert = std::string("insert into ") + kTable + " (k) values ('q')";
    EXPECT_EQ(conn->executeQuery(insert), nullptr);
    EXPECT_EQ(m_log.count("mysql_store_result failed:", insert), 1u);
    EXPECT_EQ(rowsWhere("k = 'q'"), 1);

    // A statement with rows given to executeUpdate leaves the handle usable.
    EXPECT_TRUE(conn->executeUpdate("select 1").ok());
    uint64_t changed = 0;
    EXPECT_TRUE(
        conn->executeUpdate(std::string("insert into ") + kTable + " (k) values ('u')", &changed)
            .ok());
    EXPECT_EQ(changed, 1u);
    EXPECT_EQ(rowsWhere("k = 'u'"), 1);
    auto res = conn->executeQuery("select 7 as v");
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->getInt("v"), 7);
    EXPECT_EQ(m_log.count("Commands out of sync"), 0u);
}

// ---- escaping ---------------------------------------------------------------------------

TEST_F(TakDbConnTest, EscapedValuesAreStoredAsWrittenAndTouchNoOtherRow) {
    auto conn = open();
    ASSERT_TRUE(m_db.exec(std::string("insert into ") + kTable +
                          " (k, v) values ('victim-1', 'keep'), ('victim-2', 'keep')"));
    std::string const values[] = {
        "' OR '1'='1",
        "it's a \\ backslash and a 'quote'",
        "x\\' OR 1=1 -- ",
        "\\",
        "\"double\" `back` %_",
        std::string("nul\0inside", 10),
        "line\nbreak\r\x1a",
        "\xe4\xb8\xbb\xe6\x9c\xba-\xf0\x9f\x98\x80",  // multi-byte UTF-8, 4-byte included
    };
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        std::string const esc = conn->escapeString(value);
        // The spliced statements of the business code, in their shapes.
        auto found =
            conn->executeQuery(std::string("select * from ") + kTable + " where k = '" + esc + "'");
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->rowCount(), 0u);
        EXPECT_TRUE(conn->executeUpdate(std::string("update ") + kTable +
                                        " set v = 'changed' where k = '" + esc + "' ;")
                        .ok());
        EXPECT_TRUE(conn->executeUpdate(std::string("insert into ") + kTable +
                                        " (k, v) values ('stored', '" + esc + "')")
                        .ok());
        auto stored = m_db.rows(std::string("select v from ") + kTable +
                                " where k = 'stored' order by id " + "desc limit 1");
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(stored[0][0], value);
        EXPECT_EQ(rowsWhere("k like 'victim-%' and v = 'keep'"), 2);
    }
    EXPECT_EQ(m_log.count("[ERROR]"), 0u);
}

TEST_F(TakDbConnTest, EscapingWorksWhileTheConnectionIsDown) {
    auto up = open();
    auto down = std::make_shared<TakDbConn>(g_strSecurityDbName);
    EXPECT_EQ(down->connect(TakTestDb::settings(closedPort())).code(), TakStatus::ECode::Refused);
    auto untouched = std::make_shared<TakDbConn>(g_strSecurityDbName);  // never connected
    for (const std::string value : {"' OR '1'='1", "a\\b'c", "\xe4\xb8\xbb'"}) {
        std::string const expected = m_db.escape(value);
        EXPECT_EQ(up->escapeString(value), expected);
        EXPECT_EQ(down->escapeString(value), expected);
        EXPECT_EQ(untouched->escapeString(value), expected);
    }
}

}  // namespace
