#include "comm-serd/business/TakDeviceStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "support/TakDeviceTablesTest.h"
#include "support/TakLogCapture.h"
#include "support/TakTestMariaDb.h"

namespace {

TEST(TakDeviceStoreTest, StatementsKeepEveryTextOfTheAgentInsideItsQuotes) {
    // Escaping works on a connection that has never connected.
    auto conn = std::make_shared<TakDbConn>(g_strSecurityDbName);
    TakDeviceStore store(*conn);
    Tak::PolicyNotify::DeviceInfoUp info;
    info.set_strmacaddr("aa'; delete from asset_auth_record; -- ");
    info.set_strlocalipaddr("10.0.0.1\\");
    info.set_strhostname(std::string("host'\0x", 7));
    info.set_strsystemversion("not spliced: a placeholder");
    std::string const mac = "aa\\'; delete from asset_auth_record; -- ";

    EXPECT_EQ(store.lookupSql(info.strmacaddr()),
              "select * from asset_auth_record where macAddr = '" + mac + "'");
    EXPECT_EQ(store.registrationSql(info, "10.0.0.9:4711'"),
              "replace into asset_auth_record (id, create_time, update_time,macAddr, localIpAddr, "
              "netIpAddr, hostName, systemVersion, onlineState, authState) values ( ?,?,?, '" +
                  mac + "', '10.0.0.1\\\\', '10.0.0.9:4711\\'', 'host\\'\\0x' ,?,?,?)");
    EXPECT_EQ(store.offlineSql(info.strmacaddr(), "id'1"),
              "update asset_auth_record set onlineState = 0  where macAddr = '" + mac +
                  "' and id = 'id\\'1' ;");
    EXPECT_EQ(store.groupHostsSql("g' or '1'='1"),
              "select macAddr, onlineState from asset_auth_record where group_id = "
              "'g\\' or \\'1\\'=\\'1'");
}

// The device table, emptied, and a connection of the daemon's kind to the security database.
class TakDeviceStoreDbTest : public TakDeviceTablesTest {
protected:
    void SetUp() override {
        TakDeviceTablesTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_conn = std::make_shared<TakDbConn>(g_strSecurityDbName);
        ASSERT_TRUE(m_conn->connect(TakTestDb::settings()).ok());
    }
    void TearDown() override {
        if (m_conn) (void)m_conn->stop(std::chrono::steady_clock::now());
    }

    // Registers a device as the registration task does: prepare, execute, commit.
    TakStatus registerDevice(const std::string& mac, const std::string& id, int online, int auth,
                             const std::string& host = "host") {
        Tak::PolicyNotify::DeviceInfoUp info;
        info.set_strmacaddr(mac);
        info.set_strlocalipaddr("10.0.0.1");
        info.set_strhostname(host);
        info.set_strsystemversion("v1");
        TakDeviceStore store(*m_conn);
        if (TakStatus s =
                store.prepareRegistration(info, "10.0.0.9:4711", id, "2026-01-02 03:04:05");
            !s.ok()) {
            return s;
        }
        if (TakStatus s = store.executeRegistration(online, auth); !s.ok()) return s;
        return store.commitRegistration();
    }

    long long number(const std::string& sql) { return sec.number(sql); }

    TakLogCapture m_log;
    std::shared_ptr<TakDbConn> m_conn;
};

TEST_F(TakDeviceStoreDbTest, HostileTextsReachOnlyTheirOwnRowInEveryStatement) {
    std::string const hostile[] = {
        "x' or '1'='1",
        "aa'; update asset_auth_record set authState = 0; -- ",
        "back\\slash'",
        "line\nbreak\r\x1a\"",
        "\xe4\xb8\xbb\xe6\x9c\xba-\xf0\x9f\x98\x80",
    };
    // A bystander whose row no statement about the others may touch.
    ASSERT_TRUE(registerDevice("victim", "victim-id", 1, 1).ok());
    ASSERT_TRUE(sec.exec("update asset_auth_record set group_id = 'g1' where macAddr = 'victim'"));

    int n = 0;
    for (const std::string& mac : hostile) {
        SCOPED_TRACE(mac);
        std::string const id = "id'" + std::to_string(++n);
        ASSERT_TRUE(registerDevice(mac, id, 1, 1, mac).ok());
        ASSERT_TRUE(sec.exec("update asset_auth_record set group_id = '" + sec.escape(mac) +
                             "' where id = '" + sec.escape(id) + "'"));
        auto stored = sec.rows("select macAddr, hostName, id from asset_auth_record where id = '" +
                               sec.escape(id) + "'");
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(stored[0][0], mac);
        EXPECT_EQ(stored[0][1], mac);

        TakDeviceStore store(*m_conn);
        TakDeviceStore::STDeviceRow row = store.lookup(mac);
        EXPECT_TRUE(row.exists);
        EXPECT_TRUE(row.authorized);
        auto macs = store.onlineMacsOfGroup(mac);
        ASSERT_TRUE(macs.has_value());
        EXPECT_EQ(*macs, std::vector<std::string>{mac});

        EXPECT_TRUE(store.setAuthorized(mac, false).ok());
        EXPECT_FALSE(store.lookup(mac).authorized);
        EXPECT_TRUE(store.markOffline(mac, id).ok());
        EXPECT_EQ(
            number("select onlineState from asset_auth_record where id = '" + sec.escape(id) + "'"),
            0);
        // The group's only host is offline now: the group has hosts, none to send to.
        macs = store.onlineMacsOfGroup(mac);
        ASSERT_TRUE(macs.has_value());
        EXPECT_TRUE(macs->empty());

        EXPECT_EQ(number("select count(*) from asset_auth_record where macAddr = 'victim' and "
                         "onlineState = 1 and authState = 1 and group_id = 'g1'"),
                  1);
    }
    // An unknown MAC and a group without hosts.
    TakDeviceStore store(*m_conn);
    EXPECT_FALSE(store.lookup("no-such-mac").exists);
    EXPECT_FALSE(store.onlineMacsOfGroup("no-such-group").has_value());
    EXPECT_EQ(store.authorizedCount(), 1);  // the victim; the others were revoked
    EXPECT_EQ(m_log.count("[ERROR]"), 0u);
}

TEST_F(TakDeviceStoreDbTest, RegistrationReplacesTheRowOfItsMacAndTheResetCountsOnlineRows) {
    ASSERT_TRUE(registerDevice("aa:01", "first", 1, 1).ok());
    ASSERT_TRUE(registerDevice("aa:01", "second", 0, 0).ok());
    ASSERT_TRUE(registerDevice("aa:02", "third", 1, 1).ok());
    EXPECT_EQ(number("select count(*) from asset_auth_record where macAddr = 'aa:01'"), 1);
    EXPECT_EQ(sec.scalar("select id from asset_auth_record where macAddr = 'aa:01'"), "second");
    EXPECT_EQ(sec.scalar("select systemVersion from asset_auth_record where id = 'third'"), "v1");
    EXPECT_EQ(sec.scalar("select netIpAddr from asset_auth_record where id = 'third'"),
              "10.0.0.9:4711");

    // The offline update of an older registration leaves the newer row alone.
    TakDeviceStore store(*m_conn);
    EXPECT_TRUE(store.markOffline("aa:02", "an-older-id").ok());
    EXPECT_EQ(number("select onlineState from asset_auth_record where id = 'third'"), 1);

    uint64_t changed = 99;
    EXPECT_TRUE(store.resetAllOffline(&changed).ok());
    EXPECT_EQ(changed, 1u);  // only aa:02 was online
    EXPECT_EQ(number("select count(*) from asset_auth_record where onlineState <> 0"), 0);
    EXPECT_TRUE(store.resetAllOffline(&changed).ok());
    EXPECT_EQ(changed, 0u);
}

TEST_F(TakDeviceStoreDbTest, FailuresSayWhatFailed) {
    // The server refuses a row it cannot hold (the id column is 64 characters wide).
    TakStatus const tooLong = registerDevice("aa:03", std::string(65, 'i'), 1, 1);
    EXPECT_EQ(tooLong.code(), TakStatus::ECode::Refused) << tooLong.toString();
    EXPECT_NE(tooLong.message().find("Data too long"), std::string::npos) << tooLong.toString();
    EXPECT_EQ(m_log.count("mysql_stmt_execute failed: ", "Data too long"), 1u);
    EXPECT_EQ(number("select count(*) from asset_auth_record"), 0);

    // A connection whose server is not there.
    auto down = std::make_shared<TakDbConn>(g_strSecurityDbName);
    EXPECT_EQ(down->connect(TakTestDb::settings(TakTestMariaDb::freePort())).code(),
              TakStatus::ECode::Refused);
    {
        TakDeviceStore store(*down);
        EXPECT_EQ(store.markOffline("aa:01", "id").code(), TakStatus::ECode::NotConnected);
        EXPECT_EQ(store.setAuthorized("aa:01", true).code(), TakStatus::ECode::NotConnected);
        uint64_t changed = 7;
        EXPECT_EQ(store.resetAllOffline(&changed).code(), TakStatus::ECode::NotConnected);
        EXPECT_EQ(changed, 7u);
        EXPECT_FALSE(store.lookup("aa:01").exists);
        EXPECT_EQ(store.authorizedCount(), 0);
    }
    (void)down->stop(std::chrono::steady_clock::now());
}

}  // namespace
