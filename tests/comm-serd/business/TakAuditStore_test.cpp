#include "comm-serd/business/TakAuditStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "comm-serd/db/TakDbTestFixture.h"

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

class TakAuditStoreDbTest : public TakDbTestFixture {
protected:
    static constexpr const char* kTable = "systemLog_kernelInfo";

    void SetUp() override {
        TakDbTestFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(m_audit.connected()) << m_audit.error();
        ASSERT_TRUE(m_audit.truncate({kTable})) << m_audit.error();
        m_conn = open(g_strAuditDbName);
    }

    void addRows(const std::string& mac, int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(m_audit.exec(std::string("insert into ") + kTable +
                                     " (macAddr, item1) values ('" + m_audit.escape(mac) + "', " +
                                     std::to_string(i) + ")"));
        }
    }
    long long rowsOf(const std::string& mac) {
        return m_audit.number(std::string("select count(*) from ") + kTable + " where macAddr = '" +
                              m_audit.escape(mac) + "'");
    }

    TakTestDb m_audit{"auditEvent_dev"};
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
