#include "comm-serd/db/TakDbResult.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TakDbTestFixture.h"
#include "comm-serd/db/TakDbConn.h"

namespace {

class TakDbResultTest : public TakDbTestFixture {
protected:
    void SetUp() override {
        TakDbTestFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_conn = open();
    }
    void TearDown() override { m_conn.reset(); }

    std::shared_ptr<TakDbResult> query(const std::string& sql) {
        auto res = m_conn->executeQuery(sql);
        EXPECT_NE(res, nullptr) << sql;
        return res;
    }

    std::shared_ptr<TakDbConn> m_conn;
};

TEST_F(TakDbResultTest, ColumnsByNameFirstOfTwinsWins) {
    auto res = query("select 1 as a, 2 as a, 3 as b, 4 as `A`");
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->rowCount(), 1u);
    EXPECT_EQ(res->_getIndex("a"), 0);
    EXPECT_EQ(res->_getIndex("b"), 2);
    EXPECT_EQ(res->_getIndex("A"), 3);  // exact, case-sensitive match
    EXPECT_EQ(res->_getIndex("c"), -1);
    EXPECT_EQ(res->getInt("a"), 1);
    EXPECT_EQ(res->getString("a"), "1");
}

TEST_F(TakDbResultTest, NullMissingColumnAndNoRowReadAsZeroOrEmpty) {
    auto res = query("select NULL as n, 'x' as s, 5 as i");
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->getInt("n"), 0);
    EXPECT_EQ(res->getString("n"), "");
    EXPECT_EQ(res->getBlob("n"), "");
    EXPECT_EQ(res->getInt("missing"), 0);
    EXPECT_EQ(res->getString("missing"), "");
    EXPECT_EQ(res->getBlob("missing"), "");
    EXPECT_EQ(res->getInt("i"), 5);
    EXPECT_FALSE(res->next());  // past the end: no current row
    EXPECT_EQ(res->getInt("i"), 0);
    EXPECT_EQ(res->getString("s"), "");
    EXPECT_EQ(res->getBlob("s"), "");
    EXPECT_FALSE(res->next());

    auto empty = query("select 1 as a from dual where 1 = 0");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->rowCount(), 0u);
    EXPECT_EQ(empty->getInt("a"), 0);
    EXPECT_EQ(empty->getString("a"), "");
    EXPECT_FALSE(empty->next());

    // A null row pointer from a table row with NULL columns.
    ASSERT_TRUE(m_db.exec(std::string("insert into ") + kTable + " (k) values ('nulls')"));
    auto row = query(std::string("select v, n, big, b from ") + kTable);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->getInt("n"), 0);
    EXPECT_EQ(row->getString("v"), "");
    EXPECT_EQ(row->getBlob("b"), "");
}

TEST_F(TakDbResultTest, IntegersAreReadLikeStrtol) {
    struct Case {
        const char* text;
        int expected;
    };
    Case const cases[] = {{"12abc", 12}, {" -7", -7}, {"+5", 5},
                          {"abc", 0},    {"", 0},     {"2147483647", 2147483647},
                          {"0x1f", 0}};
    for (const Case& c : cases) {
        auto res = query(std::string("select '") + c.text + "' as v");
        ASSERT_NE(res, nullptr);
        EXPECT_EQ(res->getInt("v"), c.expected) << '"' << c.text << '"';
    }
}

TEST_F(TakDbResultTest, BlobsAreByteExactStringsStopAtNul) {
    auto res = query("select x'6100620063' as b, x'' as e");
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->getBlob("b"), std::string("a\0b\0c", 5));
    EXPECT_EQ(res->getString("b"), "a");
    EXPECT_EQ(res->getBlob("e"), "");
}

TEST_F(TakDbResultTest, StepsThroughEveryRow) {
    ASSERT_TRUE(m_db.exec(std::string("insert into ") + kTable +
                          " (k, n) values ('r', 1), ('r', 2), ('r', 3)"));
    auto res = query(std::string("select n from ") + kTable + " order by n");
    ASSERT_NE(res, nullptr);
    ASSERT_EQ(res->rowCount(), 3u);
    std::vector<int> seen;
    do {
        seen.push_back(res->getInt("n"));
    } while (res->next());
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

}  // namespace
