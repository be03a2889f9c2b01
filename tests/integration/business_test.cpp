// The two business services end to end: agents (the simulator's client) against the built
// daemon and the test server, rows checked with SQL. Device registration and admission, the
// device limit, the offline update, policy errors; security-log and system-log uploads, resets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Tak.SecureLog.pb.h"
#include "Tak.SystemLog.pb.h"
#include "agent/TakAgentClient.h"
#include "support/TakDaemonProcess.h"
#include "support/TakEventually.h"
#include "support/TakTestAgents.h"
#include "support/TakTestDb.h"
#include "support/TakTestKeys.h"

namespace ComDefine = Tak::ComDefine;
namespace PolicyNotify = Tak::PolicyNotify;
using Tak::Business::MessageData;
using namespace std::chrono_literals;

namespace {

// A registry id: 1 to 32 lower-case hexadecimal digits.
bool isRegistryId(const std::string& id) {
    return !id.empty() && id.size() <= 32 &&
           id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// One row of asset_auth_record.
struct DeviceRow {
    std::string id, createTime, updateTime, mac, localIp, netIp, hostName, version;
    std::string online, auth;
    std::optional<std::string> group;
};

using Line = std::vector<std::string>;

struct SecRecord {
    int time, type;
    std::string user;
    int result;
    std::string summary, desc;
};

std::string secureLog(const std::vector<SecRecord>& records) {
    Tak::SecureLog::AuditContentAsr content;
    for (const SecRecord& r : records) {
        auto* c = content.add_arrauditcontent();
        c->set_nprocessed(0);
        c->set_ntype(r.type);
        c->set_struser(r.user);
        c->set_nresult(r.result);
        c->set_ntime(r.time);
        c->set_nop(1);
        c->set_strsummary(r.summary);
        c->set_strdesc(r.desc);
        c->set_nsubtype(2);
    }
    return content.SerializeAsString();
}

class BusinessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TakTestDb::available()) GTEST_SKIP() << "TAK_TEST_DB_PORT is not set";
        ASSERT_TRUE(sec.connected()) << sec.error();
        ASSERT_TRUE(audit.connected()) << audit.error();
        dropTestObjects();
        ASSERT_TRUE(sec.truncate({"asset_auth_record", "asset_business_config"})) << sec.error();
        ASSERT_TRUE(
            audit.truncate({"secureLog_record", "systemLog_kernelInfo", "systemLog_switchInfo"}))
            << audit.error();
    }

    void TearDown() override {
        // A failed test may have left a table locked: closing the connection would free it, but
        // the daemon goes first.
        daemon.reset();
        if (TakTestDb::available()) dropTestObjects();
    }

    void dropTestObjects() {
        (void)sec.exec("UNLOCK TABLES");
        (void)audit.exec("UNLOCK TABLES");
        (void)sec.exec("DROP TRIGGER IF EXISTS test_device_insert");
        (void)sec.exec("DROP TRIGGER IF EXISTS test_device_update");
        (void)audit.exec("DROP TRIGGER IF EXISTS test_slow_record");
    }

    void startDaemon(std::vector<TakDaemonProcess::ConfigValue> config = {}) {
        daemon = takStartDaemon(std::move(config));
        ASSERT_TRUE(daemon);
    }

    std::unique_ptr<TakAgentClient> agent() { return takConnectedAgent(*daemon); }

    // Sends device information and waits for its receipt.
    static void registerAs(TakAgentClient& a, const std::string& mac,
                           const std::string& hostName = "host",
                           const std::string& localIp = "10.0.0.1") {
        uint32_t const seq = a.sendDeviceInfo(mac, hostName, localIp, "Linux 6.1");
        ASSERT_NE(seq, 0u);
        MessageData ack;
        ASSERT_TRUE(a.receive(ack));
        EXPECT_EQ(ack.ndatatype(), ComDefine::PackDataAck);
        EXPECT_EQ(ack.nseqid(), seq);
    }

    // Sends an audit request and checks its receipt and its answer: the request's Businessdata
    // with empty commandData.
    static void expectReceiptAndAnswer(TakAgentClient& a, uint32_t seq, ComDefine::ECmdType cmd) {
        ASSERT_NE(seq, 0u);
        MessageData ack, answer;
        ASSERT_TRUE(a.receive(ack));
        EXPECT_EQ(ack.ndatatype(), ComDefine::PackDataAck);
        EXPECT_EQ(ack.nseqid(), seq);
        ASSERT_TRUE(a.receiveNonAck(answer));
        EXPECT_EQ(answer.ndatatype(), ComDefine::PackDataAsr);
        EXPECT_EQ(answer.nseqid(), seq);
        auto business = TakAgentClient::businessOf(answer);
        EXPECT_EQ(business.nmoduletype(), ComDefine::Module_Policy);
        EXPECT_EQ(business.moduledata().ncommandid(), cmd);
        EXPECT_TRUE(business.moduledata().has_commanddata());
        EXPECT_TRUE(business.moduledata().commanddata().empty());
    }

    std::string q(const std::string& text) { return "'" + sec.escape(text) + "'"; }

    std::optional<DeviceRow> device(const std::string& mac) {
        auto rows = sec.rows(
            "select id, create_time, update_time, macAddr, localIpAddr, netIpAddr, hostName, "
            "systemVersion, onlineState, authState, group_id from asset_auth_record "
            "where macAddr = " +
            q(mac));
        if (rows.size() != 1) return std::nullopt;
        auto const& r = rows[0];
        auto text = [&](size_t i) { return r[i].value_or("<NULL>"); };
        return DeviceRow{text(0), text(1), text(2), text(3), text(4), text(5),
                         text(6), text(7), text(8), text(9), r[10]};
    }
    // The device's row once it has this host name (the registration that sent it has run).
    std::optional<DeviceRow> deviceWithHost(const std::string& mac, const std::string& host) {
        std::optional<DeviceRow> row;
        (void)takEventually([&] {
            row = device(mac);
            return row && row->hostName == host;
        });
        return row && row->hostName == host ? row : std::nullopt;
    }
    bool becomesOffline(const std::string& mac) {
        return takEventually([&] {
            auto row = device(mac);
            return row && row->online == "0";
        });
    }

    // Every write to asset_auth_record from now on, kept in test_device_writes.
    void recordDeviceWrites() {
        ASSERT_TRUE(sec.exec(
            "CREATE TABLE IF NOT EXISTS test_device_writes (seq INT AUTO_INCREMENT PRIMARY KEY, "
            "op VARCHAR(8) NOT NULL, macAddr VARCHAR(255), onlineState INT, authState INT)"))
            << sec.error();
        ASSERT_TRUE(sec.truncate({"test_device_writes"})) << sec.error();
        for (const char* op : {"insert", "update"}) {
            ASSERT_TRUE(sec.exec(std::string("CREATE TRIGGER test_device_") + op + " AFTER " + op +
                                 " ON asset_auth_record FOR EACH ROW INSERT INTO "
                                 "test_device_writes (op, macAddr, onlineState, authState) "
                                 "VALUES ('" +
                                 op + "', NEW.macAddr, NEW.onlineState, NEW.authState)"))
                << sec.error();
        }
    }
    // The writes of one device, oldest first, as "op online/auth".
    std::vector<std::string> deviceWrites(const std::string& mac) {
        std::vector<std::string> out;
        for (const auto& r :
             sec.rows("select op, onlineState, authState from test_device_writes where macAddr = " +
                      q(mac) + " order by seq")) {
            out.push_back(r[0].value_or("") + " " + r[1].value_or("") + "/" + r[2].value_or(""));
        }
        return out;
    }

    void insertDevice(const std::string& id, const std::string& mac, int online, int auth) {
        ASSERT_TRUE(
            sec.exec("insert into asset_auth_record (id, create_time, update_time, macAddr, "
                     "hostName, onlineState, authState) values (" +
                     q(id) + ", '2001-01-01 00:00:00', '2001-01-01 00:00:00', " + q(mac) +
                     ", 'old', " + std::to_string(online) + ", " + std::to_string(auth) + ")"))
            << sec.error();
    }

    // Whether one log record of the daemon holds every piece, waiting for it a while: records
    // reach the file from the logger's own thread.
    bool logRecordWith(std::initializer_list<std::string_view> pieces) {
        return takEventually([&] { return logRecordNow(pieces); });
    }
    // Whether one record written so far holds every piece.
    bool logRecordNow(std::initializer_list<std::string_view> pieces) {
        std::string const log = daemon->logText();
        size_t start = 0;
        while (start < log.size()) {
            size_t end = log.find("\n\n", start);
            if (end == std::string::npos) end = log.size();
            std::string_view const record(log.data() + start, end - start);
            bool all = true;
            for (auto piece : pieces) all = all && record.find(piece) != std::string_view::npos;
            if (all) return true;
            start = end + 2;
        }
        return false;
    }

    // Polls the server's process list (on a connection of its own, as sec or audit may hold a
    // table lock) until a statement of another connection starts with prefix; its connection
    // id, or 0.
    long long waitForStatement(const std::string& prefix) {
        TakTestDb watcher;
        long long id = 0;
        (void)takEventually([&] {
            id = watcher.number(
                "select id from information_schema.processlist where id <> connection_id() "
                "and info like '" +
                watcher.escape(prefix) + "%' limit 1");
            return id > 0;
        });
        return id > 0 ? id : 0;
    }

    TakTestDb sec{"security_dev"};
    TakTestDb audit{"auditEvent_dev"};
    std::unique_ptr<TakDaemonProcess> daemon;
};

// ---- device registration --------------------------------------------------------------------

TEST_F(BusinessTest, RegistrationWritesOneRowPerDeviceAndTheDisconnectMarksItOffline) {
    startDaemon();
    auto a = agent();
    std::string const mac = "52:54:00:12:34:56";
    registerAs(*a, mac, "host-1", "10.1.2.3");
    auto first = deviceWithHost(mac, "host-1");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->online, "1");
    EXPECT_EQ(first->auth, "1");
    EXPECT_EQ(first->netIp, a->localAddr());
    EXPECT_EQ(first->localIp, "10.1.2.3");
    EXPECT_EQ(first->version, "Linux 6.1");
    EXPECT_TRUE(isRegistryId(first->id)) << first->id;
    EXPECT_EQ(first->createTime, first->updateTime);
    EXPECT_FALSE(first->group);

    // The console puts the device into a group; the next registration rewrites the whole row.
    ASSERT_TRUE(sec.exec(
        "update asset_auth_record set group_id = 'g1', create_time = '2001-01-01 00:00:00', "
        "update_time = '2001-01-01 00:00:00' where macAddr = " +
        q(mac)));
    registerAs(*a, mac, "host-2", "10.1.2.3");
    auto second = deviceWithHost(mac, "host-2");
    ASSERT_TRUE(second);
    EXPECT_EQ(sec.number("select count(*) from asset_auth_record"), 1);
    EXPECT_NE(second->id, first->id);
    EXPECT_TRUE(isRegistryId(second->id)) << second->id;
    EXPECT_FALSE(second->group) << *second->group;
    EXPECT_EQ(second->createTime, second->updateTime);
    EXPECT_NE(second->createTime, "2001-01-01 00:00:00");
    EXPECT_EQ(second->online, "1");
    EXPECT_EQ(second->auth, "1");
    EXPECT_FALSE(a->waitClosed(300)) << "an admitted device stays connected";

    a->close();
    ASSERT_TRUE(becomesOffline(mac));
    EXPECT_EQ(device(mac)->auth, "1") << "going offline keeps the authorization";
    // Only the row its own registration wrote.
    EXPECT_TRUE(
        daemon->waitForLog("update asset_auth_record set onlineState = 0  where macAddr = "
                           "'52:54:00:12:34:56' and id = '" +
                           second->id + "' ;"));
    EXPECT_TRUE(logRecordWith({"DEBUG", ":updateOnlineState:", "set onlineState = 0"}));
}

TEST_F(BusinessTest, AdmissionFollowsTheStoredAuthorization) {
    struct Case {
        const char* mac;
        int storedAuth;
        bool refused;
        const char* online;
        const char* auth;
    };
    Case const cases[] = {
        {"aa:00:00:00:01:01", 1, false, "1", "1"},
        {"aa:00:00:00:01:02", 0, true, "0", "0"},  // revoked by the console
        {"aa:00:00:00:01:03", 2, true, "0", "0"},  // any state other than 1 is not authorized
    };
    startDaemon();
    for (const Case& c : cases) insertDevice(std::string("old-") + c.mac, c.mac, 1, c.storedAuth);
    recordDeviceWrites();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mac);
        auto a = agent();
        registerAs(*a, c.mac);
        EXPECT_EQ(a->waitClosed(c.refused ? 5000 : 300), c.refused);
        auto row = deviceWithHost(c.mac, "host");
        ASSERT_TRUE(row) << "the row is rewritten";
        EXPECT_NE(row->id, std::string("old-") + c.mac);
        EXPECT_EQ(row->netIp, a->localAddr());
        EXPECT_EQ(row->auth, c.auth);
        EXPECT_EQ(deviceWrites(c.mac).front(), std::string("insert ") + c.online + "/" + c.auth);
        if (!c.refused) {
            EXPECT_EQ(row->online, "1");
        }
        a->close();
        EXPECT_TRUE(becomesOffline(c.mac));
    }
}

TEST_F(BusinessTest, NewDeviceBeyondTheLimitIsRecordedUnauthorizedThenDisconnected) {
    // Two authorized devices fill a registry limited to two.
    startDaemon({{"Limits", "DeviceLimit", "2"}});
    insertDevice("full-1", "aa:00:00:00:02:01", 0, 1);
    insertDevice("full-2", "aa:00:00:00:02:02", 0, 1);
    insertDevice("revoked", "aa:00:00:00:02:03", 0, 0);
    recordDeviceWrites();

    struct Case {
        const char* what;
        const char* mac;
        bool refused;
        const char* written;  // the registration's write
    };
    Case const cases[] = {
        {"new device", "aa:00:00:00:02:99", true, "insert 1/0"},
        // The limit is tested before the stored authorization.
        {"unauthorized device", "aa:00:00:00:02:03", true, "insert 1/0"},
        {"authorized device", "aa:00:00:00:02:01", false, "insert 1/1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto a = agent();
        registerAs(*a, c.mac);
        EXPECT_EQ(a->waitClosed(c.refused ? 5000 : 300), c.refused);
        // Closed only after the row was committed.
        auto row = device(c.mac);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->hostName, "host");
        EXPECT_EQ(row->auth, c.refused ? "0" : "1");
        auto writes = deviceWrites(c.mac);
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.front(), c.written);
        a->close();
        ASSERT_TRUE(becomesOffline(c.mac));
        EXPECT_EQ(deviceWrites(c.mac).back(), std::string("update 0/") + (c.refused ? "0" : "1"));
    }
    EXPECT_EQ(sec.number("select count(*) from asset_auth_record where authState = 1"), 2);
    EXPECT_TRUE(daemon->waitForLog("device limit reached"));
}

TEST_F(BusinessTest, TwoDevicesOnOneSessionWriteTwoRowsAndBothGoOfflineWithIt) {
    // A row is online only while a session holds it: both rows this session wrote go offline
    // when it closes.
    startDaemon();
    auto a = agent();
    registerAs(*a, "aa:00:00:00:03:01", "first");
    ASSERT_TRUE(deviceWithHost("aa:00:00:00:03:01", "first"));
    registerAs(*a, "aa:00:00:00:03:02", "second");
    ASSERT_TRUE(deviceWithHost("aa:00:00:00:03:02", "second"));
    a->close();
    ASSERT_TRUE(becomesOffline("aa:00:00:00:03:02"));
    ASSERT_TRUE(becomesOffline("aa:00:00:00:03:01"));
    EXPECT_EQ(sec.number("select count(*) from asset_auth_record"), 2);
}

TEST_F(BusinessTest, AnOldConnectionClosingLeavesTheReconnectedDeviceOnline) {
    // The agent reconnects before its old connection is noticed as closed: the old session's
    // offline update must not touch the row the new session wrote.
    startDaemon();
    std::string const mac = "aa:00:00:00:03:11";
    auto old = agent();
    registerAs(*old, mac, "old-connection");
    auto oldRow = deviceWithHost(mac, "old-connection");
    ASSERT_TRUE(oldRow);
    auto fresh = agent();
    registerAs(*fresh, mac, "new-connection");
    auto row = deviceWithHost(mac, "new-connection");
    ASSERT_TRUE(row);
    old->close();
    ASSERT_TRUE(
        daemon->waitForLog("where macAddr = 'aa:00:00:00:03:11' and id = '" + oldRow->id + "' ;"));
    // A registration queued after it has run, so the old session's update has run too.
    auto later = agent();
    registerAs(*later, "aa:00:00:00:03:12", "later");
    ASSERT_TRUE(deviceWithHost("aa:00:00:00:03:12", "later"));
    EXPECT_EQ(device(mac)->online, "1");
    EXPECT_EQ(device(mac)->id, row->id);
    fresh->close();
    EXPECT_TRUE(becomesOffline(mac));
}

TEST_F(BusinessTest, QuotesAndBackslashesFromTheAgentAreStoredAsSent) {
    startDaemon();
    insertDevice("other-1", "aa:00:00:00:04:01", 1, 1);
    insertDevice("other-2", "aa:00:00:00:04:02", 1, 1);
    auto const others = [&] {
        return sec.rows("select * from asset_auth_record where id like 'other-%' order by id");
    };
    auto const before = others();

    std::string const mac = "x' OR '1'='1";
    std::string const host = "h'o\"s\\t\\'; --";
    std::string const localIp = "10.0.0.1'); delete from asset_auth_record; --";
    auto a = agent();
    registerAs(*a, mac, host, localIp);
    auto row = deviceWithHost(mac, host);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->mac, mac);
    EXPECT_EQ(row->localIp, localIp);
    EXPECT_EQ(row->online, "1");
    EXPECT_EQ(sec.number("select count(*) from asset_auth_record"), 3);
    EXPECT_EQ(others(), before);

    // The offline update names this MAC only.
    a->close();
    ASSERT_TRUE(becomesOffline(mac));
    EXPECT_EQ(others(), before);
}

TEST_F(BusinessTest, PolicyErrorIsRecordedOnItsPolicyRow) {
    startDaemon();
    ASSERT_TRUE(
        sec.exec("insert into asset_business_config (id, group_id, dataType, processState) "
                 "values (7, 'g1', 65537, 1), (8, 'g1', 65537, 1)"));
    auto a = agent();
    registerAs(*a, "aa:00:00:00:05:01");
    // The error reports go to the device service, which the registration creates on a pool
    // thread after its receipt: wait for its row, so that the reports do not overtake it.
    ASSERT_TRUE(deviceWithHost("aa:00:00:00:05:01", "host"));

    // An error envelope without a payload writes nothing.
    MessageData empty;
    empty.set_strfromuserid("agent");
    empty.set_strtosessionid("takNetDevice");
    empty.set_nseqid(900);
    empty.set_ndatatype(ComDefine::PackDataErr);
    empty.set_ncreate_time(1);
    ASSERT_TRUE(a->sendEnvelope(empty));

    MessageData push;
    push.set_strtosessionid("agent");
    push.set_nseqid(901);
    std::string const text = "can't apply \"rule\" \\ disk full";
    ASSERT_TRUE(a->sendPolicyError(push, 8, text));
    ASSERT_TRUE(takEventually([&] {
        return sec.number("select processState from asset_business_config where id = 8") == 3;
    }));
    EXPECT_EQ(sec.scalar("select processErrorInfo from asset_business_config where id = 8"), text);
    // Tasks run in order: the empty error came first and left the other row alone.
    auto other = sec.rows(
        "select processState, processErrorInfo from asset_business_config "
        "where id = 7");
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0][0], "1");
    EXPECT_FALSE(other[0][1]);
}

// A registration the worker has started runs to its end, and the offline update of its session
// comes after it; registrations still queued when their session closes are dropped. Meanwhile
// the closing threads do no database work.
TEST_F(BusinessTest, CloseWaitsForTheRunningRegistrationAndDropsQueuedOnes) {
    startDaemon();
    recordDeviceWrites();
    auto a = agent();
    auto b = agent();

    // The registry is locked: a's registration starts and waits at its first statement.
    ASSERT_TRUE(sec.exec("LOCK TABLES asset_auth_record WRITE")) << sec.error();
    registerAs(*a, "aa:00:00:00:06:01");
    ASSERT_NE(waitForStatement("select COUNT(macAddr)"), 0) << "the registration has not started";
    registerAs(*b, "aa:00:00:00:06:02");  // queued behind it
    b->close();
    a->close();
    // Both sessions are closed (b's may have closed before its registration was handled).
    ASSERT_TRUE(takEventually([&] {
        std::string const log = daemon->logText();
        return log.find("close session:") != log.rfind("close session:");
    }));
    ASSERT_TRUE(daemon->waitForLog("close bsDeviceInfo"));

    // Every event loop still serves new agents (they are handed out in turn).
    unsigned const loops = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < loops + 1; ++i) {
        TakAgentClient c;
        c.setServerPoint(takTestKeys().point);
        ASSERT_TRUE(c.connect("127.0.0.1", daemon->agentPort()));
        std::string error;
        ASSERT_TRUE(c.handshake(&error, 2000)) << "agent " << i << ": " << error;
    }

    ASSERT_TRUE(sec.exec("UNLOCK TABLES")) << sec.error();
    ASSERT_TRUE(becomesOffline("aa:00:00:00:06:01"));
    EXPECT_EQ(deviceWrites("aa:00:00:00:06:01"),
              (std::vector<std::string>{"insert 1/1", "update 0/1"}));
    // A later registration runs on the same connection after whatever was queued before it.
    auto c = agent();
    registerAs(*c, "aa:00:00:00:06:03");
    ASSERT_TRUE(takEventually([&] { return device("aa:00:00:00:06:03").has_value(); }));
    EXPECT_FALSE(device("aa:00:00:00:06:02"));
    EXPECT_TRUE(deviceWrites("aa:00:00:00:06:02").empty());
}

// ---- audit logs -----------------------------------------------------------------------------

TEST_F(BusinessTest, SecurityLogUploadIsAnsweredBeforeItIsStored) {
    startDaemon();
    std::vector<SecRecord> const records = {
        {1700000001, 11, "root", 0, "login", "from \"tty1\""},
        {1700000002, 12, "o'neil", 1, "sudo", "back\\slash"},
        {1700000003, 13, "", 0, "", ""},
    };
    auto a = agent();
    registerAs(*a, "aa:00:00:00:07:01");
    // Storing waits for the lock; the answer does not.
    ASSERT_TRUE(audit.exec("LOCK TABLES secureLog_record WRITE")) << audit.error();
    uint32_t const seq = a->sendAuditUpload(PolicyNotify::auditUpType_secLog, "aa:00:00:00:07:01",
                                            secureLog(records));
    expectReceiptAndAnswer(*a, seq, ComDefine::policy_auditUp);
    EXPECT_EQ(audit.number("select count(*) from secureLog_record"), 0);
    ASSERT_TRUE(audit.exec("UNLOCK TABLES")) << audit.error();

    ASSERT_TRUE(
        takEventually([&] { return audit.number("select count(*) from secureLog_record") == 3; }));
    auto rows = audit.rows(
        "select id, macAddr, logTime, logType, userName, result, auditType, summary, description "
        "from secureLog_record order by id");
    ASSERT_EQ(rows.size(), 3u);
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const SecRecord& r = records[i];
        EXPECT_GT(std::stoll(rows[i][0].value_or("0")), 0);
        EXPECT_EQ(rows[i][1], "aa:00:00:00:07:01");
        EXPECT_EQ(rows[i][2], std::to_string(r.time));
        EXPECT_EQ(rows[i][3], std::to_string(r.type));
        EXPECT_EQ(rows[i][4], r.user);
        EXPECT_EQ(rows[i][5], std::to_string(r.result));
        EXPECT_EQ(rows[i][6], std::to_string(r.type));
        EXPECT_EQ(rows[i][7], r.summary);
        EXPECT_EQ(rows[i][8], r.desc);
    }
}

// The connection is cut while the second of three records is being stored: the upload is run
// again from its start and stored once, since nothing of it was committed before the loss.
TEST_F(BusinessTest, SecurityLogUploadCutOffMidwayIsStoredOnce) {
    startDaemon();
    ASSERT_TRUE(
        audit.exec("CREATE TRIGGER test_slow_record BEFORE INSERT ON secureLog_record FOR EACH ROW "
                   "IF NEW.summary = 'slow' THEN SET @slept = SLEEP(2); END IF"))
        << audit.error();
    auto a = agent();
    registerAs(*a, "aa:00:00:00:07:02");
    uint32_t const seq = a->sendAuditUpload(PolicyNotify::auditUpType_secLog, "aa:00:00:00:07:02",
                                            secureLog({{1, 1, "u", 0, "first", ""},
                                                       {2, 1, "u", 0, "slow", ""},
                                                       {3, 1, "u", 0, "third", ""}}));
    expectReceiptAndAnswer(*a, seq, ComDefine::policy_auditUp);

    // The worker's connection, inside the second record's trigger.
    long long const worker = waitForStatement("SET @slept = SLEEP");
    ASSERT_NE(worker, 0);
    ASSERT_TRUE(audit.exec("KILL CONNECTION " + std::to_string(worker))) << audit.error();

    ASSERT_TRUE(daemon->waitForLog("db task done after reconnect:", 15s));
    EXPECT_EQ(audit.number("select count(*) from secureLog_record"), 3);
    auto summaries = audit.rows("select summary from secureLog_record order by id");
    ASSERT_EQ(summaries.size(), 3u);
    EXPECT_EQ(summaries[0][0], "first");
    EXPECT_EQ(summaries[1][0], "slow");
    EXPECT_EQ(summaries[2][0], "third");
    EXPECT_FALSE(logRecordNow({"db task lost its connection after commits"}));
}

TEST_F(BusinessTest, SystemLogUploadStoresOneRowPerWellFormedLine) {
    startDaemon();
    std::string const mac = "aa:00:00:00:08:01";
    std::vector<Line> const lines = {
        {"1700000001", "a1", "b1", "c1", "d1"},
        {"-42", "a2", "b2", "c2", "d2"},
        {"9223372036854775807", "a3", "b'3", "c\\3", "d3"},
        {"12x", "bad", "bad", "bad", "bad"},                  // not a number
        {"9223372036854775808", "bad", "bad", "bad", "bad"},  // beyond 64 bits
        {"", "bad", "bad", "bad", "bad"},                     // empty first item
        {" 5", "bad", "bad", "bad", "bad"},                   // not only digits
        {"7", "short", "short"},                              // fewer items than the first line
        {},                                                   // no item at all
        {"+8", "a9", "b9", "c9", "d9", "surplus"},            // the surplus item is dropped
    };
    auto a = agent();
    registerAs(*a, mac);
    uint32_t const seq = a->sendAuditUpload(PolicyNotify::auditUpType_kernelInfo, mac,
                                            TakAgentClient::systemLogData(lines));
    expectReceiptAndAnswer(*a, seq, ComDefine::policy_auditUp);

    ASSERT_TRUE(takEventually(
        [&] { return audit.number("select count(*) from systemLog_kernelInfo") == 4; }));
    auto rows = audit.rows(
        "select macAddr, item1, item2, item3, item4, item5 from systemLog_kernelInfo order by id");
    using Row = TakTestDb::Row;
    std::vector<Row> const expected = {
        {mac, "1700000001", "a1", "b1", "c1", "d1"},
        {mac, "-42", "a2", "b2", "c2", "d2"},
        {mac, "9223372036854775807", "a3", "b'3", "c\\3", "d3"},
        {mac, "8", "a9", "b9", "c9", "d9"},
    };
    EXPECT_EQ(rows, expected);
    // Surplus items are counted once per upload, not logged one record each.
    EXPECT_TRUE(logRecordWith(
        {"WARN", "beyond the first line's count:", "systemLog_kernelInfo", "lines: 1 "}));
    EXPECT_EQ(daemon->logText().find("index too large: "), std::string::npos);
    EXPECT_TRUE(logRecordWith({"WARN", "first item not a 64-bit decimal number:",
                               "systemLog_kernelInfo", "skipped: 4 "}));
    EXPECT_TRUE(logRecordWith(
        {"WARN", "fewer items than the first line:", "systemLog_kernelInfo", "skipped: 2 "}));
    EXPECT_TRUE(logRecordWith({"DEBUG", "systemLog_kernelInfo", " 10 "}));
}

TEST_F(BusinessTest, UploadsThatCannotBeStoredAreSkippedAndLaterOnesStored) {
    startDaemon();
    std::string const mac = "aa:00:00:00:09:01";
    auto a = agent();
    registerAs(*a, mac);
    struct Case {
        const char* what;
        PolicyNotify::EAuditUpType type;
        std::string logData;
        const char* logged;
    };
    Case const cases[] = {
        {"no line", PolicyNotify::auditUpType_kernelInfo, TakAgentClient::systemLogData({}),
         "log size is empty"},
        {"first line without item", PolicyNotify::auditUpType_kernelInfo,
         TakAgentClient::systemLogData({{}, {"1", "a", "b", "c", "d"}}),
         "its first line has no item:"},
        {"type without table", PolicyNotify::auditUpType_count,
         TakAgentClient::systemLogData({{"1", "a", "b", "c", "d"}}), "its type has no table:"},
        {"unreadable payload", PolicyNotify::auditUpType_kernelInfo, std::string("\xff\xff\xff", 3),
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        expectReceiptAndAnswer(*a, a->sendAuditUpload(c.type, mac, c.logData),
                               ComDefine::policy_auditUp);
        if (c.logged) {
            EXPECT_TRUE(daemon->waitForLog(c.logged));
        }
    }
    // The next upload is stored: once it is, everything queued before it has been handled.
    expectReceiptAndAnswer(
        *a,
        a->sendAuditUpload(PolicyNotify::auditUpType_kernelInfo, mac,
                           TakAgentClient::systemLogData({{"99", "last", "b", "c", "d"}})),
        ComDefine::policy_auditUp);
    ASSERT_TRUE(takEventually(
        [&] { return audit.number("select count(*) from systemLog_kernelInfo") > 0; }));
    EXPECT_EQ(audit.rows("select item1, item2 from systemLog_kernelInfo"),
              (std::vector<TakTestDb::Row>{{"99", "last"}}));
    EXPECT_EQ(audit.number("select count(*) from secureLog_record"), 0);
}

TEST_F(BusinessTest, ResetDeletesOnlyThatDevicesRowsOfThatType) {
    startDaemon();
    std::string const hostile = "x' OR '1'='1";
    for (const char* mac : {"aa:00:00:00:10:01", "aa:00:00:00:10:01", "aa:00:00:00:10:02"}) {
        ASSERT_TRUE(audit.exec(std::string("insert into systemLog_switchInfo values (null, '") +
                               mac + "', 1, 'a', 'b', 'c', 'd')"));
    }
    ASSERT_TRUE(audit.exec("insert into systemLog_switchInfo values (null, '" +
                           audit.escape(hostile) + "', 1, 'a', 'b', 'c', 'd')"));
    ASSERT_TRUE(audit.exec(
        "insert into systemLog_kernelInfo values (null, 'aa:00:00:00:10:01', 1, 'a', 'b', 'c', "
        "'d')"));
    auto const count = [&](const std::string& table, const std::string& mac) {
        return audit.number("select count(*) from " + table + " where macAddr = '" +
                            audit.escape(mac) + "'");
    };

    auto a = agent();
    // The agent reports both addresses as its own (the hostile one tests the escaping).
    registerAs(*a, hostile);
    registerAs(*a, "aa:00:00:00:10:01");
    expectReceiptAndAnswer(*a, a->sendAuditReset(PolicyNotify::auditUpType_count, hostile),
                           ComDefine::policy_auditReset);
    expectReceiptAndAnswer(*a, a->sendAuditReset(PolicyNotify::auditUpType_switchInfo, hostile),
                           ComDefine::policy_auditReset);
    expectReceiptAndAnswer(
        *a, a->sendAuditReset(PolicyNotify::auditUpType_switchInfo, "aa:00:00:00:10:01"),
        ComDefine::policy_auditReset);
    // Resets run in order: once the last is done, the others are.
    ASSERT_TRUE(
        takEventually([&] { return count("systemLog_switchInfo", "aa:00:00:00:10:01") == 0; }));
    EXPECT_EQ(count("systemLog_switchInfo", hostile), 0);
    EXPECT_EQ(count("systemLog_switchInfo", "aa:00:00:00:10:02"), 1);
    EXPECT_EQ(count("systemLog_kernelInfo", "aa:00:00:00:10:01"), 1);
    EXPECT_TRUE(daemon->waitForLog("processReset:"));
    EXPECT_TRUE(logRecordWith({"WARN", "audit reset skipped, its type has no table:"}));
}

TEST_F(BusinessTest, AnAgentUploadsAndResetsOnlyForTheDeviceItReported) {
    startDaemon();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(audit.exec(
            "insert into systemLog_switchInfo values (null, 'aa:00:00:00:12:01', 1, 'a', 'b', "
            "'c', 'd')"));
    }
    auto const rowsOf = [&](const std::string& mac) {
        return audit.number("select count(*) from systemLog_switchInfo where macAddr = '" + mac +
                            "'");
    };
    // A client that has reported no device resets another host's logs: answered, not done.
    auto stranger = agent();
    expectReceiptAndAnswer(
        *stranger,
        stranger->sendAuditReset(PolicyNotify::auditUpType_switchInfo, "aa:00:00:00:12:01"),
        ComDefine::policy_auditReset);
    EXPECT_TRUE(logRecordWith({"WARN", "audit reset dropped, the MAC is not this session's device:",
                               stranger->localAddr(), "aa:00:00:00:12:01"}));
    // A registered agent uploading for another device: the same.
    auto a = agent();
    registerAs(*a, "aa:00:00:00:12:02");
    expectReceiptAndAnswer(
        *a,
        a->sendAuditUpload(PolicyNotify::auditUpType_switchInfo, "aa:00:00:00:12:01",
                           TakAgentClient::systemLogData({{"1", "forged", "b", "c", "d"}})),
        ComDefine::policy_auditUp);
    EXPECT_TRUE(logRecordWith(
        {"WARN", "audit upload dropped, the MAC is not this session's device:", a->localAddr(),
         "aa:00:00:00:12:01"}));
    // Its own device's upload is stored; queued after the others, it shows they are done.
    expectReceiptAndAnswer(
        *a,
        a->sendAuditUpload(PolicyNotify::auditUpType_switchInfo, "aa:00:00:00:12:02",
                           TakAgentClient::systemLogData({{"2", "own", "b", "c", "d"}})),
        ComDefine::policy_auditUp);
    ASSERT_TRUE(takEventually([&] { return rowsOf("aa:00:00:00:12:02") == 1; }));
    EXPECT_EQ(rowsOf("aa:00:00:00:12:01"), 3);
}

TEST_F(BusinessTest, UploadQueuedJustBeforeTheAgentLeavesIsStillStored) {
    startDaemon();
    std::vector<Line> lines;
    for (int i = 0; i < 10; ++i) lines.push_back({std::to_string(i), "a", "b", "c", "d"});
    auto a = agent();
    registerAs(*a, "aa:00:00:00:11:01");
    // Held back until the session has gone.
    ASSERT_TRUE(audit.exec("LOCK TABLES systemLog_kernelInfo WRITE")) << audit.error();
    expectReceiptAndAnswer(
        *a,
        a->sendAuditUpload(PolicyNotify::auditUpType_kernelInfo, "aa:00:00:00:11:01",
                           TakAgentClient::systemLogData(lines)),
        ComDefine::policy_auditUp);
    a->close();
    ASSERT_TRUE(daemon->waitForLog("close bsDeviceInfo"));
    ASSERT_TRUE(audit.exec("UNLOCK TABLES")) << audit.error();
    EXPECT_TRUE(takEventually(
        [&] { return audit.number("select count(*) from systemLog_kernelInfo") == 10; }));
}

}  // namespace

namespace {

// ---- faults: order, back-pressure, oversized data ---------------------------------------------

TEST_F(BusinessTest, OneSessionsUploadsAndResetsAreStoredInArrivalOrder) {
    // Each agent sends an upload, a reset of that table and a second upload back to back: only
    // the second upload may remain. Handled out of order, the reset would delete it or leave
    // the first upload.
    startDaemon();
    constexpr int kAgents = 30;
    std::vector<std::unique_ptr<TakAgentClient>> agents;
    auto macOf = [](int i) { return "aa:00:00:00:20:" + std::to_string(10 + i); };
    for (int i = 0; i < kAgents; ++i) {
        agents.push_back(agent());
        registerAs(*agents.back(), macOf(i));
    }
    auto upload = [](const std::string& tag, int lines) {
        std::vector<Line> content;
        for (int k = 0; k < lines; ++k) content.push_back({std::to_string(k), tag, "b", "c", "d"});
        return TakAgentClient::systemLogData(content);
    };
    // The first upload is the largest: handled at the same time, the reset would overtake it.
    std::string const first = upload("first", 2000);
    std::string const second = upload("second", 20);
    for (int i = 0; i < kAgents; ++i) {
        auto& a = *agents[i];
        ASSERT_NE(a.sendAuditUpload(PolicyNotify::auditUpType_kernelInfo, macOf(i), first), 0u);
        ASSERT_NE(a.sendAuditReset(PolicyNotify::auditUpType_kernelInfo, macOf(i)), 0u);
        ASSERT_NE(a.sendAuditUpload(PolicyNotify::auditUpType_kernelInfo, macOf(i), second), 0u);
    }
    // Handled in order, every agent's rows come to be exactly its second upload; handled out of
    // order, some agent's rows never do.
    auto const rowsOf = [&](int i, const char* tag) {
        return audit.number("select count(*) from systemLog_kernelInfo where macAddr = '" +
                            macOf(i) + "' and item2 = '" + tag + "'");
    };
    EXPECT_TRUE(takEventually(
        [&] {
            for (int i = 0; i < kAgents; ++i) {
                if (rowsOf(i, "second") != 20 || rowsOf(i, "first") != 0) return false;
            }
            return true;
        },
        30s));
    for (int i = 0; i < kAgents; ++i) {
        SCOPED_TRACE(macOf(i));
        EXPECT_EQ(rowsOf(i, "second"), 20);
        EXPECT_EQ(rowsOf(i, "first"), 0);
    }
}

TEST_F(BusinessTest, AFullAuditQueueHoldsTheUploadingAgentsBackAndLosesNothing) {
    // The audit table is locked, so nothing drains: the queue reaches its bound and the daemon
    // stops reading from the uploading agents (their sends then stall in TCP) instead of
    // holding everything they send. Once the table is free, every answered upload is stored.
    startDaemon({{"Limits", "MaxQueuedBytes", "1048576"}});
    constexpr int kAgents = 4;
    constexpr int kUploads = 40;
    constexpr int kLines = 250;
    std::vector<Line> lines;
    for (int k = 0; k < kLines; ++k) {
        lines.push_back({std::to_string(k), std::string(1500, 'x'), "b", "c", "d"});
    }
    // About 380 KB an upload, 60 MB in all: far above what the daemon holds besides the queue
    // (its log queue takes a new 8 MiB block as the per-frame records fill one).
    std::string const data = TakAgentClient::systemLogData(lines);
    std::vector<std::unique_ptr<TakAgentClient>> agents;
    for (int i = 0; i < kAgents; ++i) {
        agents.push_back(agent());
        registerAs(*agents.back(), "aa:00:00:00:21:0" + std::to_string(i));
    }
    long const before = daemon->memoryKiB("VmRSS");
    ASSERT_TRUE(audit.exec("LOCK TABLES systemLog_kernelInfo WRITE")) << audit.error();

    std::vector<std::thread> senders;
    std::atomic<int> sent{0};
    for (int i = 0; i < kAgents; ++i) {
        senders.emplace_back([&, i] {
            std::string const mac = "aa:00:00:00:21:0" + std::to_string(i);
            for (int u = 0; u < kUploads; ++u) {
                if (agents[i]->sendAuditUpload(PolicyNotify::auditUpType_kernelInfo, mac, data) ==
                    0)
                    return;
                ++sent;
            }
        });
    }
    // Every agent is held back: its reading is paused.
    ASSERT_TRUE(takEventually(
        [&] {
            std::string const log = daemon->logText();
            size_t n = 0;
            for (size_t at = log.find("reading paused:"); at != std::string::npos;
                 at = log.find("reading paused:", at + 1))
                ++n;
            return n >= kAgents;
        },
        30s));
    long const held = daemon->memoryKiB("VmHWM");
    long const sentBytes = static_cast<long>(data.size()) * kAgents * kUploads / 1024;
    EXPECT_LT(sent.load(), kAgents * kUploads) << "no agent was held back";
    // The daemon holds the queue's bound and what was in flight, far from all that was sent.
    std::printf("held back: daemon RSS %ld KiB before, peak %ld KiB, %ld KiB sent\n", before, held,
                sentBytes);
    if (TakDaemonProcess::memoryFiguresMean()) {
        EXPECT_LT(held - before, sentBytes / 2)
            << "before " << before << " KiB, held " << held << " KiB, sent " << sentBytes << " KiB";
    }

    ASSERT_TRUE(audit.exec("UNLOCK TABLES")) << audit.error();
    for (auto& t : senders) t.join();
    EXPECT_EQ(sent.load(), kAgents * kUploads);
    EXPECT_TRUE(takEventually(
        [&] {
            return audit.number("select count(*) from systemLog_kernelInfo") ==
                   kAgents * kUploads * kLines;
        },
        120s))
        << audit.number("select count(*) from systemLog_kernelInfo");
}

}  // namespace
