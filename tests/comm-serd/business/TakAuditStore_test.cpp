#include "comm-serd/business/TakAuditStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "support/TakLogCapture.h"
#include "support/TakTestDb.h"

namespace {

TEST(TakAuditStoreTest, ResetStatementKeepsTheMacInsideItsQuotes) {
    // Escaping works on a connection that has never connected.
    auto conn = std::make_shared<TakDbConn>(g_strAuditDbName);
    TakAuditStore store(*conn);
    struct Case {
        std::string mac;
        std::string quoted;
    };
    Case const cases[] = {
        {"aa:01", "aa:01"},
        {"a'b", "a\\'b"},
        {"x' or '1'='1", "x\\' or \\'1\\'=\\'1"},
        {"back\\slash", "back\\\\slash"},
        {std::string("nul\0end", 7), "nul\\0end"},
        {"\n\r\x1a\"", "\\n\\r\\Z\\\""},
        {"\xbf'", "\xbf\\'"},
        {"\xc3\xa9", "\xc3\xa9"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(store.resetSql("systemLog_kernelInfo", c.mac),
                  "DELETE FROM systemLog_kernelInfo WHERE id > 0 AND macAddr = '" + c.quoted + "'")
            << c.mac;
    }
}

class TakAuditStoreDbTest : public ::testing::Test {
protected:
    static constexpr const char* kTable = "systemLog_kernelInfo";

    void SetUp() override {
        if (!TakTestDb::available()) GTEST_SKIP() << "TAK_TEST_DB_PORT is not set";
        ASSERT_TRUE(m_db.connected()) << m_db.error();
        ASSERT_TRUE(m_db.truncate({kTable})) << m_db.error();
        m_conn = std::make_shared<TakDbConn>(g_strAuditDbName);
        ASSERT_TRUE(m_conn->connect(TakTestDb::settings()).ok());
    }
    void TearDown() override {
        if (m_conn) (void)m_conn->stop(std::chrono::steady_clock::now());
    }

    void addRows(const std::string& mac, int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(m_db.exec(std::string("insert into ") + kTable +
                                  " (macAddr, item1) values ('" + m_db.escape(mac) + "', " +
                                  std::to_string(i) + ")"));
        }
    }
    long long rowsOf(const std::string& mac) {
        return m_db.number(std::string("select count(*) from ") + kTable + " where macAddr = '" +
                           m_db.escape(mac) + "'");
    }

    TakLogCapture m_log;
    TakTestDb m_db{"auditEvent_dev"};
    std::shared_ptr<TakDbConn> m_conn;
};

TEST_F(TakAuditStoreDbTest, AResetDeletesOnlyItsDevicesRows) {
    std::string const macs[] = {"aa:01", "x' or '1'='1",
                                "y'; delete from systemLog_kernelInfo; -- ", "back\\slash",
                                "\xe4\xb8\xbb\xe6\x9c\xba"};
    for (const std::string& mac : macs) addRows(mac, 2);
    addRows("bystander", 3);
    TakAuditStore store(*m_conn);
    for (const std::string& mac : macs) {
        SCOPED_TRACE(mac);
        TakStatus const status = store.runReset(store.resetSql(kTable, mac));
        EXPECT_TRUE(status.ok()) << status.toString();
        EXPECT_EQ(rowsOf(mac), 0);
        EXPECT_EQ(rowsOf("bystander"), 3);
    }
    EXPECT_EQ(m_log.count("[ERROR]"), 0u);
}

TEST_F(TakAuditStoreDbTest, AResetTheServerRefusesSaysWhy) {
    addRows("aa:01", 1);
    TakAuditStore store(*m_conn);
    TakStatus const status = store.runReset(store.resetSql("no_such_table", "aa:01"));
    EXPECT_EQ(status.code(), TakStatus::ECode::Refused) << status.toString();
    EXPECT_NE(status.message().find("no_such_table"), std::string::npos) << status.toString();
    EXPECT_EQ(m_log.count("mysql_stmt_prepare failed:", "no_such_table"), 1u);
    EXPECT_EQ(rowsOf("aa:01"), 1);
}

}  // namespace
