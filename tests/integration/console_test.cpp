// The console's RPC against the built daemon, agents and the private MariaDB: policy
// distribution, host queries, host authorization, and the Thrift service itself.
#include <gtest/gtest.h>
#include <thrift/TApplicationException.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "Tak.HostInfo.pb.h"
#include "Tak.PolicyNotify.pb.h"
#include "agent/TakAgentClient.h"
#include "notifyService.h"
#include "support/TakDaemonProcess.h"
#include "support/TakEventually.h"
#include "support/TakTestAgents.h"
#include "support/TakTestConsole.h"
#include "support/TakTestDb.h"
#include "support/TakTestKeys.h"

namespace ComDefine = Tak::ComDefine;
using Tak::Business::MessageData;
using namespace std::chrono_literals;

namespace {

using Console = TakTestConsole;

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TakTestDb::available()) << "TAK_TEST_DB_PORT is not set";
        ASSERT_TRUE(db.connected()) << db.error();
        ASSERT_TRUE(db.truncate({"asset_auth_record", "asset_business_config"}));
        daemon = takStartDaemon();
        ASSERT_TRUE(daemon);
    }

    std::unique_ptr<TakAgentClient> connectAgent() { return takConnectedAgent(*daemon); }

    // An agent registered under mac, its host row in group (online 1, authorized 1).
    std::unique_ptr<TakAgentClient> hostInGroup(const std::string& mac, const std::string& group) {
        auto a = connectAgent();
        uint32_t const seq = a->sendDeviceInfo(mac);
        MessageData ack;
        EXPECT_TRUE(a->receive(ack));
        EXPECT_EQ(ack.nseqid(), seq);
        // The registration rewrites the row; set the group once it has.
        std::string const where = " where macAddr = '" + db.escape(mac) + "'";
        takEventually(
            [&] { return db.number("select onlineState from asset_auth_record" + where) == 1; }, 2s,
            20ms);
        EXPECT_TRUE(
            db.exec("update asset_auth_record set group_id = '" + db.escape(group) + "'" + where));
        return a;
    }

    int addPolicy(const std::string& group, int dataType, const std::string& protoData) {
        EXPECT_TRUE(db.exec(
            "insert into asset_business_config (group_id, dataType, protoData, processState) "
            "values ('" +
            db.escape(group) + "', " + std::to_string(dataType) + ", " +
            (protoData.empty() ? std::string("''") : "X'" + hex(protoData) + "'") + ", 0)"));
        return static_cast<int>(db.number("select max(id) from asset_business_config"));
    }

    long long state(int policyId) {
        return db.number("select processState from asset_business_config where id = " +
                         std::to_string(policyId));
    }

    bool waitState(int policyId, long long wanted, std::chrono::milliseconds timeout) {
        return takEventually([&] { return state(policyId) == wanted; }, timeout, 10ms);
    }

    // The next policy push an agent receives.
    static bool receivePush(TakAgentClient& a, MessageData& push,
                            Tak::PolicyNotify::BusinessPolicyDown& down, int timeoutMs = 3000) {
        auto const end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (!a.receiveNonAck(push, timeoutMs)) return false;
            auto business = TakAgentClient::businessOf(push);
            if (business.moduledata().ncommandid() != ComDefine::policy_notify) continue;
            EXPECT_EQ(business.nmoduletype(), ComDefine::Module_Policy);
            return down.ParseFromString(business.moduledata().commanddata());
        }
        return false;
    }

    TakTestDb db;
    std::unique_ptr<TakDaemonProcess> daemon;
};

TEST_F(ConsoleTest, PolicyReachesEveryOnlineAgentOfItsGroupByteForByte) {
    auto a1 = hostInGroup("cc:00:00:00:00:01", "g1");
    auto a2 = hostInGroup("cc:00:00:00:00:02", "g1");
    auto other = hostInGroup("cc:00:00:00:00:03", "g2");
    std::string const withZeros("\x08\x00\x12\x03\x00\xff\x00", 7);
    int const p1 = addPolicy("g1", ComDefine::reinforce_SetReforceMode, withZeros);
    int const p2 = addPolicy("g1", ComDefine::protect_ConfigKernelContent, "");

    Console console(daemon->rpcPort());
    auto const called = std::chrono::steady_clock::now();
    console->notifyPolicy();
    EXPECT_LT(std::chrono::steady_clock::now() - called, 500ms)
        << "notifyPolicy waits for the pass";

    for (auto* a : {a1.get(), a2.get()}) {
        std::map<uint32_t, std::pair<int, std::string>> got;
        for (int i = 0; i < 2; ++i) {
            MessageData push;
            Tak::PolicyNotify::BusinessPolicyDown down;
            ASSERT_TRUE(receivePush(*a, push, down));
            EXPECT_EQ(push.strtosessionid(), "taksecd");
            EXPECT_EQ(push.strfromuserid(), "takNetDevice");
            EXPECT_EQ(push.ndatatype(), ComDefine::PackDataReq);
            EXPECT_EQ(down.bsdata().nmoduletype(), ComDefine::Module_Policy);
            got[down.nid()] = {down.bsdata().moduledata().ncommandid(),
                               down.bsdata().moduledata().commanddata()};
        }
        EXPECT_EQ(got[static_cast<uint32_t>(p1)].first, ComDefine::reinforce_SetReforceMode);
        EXPECT_EQ(got[static_cast<uint32_t>(p1)].second, withZeros);
        EXPECT_EQ(got[static_cast<uint32_t>(p2)].first, ComDefine::protect_ConfigKernelContent);
        EXPECT_EQ(got[static_cast<uint32_t>(p2)].second, "");
    }
    MessageData stray;
    Tak::PolicyNotify::BusinessPolicyDown down;
    EXPECT_FALSE(receivePush(*other, stray, down, 300)) << "an agent of another group got it";

    // Handed out right after the pass; done about a second later.
    EXPECT_TRUE(waitState(p1, 1, 500ms));
    auto const handedOut = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitState(p1, 2, 3s));
    auto const waited = std::chrono::steady_clock::now() - handedOut;
    EXPECT_GT(waited, 600ms);
    EXPECT_TRUE(waitState(p2, 2, 1s));
}

TEST_F(ConsoleTest, AgentErrorWithinTheSecondIsKept) {
    auto a = hostInGroup("cc:00:00:00:00:11", "g1");
    int const p = addPolicy("g1", ComDefine::reinforce_SetReforceMode, "x");
    // Handed out in the same pass and not answered: the time-out marks it done after p, whose
    // id is lower.
    int const later = addPolicy("g1", ComDefine::reinforce_SetReforceMode, "y");
    Console console(daemon->rpcPort());
    console->notifyPolicy();
    for (int i = 0; i < 2; ++i) {
        MessageData push;
        Tak::PolicyNotify::BusinessPolicyDown down;
        ASSERT_TRUE(receivePush(*a, push, down));
        if (down.nid() != static_cast<uint32_t>(p)) continue;
        ASSERT_TRUE(a->sendPolicyError(push, down.nid(), "module refused: it's \"bad\""));
    }
    EXPECT_TRUE(waitState(p, 3, 2s));
    ASSERT_TRUE(waitState(later, 2, 5s));  // past the time-out pass
    EXPECT_EQ(state(p), 3);
    EXPECT_EQ(db.scalar("select processErrorInfo from asset_business_config where id = " +
                        std::to_string(p)),
              std::string("module refused: it's \"bad\""));
}

TEST_F(ConsoleTest, PassesStartedTogetherOfferARowOnce) {
    auto a = hostInGroup("cc:00:00:00:00:71", "g1");
    int const p = addPolicy("g1", ComDefine::reinforce_SetReforceMode, "once");
    Console console(daemon->rpcPort());
    console->notifyPolicy();
    console->notifyPolicy();
    console->notifyPolicy();
    MessageData push;
    Tak::PolicyNotify::BusinessPolicyDown down;
    ASSERT_TRUE(receivePush(*a, push, down));
    EXPECT_EQ(down.nid(), static_cast<uint32_t>(p));
    EXPECT_FALSE(receivePush(*a, push, down, 500)) << "the row was offered twice";
}

TEST_F(ConsoleTest, EachPassWaitsItsOwnFullSecond) {
    auto a = hostInGroup("cc:00:00:00:00:81", "g1");
    Console console(daemon->rpcPort());
    int const first = addPolicy("g1", ComDefine::reinforce_SetReforceMode, "first");
    console->notifyPolicy();
    ASSERT_TRUE(waitState(first, 1, 5s));
    auto const firstHandedOut = std::chrono::steady_clock::now();
    // Not a wait for an event: the second pass is to start half-way through the first one's
    // second, which is what this test is about.
    std::this_thread::sleep_for(500ms);
    int const second = addPolicy("g1", ComDefine::reinforce_SetReforceMode, "second");
    console->notifyPolicy();
    ASSERT_TRUE(waitState(second, 1, 5s));
    auto const secondHandedOut = std::chrono::steady_clock::now();
    // The first pass's time-out must not take the second pass's row along.
    ASSERT_TRUE(waitState(first, 2, 5s));
    EXPECT_EQ(state(second), 1) << "the second row was done before its own second was up";
    ASSERT_TRUE(waitState(second, 2, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - secondHandedOut, 900ms);
    EXPECT_GE(secondHandedOut - firstHandedOut, 450ms);
}

TEST_F(ConsoleTest, RowsWithoutHostsOfflineGroupsAndInvalidCommands) {
    // A group without host rows: stays pending.
    int const lonely = addPolicy("nobody", ComDefine::reinforce_SetReforceMode, "x");
    // A group whose hosts are all offline: handed out to nobody, never done.
    ASSERT_TRUE(db.exec(
        "insert into asset_auth_record (id, macAddr, onlineState, authState, group_id) values "
        "('1', 'cc:off:1', 0, 1, 'offline'), ('2', 'cc:off:2', 0, 1, 'offline')"));
    int const offline = addPolicy("offline", ComDefine::reinforce_SetReforceMode, "x");
    // A command that is no ECmdType value: refused on the row.
    auto a = hostInGroup("cc:00:00:00:00:21", "g1");
    int const invalid = addPolicy("g1", 65540, "x");
    // A group spliced into SQL is taken as text.
    int const injected = addPolicy("' OR '1'='1", ComDefine::reinforce_SetReforceMode, "x");
    // A row of another group, handed out and then done by the pass's time-out after the others.
    auto b = hostInGroup("cc:00:00:00:00:22", "g9");
    int const last = addPolicy("g9", ComDefine::reinforce_SetReforceMode, "x");

    Console console(daemon->rpcPort());
    console->notifyPolicy();
    EXPECT_TRUE(waitState(offline, 1, 2s));
    EXPECT_TRUE(waitState(invalid, 3, 2s));
    ASSERT_TRUE(waitState(last, 2, 5s));  // past the time-out pass
    EXPECT_EQ(state(lonely), 0);
    EXPECT_EQ(state(offline), 1);
    EXPECT_EQ(state(invalid), 3);
    EXPECT_EQ(state(injected), 0);
    EXPECT_EQ(db.scalar("select processErrorInfo from asset_business_config where id = " +
                        std::to_string(invalid)),
              std::string("invalid dataType"));
    MessageData push;
    Tak::PolicyNotify::BusinessPolicyDown down;
    EXPECT_FALSE(receivePush(*a, push, down, 300));
}

TEST_F(ConsoleTest, HostFiguresComeFromTheAgentWellWithinASecond) {
    auto a = hostInGroup("cc:00:00:00:00:31", "g1");
    std::thread agentSide([&] {
        MessageData query;
        if (!a->receiveNonAck(query, 5000)) return;
        Tak::HostInfo::ResourceInfoAsr answer;
        answer.set_ncpurate(37);
        answer.set_ntotalmem(8ull << 30);
        answer.set_nfreemem(2ull << 30);
        answer.set_ntotaldisk(100);
        answer.set_nfreedisk(25);
        (void)a->sendAnswer(query, answer.SerializeAsString());
    });
    Console console(daemon->rpcPort());
    tak::rpc::notify::STHostInfo info;
    auto const start = std::chrono::steady_clock::now();
    console->getDeviceHostInfo(info, "cc:00:00:00:00:31");
    auto const took = std::chrono::steady_clock::now() - start;
    agentSide.join();
    EXPECT_LT(took, 500ms);
    EXPECT_DOUBLE_EQ(info.fCpuUse, 37);
    EXPECT_DOUBLE_EQ(info.fMemoryUse, 0.25);
    EXPECT_DOUBLE_EQ(info.fDiskUse, 0.25);
}

TEST_F(ConsoleTest, UnknownHostAndLateAnswerGiveNaNAfterOneSecond) {
    auto a = hostInGroup("cc:00:00:00:00:41", "g1");
    Console console(daemon->rpcPort());
    for (const std::string mac : {"no:such:mac", "cc:00:00:00:00:41"}) {
        tak::rpc::notify::STHostInfo info;
        auto const start = std::chrono::steady_clock::now();
        console->getDeviceHostInfo(info, mac);
        auto const took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 950ms) << mac;
        EXPECT_LT(took, 2s) << mac;
        EXPECT_EQ(info.fCpuUse, 0) << mac;
        EXPECT_TRUE(std::isnan(info.fMemoryUse)) << mac;
        EXPECT_TRUE(std::isnan(info.fDiskUse)) << mac;
    }
    // The connected agent answers only now, after the caller gave up: dropped safely.
    MessageData query;
    ASSERT_TRUE(a->receiveNonAck(query, 1000));
    Tak::HostInfo::ResourceInfoAsr answer;
    answer.set_ncpurate(99);
    answer.set_ntotalmem(1);
    answer.set_nfreemem(1);
    answer.set_ntotaldisk(1);
    answer.set_nfreedisk(1);
    ASSERT_TRUE(a->sendAnswer(query, answer.SerializeAsString()));
    // The query's pending entry went with its time-out: the answer matches nothing and is
    // dropped like any unawaited answer.
    EXPECT_TRUE(daemon->waitForLog("recv asr id:  " + std::to_string(query.nseqid()) + " "));
    EXPECT_EQ(daemon->logText().find("callfunc is call:"), std::string::npos);
    // The daemon still answers: the next query times out normally.
    tak::rpc::notify::STHostInfo info;
    console->getDeviceHostInfo(info, "no:such:mac");
    EXPECT_TRUE(std::isnan(info.fMemoryUse));
    EXPECT_TRUE(daemon->running());
}

TEST_F(ConsoleTest, RevokingAConnectedHostClosesItsConnection) {
    auto a = hostInGroup("cc:00:00:00:00:51", "g1");
    Console console(daemon->rpcPort());
    EXPECT_EQ(console->authDevice("cc:00:00:00:00:51", false),
              tak::rpc::notify::ERpcReturnValue::rpcRet_succeed);
    EXPECT_TRUE(a->waitClosed(3000));
    EXPECT_TRUE(daemon->waitForLog("close session:"));
    EXPECT_EQ(db.number("select authState from asset_auth_record where macAddr = "
                        "'cc:00:00:00:00:51'"),
              0);
    // The session has left the registry: a host query finds nobody.
    tak::rpc::notify::STHostInfo info;
    console->getDeviceHostInfo(info, "cc:00:00:00:00:51");
    EXPECT_TRUE(std::isnan(info.fMemoryUse));
}

TEST_F(ConsoleTest, AuthorizationThatOutrunsItsTimeLimitReportsWhatItDid) {
    auto a = hostInGroup("cc:00:00:00:00:54", "g1");
    // Another client holds the host's row: the daemon's update waits for it past the call's
    // time limit, and only goes through once the row is released.
    TakTestDb holder;
    ASSERT_TRUE(holder.exec("start transaction"));
    ASSERT_TRUE(holder.exec(
        "select * from asset_auth_record where macAddr = 'cc:00:00:00:00:54' for update"));
    auto const called = std::chrono::steady_clock::now();
    auto result = std::async(std::launch::async, [&] {
        Console console(daemon->rpcPort());
        return console->authDevice("cc:00:00:00:00:54", false);
    });
    // Release the row once the daemon's update waits for it and the call's 100 ms are over.
    EXPECT_TRUE(takEventually([&] {
        return db.number("select count(*) from information_schema.processlist where info like "
                         "'update asset_auth_record set authState%'") > 0;
    }));
    std::this_thread::sleep_until(called + 150ms);
    ASSERT_TRUE(holder.exec("commit"));
    EXPECT_TRUE(daemon->waitForLog("Timeout "));
    // The revoke happened, so the console is told it did.
    EXPECT_EQ(result.get(), tak::rpc::notify::ERpcReturnValue::rpcRet_succeed);
    EXPECT_EQ(db.number("select authState from asset_auth_record where macAddr = "
                        "'cc:00:00:00:00:54'"),
              0);
    EXPECT_TRUE(a->waitClosed(3000));
}

TEST_F(ConsoleTest, RevokingAHostClosesEveryConnectionOfIt) {
    auto first = hostInGroup("cc:00:00:00:00:52", "g1");
    auto second = hostInGroup("cc:00:00:00:00:52", "g1");
    auto other = hostInGroup("cc:00:00:00:00:53", "g1");
    Console console(daemon->rpcPort());
    EXPECT_EQ(console->authDevice("cc:00:00:00:00:52", false),
              tak::rpc::notify::ERpcReturnValue::rpcRet_succeed);
    EXPECT_TRUE(first->waitClosed(3000));
    EXPECT_TRUE(second->waitClosed(3000));
    EXPECT_FALSE(other->waitClosed(300));
}

TEST_F(ConsoleTest, ApprovingAHostKeepsItsConnection) {
    auto a = hostInGroup("cc:00:00:00:00:61", "g1");
    ASSERT_TRUE(
        db.exec("update asset_auth_record set authState = 0 where macAddr = "
                "'cc:00:00:00:00:61'"));
    Console console(daemon->rpcPort());
    EXPECT_EQ(console->authDevice("cc:00:00:00:00:61", true),
              tak::rpc::notify::ERpcReturnValue::rpcRet_succeed);
    EXPECT_EQ(db.number("select authState from asset_auth_record where macAddr = "
                        "'cc:00:00:00:00:61'"),
              1);
    EXPECT_FALSE(a->waitClosed(300));
    uint32_t const seq = a->sendRequest(ComDefine::Module_Policy,
                                        ComDefine::policy_lastUploadRecord, "", "takNetDevice");
    MessageData receipt;
    ASSERT_TRUE(a->receive(receipt));
    EXPECT_EQ(receipt.nseqid(), seq);
}

TEST_F(ConsoleTest, UnknownHostCannotBeApprovedOrRevoked) {
    ASSERT_TRUE(
        db.exec("insert into asset_auth_record (id, macAddr, onlineState, authState) "
                "values ('k', 'known', 0, 1)"));
    Console console(daemon->rpcPort());
    EXPECT_EQ(console->authDevice("unknown", true),
              tak::rpc::notify::ERpcReturnValue::rpcRet_authFailed);
    EXPECT_EQ(console->authDevice("unknown", false),
              tak::rpc::notify::ERpcReturnValue::rpcRet_cancelAuthFailed);
    // A MAC that would rewrite the statement matches nothing and changes nothing.
    EXPECT_EQ(console->authDevice("x' OR '1'='1", false),
              tak::rpc::notify::ERpcReturnValue::rpcRet_cancelAuthFailed);
    EXPECT_EQ(db.number("select authState from asset_auth_record where macAddr = 'known'"), 1);
}

TEST_F(ConsoleTest, UnknownMethodIsAnsweredWithAnExceptionAndTheConnectionStaysUsable) {
    Console console(daemon->rpcPort());
    auto& p = console.protocol();
    p.writeMessageBegin("dropAllTables", apache::thrift::protocol::T_CALL, 7);
    p.writeStructBegin("args");
    p.writeFieldBegin("x", apache::thrift::protocol::T_I32, 1);
    p.writeI32(1);
    p.writeFieldEnd();
    p.writeFieldStop();
    p.writeStructEnd();
    p.writeMessageEnd();
    p.getTransport()->flush();
    std::string name;
    apache::thrift::protocol::TMessageType type;
    int32_t seq = 0;
    p.readMessageBegin(name, type, seq);
    EXPECT_EQ(type, apache::thrift::protocol::T_EXCEPTION);
    EXPECT_EQ(seq, 7);
    apache::thrift::TApplicationException error;
    error.read(&p);
    p.readMessageEnd();
    EXPECT_EQ(error.getType(), apache::thrift::TApplicationException::UNKNOWN_METHOD);
    EXPECT_STREQ(error.what(), "Invalid method name: 'dropAllTables'");
    EXPECT_EQ(console->authDevice("unknown", true),
              tak::rpc::notify::ERpcReturnValue::rpcRet_authFailed);
}

TEST_F(ConsoleTest, FiguresHostQueryLatencyAndAPolicyPassToManyAgents) {
    // getDeviceHostInfo round trips against one answering agent.
    auto a = hostInGroup("cc:00:00:00:01:00", "fig");
    std::atomic<bool> stop{false};
    std::thread agentSide([&] {
        Tak::HostInfo::ResourceInfoAsr answer;
        answer.set_ncpurate(5);
        answer.set_ntotalmem(4);
        answer.set_nfreemem(1);
        answer.set_ntotaldisk(4);
        answer.set_nfreedisk(1);
        std::string const bytes = answer.SerializeAsString();
        while (!stop.load()) {
            MessageData query;
            if (a->receiveNonAck(query, 100)) (void)a->sendAnswer(query, bytes);
        }
    });
    constexpr int kCalls = 1000;
    std::vector<double> ms;
    {
        Console console(daemon->rpcPort());
        for (int i = 0; i < kCalls; ++i) {
            tak::rpc::notify::STHostInfo info;
            auto const start = std::chrono::steady_clock::now();
            console->getDeviceHostInfo(info, "cc:00:00:00:01:00");
            ms.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            ASSERT_DOUBLE_EQ(info.fCpuUse, 5);
        }
    }
    stop.store(true);
    agentSide.join();
    std::sort(ms.begin(), ms.end());
    std::cout << "getDeviceHostInfo over " << kCalls << " calls: median " << ms[kCalls / 2]
              << " ms, p99 " << ms[kCalls * 99 / 100] << " ms" << std::endl;
    RecordProperty("hostinfo_median_ms", std::to_string(ms[kCalls / 2]));
    RecordProperty("hostinfo_p99_ms", std::to_string(ms[kCalls * 99 / 100]));

    // One policy pass to 1000 online agents of one group.
    constexpr int kAgents = 1000;
    std::vector<std::unique_ptr<TakAgentClient>> agents(kAgents);
    std::string values;
    for (int i = 0; i < kAgents; ++i) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "fig-%04d", i);
        agents[i] = connectAgent();
        ASSERT_NE(agents[i]->sendDeviceInfo(mac), 0u);
    }
    // Wait for the registrations, then put them all in the group.
    ASSERT_TRUE(takEventually(
        [&] {
            return db.number(
                       "select count(*) from asset_auth_record where macAddr like 'fig-%' "
                       "and onlineState = 1") >= kAgents;
        },
        60s, 50ms))
        << "the 1000 registrations were not all stored";
    ASSERT_TRUE(
        db.exec("update asset_auth_record set group_id = 'many' where macAddr like 'fig-%'"));
    int const p = addPolicy("many", ComDefine::reinforce_SetReforceMode, std::string(256, 'p'));
    Console console(daemon->rpcPort());
    auto const start = std::chrono::steady_clock::now();
    console->notifyPolicy();
    std::atomic<int> received{0};
    std::vector<std::thread> readers;
    auto const deadline = start + 20s;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&, t] {
            for (int i = t; i < kAgents; i += 8) {
                auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) return;
                MessageData push;
                Tak::PolicyNotify::BusinessPolicyDown down;
                if (receivePush(*agents[i], push, down, static_cast<int>(left.count())) &&
                    down.nid() == static_cast<uint32_t>(p)) {
                    ++received;
                }
            }
        });
    }
    for (auto& r : readers) r.join();
    double const passMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(received.load(), kAgents);
    EXPECT_TRUE(waitState(p, 1, 1s));
    std::cout << "policy pass to " << kAgents << " online agents: all pushes received within "
              << passMs << " ms" << std::endl;
    RecordProperty("policy_pass_ms", std::to_string(passMs));
}

}  // namespace
