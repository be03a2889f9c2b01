// Tasks that the server refuses or that bring the connection down, and the stop of a connection
// whose server is away. These tests run a MariaDB server of their own with a small
// max_allowed_packet, so the shared test server is never disturbed.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbPreStatement.h"
#include "comm-serd/db/TakDbResult.h"
#include "support/TakDbDrained.h"
#include "support/TakLogCapture.h"
#include "support/TakTestDb.h"
#include "support/TakTestMariaDb.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kTable = "systemLog_switchInfo";
constexpr uint64_t kMaxPacket = 1024 * 1024;

class TakDbTaskLimitsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_server = std::make_unique<TakTestMariaDb>(TakTestMariaDb::defaultBase("limits"),
                                                    "--max-allowed-packet=1M");
    }
    static void TearDownTestSuite() { s_server.reset(); }

    void SetUp() override {
        if (!s_server->running()) {
            ASSERT_TRUE(s_server->start()) << s_server->output();
        }
        TakTestDb audit("auditEvent_dev", s_server->port());
        ASSERT_TRUE(audit.connected()) << audit.error();
        ASSERT_TRUE(audit.truncate({kTable}));
        m_conn = std::make_shared<TakDbConn>(g_strAuditDbName);
        ASSERT_TRUE(m_conn->connect(TakTestDb::settings(s_server->port())).ok());
        m_log.clear();
    }
    void TearDown() override {
        if (m_conn) (void)m_conn->stop(Clock::now());
    }

    // One row, as the system-log writer stores a line: one prepared execution, one commit.
    static void insertLine(TakDbConn& conn, const std::string& mac, const std::string& item) {
        TakDbPreStatement stmt;
        std::string sql = std::string("insert into ") + kTable + " values(null, ?, ?,?,?,?,? )";
        (void)stmt.init(conn, sql);
        std::string macCopy = mac;
        std::string text = item;
        long long first = 1;
        stmt.setParam(0, macCopy);
        stmt.setParam(1, first);
        for (unsigned int i = 2; i < 6; ++i) stmt.setParam(i, text);
        (void)stmt.executeUpdate();
    }

    long long rows(const std::string& mac) {
        TakTestDb audit("auditEvent_dev", s_server->port());
        return audit.number(std::string("select count(*) from ") + kTable + " where macAddr = '" +
                            mac + "'");
    }

    static std::unique_ptr<TakTestMariaDb> s_server;
    std::shared_ptr<TakDbConn> m_conn;
    TakLogCapture m_log;
};

std::unique_ptr<TakTestMariaDb> TakDbTaskLimitsTest::s_server;

TEST_F(TakDbTaskLimitsTest, TheServersPacketBoundIsKnownAndPreparedExecutionsAreMeasured) {
    EXPECT_EQ(m_conn->maxAllowedPacket(), kMaxPacket);
    std::promise<std::pair<bool, bool>> fits;
    m_conn->processReq(1, [c = m_conn.get(), &fits] {
        TakDbPreStatement stmt;
        std::string sql = std::string("insert into ") + kTable + " values(null, ?, ?,?,?,?,? )";
        EXPECT_TRUE(stmt.init(*c, sql).ok());
        std::string small(1000, 's');
        std::string big(kMaxPacket / 4, 'b');  // four of them do not fit
        long long first = 1;
        stmt.setParam(0, small);
        stmt.setParam(1, first);
        for (unsigned int i = 2; i < 6; ++i) stmt.setParam(i, small);
        bool const smallFits = stmt.fitsServerPacket();
        for (unsigned int i = 2; i < 6; ++i) stmt.setParam(i, big);
        fits.set_value({smallFits, stmt.fitsServerPacket()});
    });
    auto result = fits.get_future();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    auto const [smallFits, bigFits] = result.get();
    EXPECT_TRUE(smallFits);
    EXPECT_FALSE(bigFits);
}

TEST_F(TakDbTaskLimitsTest, ATaskTheServerRefusesAsTooLargeIsDroppedAndTheQueueGoesOn) {
    // The server refuses the packet (ER_NET_PACKET_TOO_LARGE) and drops the connection, often
    // before its answer arrives: the task is not run again (it would be refused again), and
    // what is queued behind it is stored.
    std::atomic<int> runs{0};
    m_conn->processReq(1, STDbTaskInfo{kTable, 2 * kMaxPacket}, [c = m_conn.get(), &runs] {
        ++runs;
        insertLine(*c, "big", std::string(2 * kMaxPacket, 'x'));
    });
    m_conn->processReq(2, STDbTaskInfo{kTable, 10},
                       [c = m_conn.get()] { insertLine(*c, "after", "small"); });
    ASSERT_TRUE(takDbDrained(*m_conn, 20s));
    EXPECT_EQ(rows("after"), 1);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(rows("big"), 0);
    EXPECT_EQ(m_log.count("db task dropped, the server refused its data as too large:", kTable),
              1u);
    EXPECT_TRUE(m_log.contains("db task dropped, the server refused", " 2097152 "));
}

TEST_F(TakDbTaskLimitsTest, ATaskThatLosesTheConnectionEveryTimeIsDroppedAfterItsAttempts) {
    // The task kills its own connection each time it runs: after the bounded attempts it is
    // dropped with an ERROR naming it, and the queue goes on.
    std::atomic<int> runs{0};
    m_conn->processReq(1, STDbTaskInfo{"killer", 42}, [c = m_conn.get(), &runs] {
        ++runs;
        (void)c->executeUpdate("kill connection connection_id()");
    });
    m_conn->processReq(2, STDbTaskInfo{kTable, 10},
                       [c = m_conn.get()] { insertLine(*c, "after-kill", "small"); });
    ASSERT_TRUE(takDbDrained(*m_conn, 30s));
    EXPECT_EQ(rows("after-kill"), 1);
    EXPECT_EQ(runs.load(), TakDbConn::kMaxTaskAttempts);
    EXPECT_EQ(m_log.count("db task dropped after attempts:", "killer"), 1u);
    EXPECT_TRUE(m_log.contains("db task dropped after attempts:", " 42 "));
}

TEST_F(TakDbTaskLimitsTest, StopWithTheServerAwayReportsWhatWasNotWrittenPerTable) {
    ASSERT_TRUE(s_server->stop());
    for (int i = 0; i < 3; ++i) {
        m_conn->processReq(i, STDbTaskInfo{kTable, 100},
                           [c = m_conn.get()] { insertLine(*c, "never", "x"); });
    }
    m_conn->processReq(9, STDbTaskInfo{"secureLog_record", 7}, [] {});
    auto const start = Clock::now();
    EXPECT_FALSE(m_conn->stop(Clock::now() + 1s));
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(m_log.count("db tasks not written at stop:", kTable), 1u);
    EXPECT_TRUE(m_log.contains("db tasks not written at stop:", "tasks: 3 bytes: 300 "));
    EXPECT_EQ(m_log.count("db tasks not written at stop:", "secureLog_record"), 1u);
    EXPECT_TRUE(m_log.contains("db tasks not written at stop:", "tasks: 1 bytes: 7 "));
    EXPECT_EQ(m_conn->queuedBytes(), 0u);
    m_conn.reset();
    ASSERT_TRUE(s_server->start()) << s_server->output();
    EXPECT_EQ(rows("never"), 0);
}

}  // namespace
