#include "comm-serd/db/TakDbPreStatement.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <optional>
#include <string>

#include "support/TakDbDrained.h"

#include "TakDbTestFixture.h"
#include "comm-serd/db/TakDbConn.h"

namespace {

class TakDbPreStatementTest : public TakDbTestFixture {
protected:
    void SetUp() override {
        TakDbTestFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_conn = open();
    }
    // The fixture stops the connection: its worker would otherwise keep it (and its server
    // connection) for the rest of the process.
    void TearDown() override {
        TakDbTestFixture::TearDown();
        m_conn.reset();
    }

    std::string insertSql() {
        return std::string("insert into ") + kTable + " (k, v, n, big) values (?, ?, ?, ?)";
    }

    std::shared_ptr<TakDbConn> m_conn;
};

TEST_F(TakDbPreStatementTest, ChangesBecomeVisibleWhenTheStatementGoes) {
    {
        TakDbPreStatement stmt;
        std::string sql = insertSql();
        EXPECT_TRUE(stmt.init(*m_conn, sql).ok());
        ASSERT_TRUE(stmt.prepared());
        std::string k = "kept";
        std::string v = "value";
        int n = -7;
        long long big = (1LL << 40) + 3;
        stmt.setParam(0, k);
        stmt.setParam(1, v);
        stmt.setParam(2, n);
        stmt.setParam(3, big);
        ASSERT_TRUE(stmt.executeUpdate().ok());
        EXPECT_EQ(rowsWhere("k = 'kept'"), 0);  // executed, not yet committed
    }
    auto rows = m_db.rows(std::string("select v, n, big from ") + kTable + " where k = 'kept'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "value");
    EXPECT_EQ(rows[0][1], "-7");
    EXPECT_EQ(rows[0][2], "1099511627779");
}

TEST_F(TakDbPreStatementTest, OnePreparationServesManyExecutionsAndOneCommit) {
    // The shape of the system-log writer: prepared once, re-bound and executed per line.
    {
        TakDbPreStatement stmt;
        std::string sql = insertSql();
        EXPECT_TRUE(stmt.init(*m_conn, sql).ok());
        std::string k = "line";
        for (int i = 0; i < 3; ++i) {
            std::string v = "item-" + std::to_string(i);
            int n = i;
            long long big = 1000 + i;
            stmt.setParam(0, k);
            stmt.setParam(1, v);
            stmt.setParam(2, n);
            stmt.setParam(3, big);
            ASSERT_TRUE(stmt.executeUpdate().ok());
        }
        EXPECT_EQ(rowsWhere("k = 'line'"), 0);
        EXPECT_TRUE(stmt.commit().ok());
        EXPECT_EQ(rowsWhere("k = 'line'"), 3);
    }
    EXPECT_EQ(m_db.scalar(std::string("select group_concat(v order by n) from ") + kTable),
              "item-0,item-1,item-2");
}

TEST_F(TakDbPreStatementTest, BindingPastThePlaceholdersIsLoggedAndChangesNothing) {
    {
        TakDbPreStatement stmt;
        std::string sql = std::string("insert into ") + kTable + " (k, v) values (?, ?)";
        EXPECT_TRUE(stmt.init(*m_conn, sql).ok());
        std::string k = "bound";
        std::string v = "v";
        std::string extra = "extra";
        int number = 1;
        long long big = 2;
        stmt.setParam(0, k);
        stmt.setParam(1, v);
        stmt.setParam(2, extra);
        stmt.setParam(2, number);
        stmt.setParam(8, big);
        EXPECT_EQ(m_log.count("index too large: ", " 2 "), 2u);
        EXPECT_EQ(m_log.count("index too large: ", " 8 "), 1u);
        EXPECT_TRUE(stmt.executeUpdate().ok());
    }
    auto rows = m_db.rows(std::string("select k, v from ") + kTable);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "bound");
    EXPECT_EQ(rows[0][1], "v");
}

TEST_F(TakDbPreStatementTest, TextIsSentUpToItsFirstNulByte) {
    {
        TakDbPreStatement stmt;
        std::string sql = std::string("insert into ") + kTable + " (k, v) values ('nul', ?)";
        EXPECT_TRUE(stmt.init(*m_conn, sql).ok());
        std::string v("ab\0cd", 5);
        stmt.setParam(0, v);
        EXPECT_TRUE(stmt.executeUpdate().ok());
    }
    EXPECT_EQ(m_db.scalar(std::string("select v from ") + kTable + " where k = 'nul'"), "ab");
}

TEST_F(TakDbPreStatementTest, UnboundPlaceholdersAreNull) {
    {
        TakDbPreStatement stmt;
        std::string sql = std::string("insert into ") + kTable + " (k, v, n) values (?, ?, ?)";
        EXPECT_TRUE(stmt.init(*m_conn, sql).ok());
        std::string k = "partial";
        stmt.setParam(0, k);
        EXPECT_TRUE(stmt.executeUpdate().ok());
    }
    auto rows = m_db.rows(std::string("select v, n from ") + kTable + " where k = 'partial'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], std::nullopt);
    EXPECT_EQ(rows[0][1], std::nullopt);
}

TEST_F(TakDbPreStatementTest, StatementWithoutPlaceholders) {
    ASSERT_TRUE(m_db.exec(std::string("insert into ") + kTable +
                          " (k) values ('mine'), ('mine'), ('theirs')"));
    {
        TakDbPreStatement stmt;
        std::string sql = std::string("DELETE FROM ") + kTable + " WHERE id > 0 AND k = 'mine'";
        EXPECT_TRUE(stmt.init(*m_conn, sql).ok());
        EXPECT_TRUE(stmt.executeUpdate().ok());
    }
    EXPECT_EQ(rowsWhere("k = 'mine'"), 0);
    EXPECT_EQ(rowsWhere("k = 'theirs'"), 1);
}

TEST_F(TakDbPreStatementTest, BrokenStatementsFailWithoutCommitting) {
    TakDbPreStatement pending;
    std::string insert = std::string("insert into ") + kTable + " (k) values ('pending')";
    EXPECT_TRUE(pending.init(*m_conn, insert).ok());
    ASSERT_TRUE(pending.executeUpdate().ok());
    {
        TakDbPreStatement broken;
        std::string bad = "insert into no_such_table values (?)";
        TakStatus const prepared = broken.init(*m_conn, bad);
        EXPECT_EQ(prepared.code(), TakStatus::ECode::Refused);
        EXPECT_NE(prepared.message().find("no_such_table"), std::string::npos)
            << prepared.toString();
        EXPECT_FALSE(broken.prepared());
        EXPECT_EQ(m_log.count("mysql_stmt_prepare failed:", "no_such_table"), 1u);
        EXPECT_FALSE(broken.executeUpdate().ok());
    }
    // The broken statement's end committed nothing: the other one's change is still pending.
    EXPECT_EQ(rowsWhere("k = 'pending'"), 0);

    // A statement never initialised has no statement handle.
    TakDbPreStatement noHandle;
    EXPECT_EQ(noHandle.executeUpdate().code(), TakStatus::ECode::Failed);
    EXPECT_EQ(m_log.count("no m_stmt"), 1u);

    // A statement that fails when executed (duplicate key) reports it.
    ASSERT_TRUE(m_db.exec(std::string("insert into ") + kTable + " (id, k) values (500, 'x')"));
    TakDbPreStatement duplicate;
    std::string dup = std::string("insert into ") + kTable + " (id, k) values (500, 'y')";
    EXPECT_TRUE(duplicate.init(*m_conn, dup).ok());
    TakStatus const executed = duplicate.executeUpdate();
    EXPECT_EQ(executed.code(), TakStatus::ECode::Refused);
    EXPECT_NE(executed.message().find("Duplicate entry"), std::string::npos) << executed.toString();
    EXPECT_EQ(m_log.count("mysql_stmt_execute failed: ", "Duplicate entry"), 1u);
}

TEST_F(TakDbPreStatementTest, StatementsInsideWorkerTasks) {
    // The business shape: the task takes the handle when it runs and commits at its end.
    std::promise<bool> done;
    m_conn->processReq(3, [this, &done] {
        TakDbPreStatement stmt;
        std::string sql = insertSql();
        EXPECT_TRUE(stmt.init(*m_conn, sql).ok());
        std::string k = "task";
        std::string v = "it's";
        int n = 1;
        long long big = -1;
        stmt.setParam(0, k);
        stmt.setParam(1, v);
        stmt.setParam(2, n);
        stmt.setParam(3, big);
        done.set_value(stmt.executeUpdate().ok());
    });
    EXPECT_TRUE(done.get_future().get());
    ASSERT_TRUE(takDbDrained(*m_conn));  // the task has committed
    EXPECT_EQ(rowsWhere("k = 'task'"), 1);
    EXPECT_EQ(m_db.scalar(std::string("select v from ") + kTable), "it's");
}

}  // namespace
