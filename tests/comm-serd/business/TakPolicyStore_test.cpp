#include "comm-serd/business/TakPolicyStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "comm-serd/db/TakDbResult.h"
#include "comm-serd/db/TakDbTestFixture.h"

namespace {

// The policy table, emptied, and a connection of the daemon's kind to the security database.
class TakPolicyStoreTest : public TakDbTestFixture {
protected:
    void SetUp() override {
        TakDbTestFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(m_db.truncate({"asset_business_config"})) << m_db.error();
        m_conn = open();
    }

    // A policy row in a given state; its id.
    int addRow(int state) {
        EXPECT_TRUE(
            m_db.exec("insert into asset_business_config (group_id, dataType, protoData, "
                      "processState) values ('g', 1, 'p', " +
                      std::to_string(state) + ")"));
        return static_cast<int>(m_db.number("select max(id) from asset_business_config"));
    }
    long long stateOf(int id) {
        return m_db.number("select processState from asset_business_config where id = " +
                           std::to_string(id));
    }

    std::shared_ptr<TakDbConn> m_conn;
};

TEST_F(TakPolicyStoreTest, ProcessStateMovesOnlyAlongItsPath) {
    // Each change from each state: 0 pending, 1 handed out, 2 done, 3 failed.
    struct Case {
        const char* change;
        int from;
        int to;
    };
    Case const cases[] = {
        {"handed out", 0, 1}, {"handed out", 1, 1}, {"handed out", 3, 3},
        {"done", 1, 2},       {"done", 0, 0},       {"done", 3, 3},
        {"invalid", 0, 3},    {"invalid", 1, 1},    {"invalid", 2, 2},
    };
    TakPolicyStore store(*m_conn);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.change) + " from " + std::to_string(c.from));
        int const id = addRow(c.from);
        int const other = addRow(c.from);
        std::string const change = c.change;
        TakStatus const status = change == "handed out" ? store.markHandedOut(id)
                                 : change == "done"     ? store.markDone(id)
                                                        : store.markInvalid(id);
        EXPECT_TRUE(status.ok()) << status.toString();
        EXPECT_EQ(stateOf(id), c.to);
        EXPECT_EQ(stateOf(other), c.from);  // only the row with that id
    }
    EXPECT_EQ(m_db.number("select count(*) from asset_business_config where processErrorInfo = "
                          "'invalid dataType'"),
              1);
}

TEST_F(TakPolicyStoreTest, PendingRowsAreThoseInStateZero) {
    int const pending = addRow(0);
    addRow(1);
    addRow(3);
    int const alsoPending = addRow(0);
    auto rows = TakPolicyStore(*m_conn).pendingRows();
    ASSERT_NE(rows, nullptr);
    ASSERT_EQ(rows->rowCount(), 2u);
    EXPECT_EQ(rows->getInt("id"), pending);
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->getInt("id"), alsoPending);
    EXPECT_EQ(rows->getBlob("protoData"), "p");
}

TEST_F(TakPolicyStoreTest, AnAgentsErrorTextIsStoredAsItCame) {
    struct Case {
        std::string text;
        std::string stored;
    };
    Case const cases[] = {
        {"plain", "plain"},
        {"x', processState = 0 where id > 0; -- ", "x', processState = 0 where id > 0; -- "},
        {"back\\slash \"q\"", "back\\slash \"q\""},
        {"\xe4\xb8\xbb\xe6\x9c\xba \xf0\x9f\x98\x80", "\xe4\xb8\xbb\xe6\x9c\xba \xf0\x9f\x98\x80"},
        // A parameter is sent up to its first NUL byte.
        {std::string("before\0after", 12), "before"},
    };
    TakPolicyStore store(*m_conn);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        int const id = addRow(1);
        int const other = addRow(1);
        TakStatus const status = store.saveError(id, c.text);
        EXPECT_TRUE(status.ok()) << status.toString();
        EXPECT_EQ(stateOf(id), 3);
        EXPECT_EQ(m_db.scalar("select processErrorInfo from asset_business_config where id = " +
                              std::to_string(id)),
                  c.stored);
        EXPECT_EQ(stateOf(other), 1);
    }
    // An error for a policy that is not there changes nothing and is no failure.
    EXPECT_TRUE(store.saveError(999999, "gone").ok());
    EXPECT_EQ(m_log.count("[ERROR]"), 0u);
}

}  // namespace
