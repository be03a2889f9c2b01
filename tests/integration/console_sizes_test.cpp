// Console calls that announce more than the service can need, against the built daemon: each is
// refused and its connection closed with a WARN naming the console, and the daemon's peak
// resident memory (VmHWM) stays where it was. Calls within the limits are all answered.
#include <gtest/gtest.h>
#include <thrift/TApplicationException.h>
#include <thrift/protocol/TProtocol.h>

#include <cmath>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "notifyService.h"
#include "support/TakDaemonProcess.h"
#include "support/TakTestAgents.h"
#include "support/TakTestConsole.h"
#include "support/TakTestSocket.h"

using namespace std::chrono_literals;
using apache::thrift::protocol::TType;

namespace {

std::string be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// A strict call header for the method, sequence id 1.
std::string header(const std::string& method) {
    return be32(0x80010001u) + be32(static_cast<uint32_t>(method.size())) + method + be32(1);
}

std::string field(TType type, int16_t id) {
    return {static_cast<char>(type), static_cast<char>(id >> 8), static_cast<char>(id & 0xff)};
}

}  // namespace

TEST(ConsoleSizesTest, AnnouncedSizesBeyondTheLimitsAreRefusedWithoutTheMemory) {
    auto daemon = takStartDaemon();
    ASSERT_TRUE(daemon);
    long const before = daemon->statusField("VmHWM");
    ASSERT_GT(before, 0);
    std::cout << "VmHWM before: " << before << " kB" << std::endl;

    std::string const refused = "console call refused, connection closed:";
    std::string manyFields = header("notifyPolicy");
    for (int i = 0; i < 20; ++i) {
        manyFields +=
            field(apache::thrift::protocol::T_STRING, 9) + be32(60000) + std::string(60000, 'f');
    }
    struct Case {
        const char* name;
        std::string bytes;
        std::string warn;
    };
    const std::vector<Case> cases = {
        // Without a version word the first number is the method name's length.
        {"a method name of 2 GiB", be32(0x7fffffff) + "getDeviceHostInfo", refused},
        {"a MAC of 2 GiB",
         header("getDeviceHostInfo") + field(apache::thrift::protocol::T_STRING, 1) +
             be32(0x7fffffff) + "aa:bb",
         refused},
        {"a MAC of 2 GiB to authDevice",
         header("authDevice") + field(apache::thrift::protocol::T_STRING, 1) + be32(0x7ffffff0) +
             "aa:bb",
         refused},
        {"an unknown string field of 2 GiB",
         header("notifyPolicy") + field(apache::thrift::protocol::T_STRING, 9) + be32(0x7ffffff0) +
             "x",
         refused},
        {"a MAC one byte over 64 KiB",
         header("getDeviceHostInfo") + field(apache::thrift::protocol::T_STRING, 1) + be32(65537) +
             std::string(65537, 'm'),
         refused},
        {"an unknown list of 2^31 numbers",
         header("notifyPolicy") + field(apache::thrift::protocol::T_LIST, 9) +
             static_cast<char>(apache::thrift::protocol::T_I64) + be32(0x7fffffff) +
             std::string(8, '\0'),
         refused},
        {"a call of 1.2 MB in strings of 60 000 bytes", manyFields,
         "console call longer than 1048576 bytes, connection closed:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TakTestSocket hostile;
        ASSERT_TRUE(hostile.connect("127.0.0.1", daemon->rpcPort())) << hostile.error();
        (void)hostile.send(c.bytes);  // the daemon may close before it has taken everything
        EXPECT_TRUE(hostile.waitClosed(10s)) << "the connection is still open";
        EXPECT_TRUE(daemon->waitForLog(c.warn + " " + hostile.peerName() + " "));
        long const peak = daemon->statusField("VmHWM");
        std::cout << c.name << ": VmHWM " << peak << " kB (+" << peak - before << " kB)"
                  << std::endl;
        EXPECT_LT(peak - before, 64 * 1024) << "kB more at the peak";
    }
    RecordProperty("vmhwm_before_kb", std::to_string(before));
    RecordProperty("vmhwm_after_kb", std::to_string(daemon->statusField("VmHWM")));

    TakTestConsole console(daemon->rpcPort());
    console->notifyPolicy();
}

TEST(ConsoleSizesTest, CallsWithinTheLimitsAreAnsweredOnALongLivedConnection) {
    auto daemon = takStartDaemon();
    ASSERT_TRUE(daemon);
    TakTestConsole console(daemon->rpcPort());

    // A MAC of exactly 64 KiB is taken (no host has it: NaN after the second).
    tak::rpc::notify::STHostInfo info;
    console->getDeviceHostInfo(info, std::string(64 * 1024, 'm'));
    EXPECT_TRUE(std::isnan(info.fMemoryUse));

    // Calls of 60 000 bytes each, 1.2 MB on one connection: the limit is per call.
    auto& p = console.protocol();
    for (int32_t seq = 1; seq <= 20; ++seq) {
        SCOPED_TRACE(seq);
        std::string const name(60000, static_cast<char>('a' + seq % 26));
        p.writeMessageBegin(name, apache::thrift::protocol::T_CALL, seq);
        p.writeStructBegin("args");
        p.writeFieldStop();
        p.writeStructEnd();
        p.writeMessageEnd();
        p.getTransport()->flush();
        std::string got;
        apache::thrift::protocol::TMessageType type;
        int32_t gotSeq = 0;
        p.readMessageBegin(got, type, gotSeq);
        ASSERT_EQ(type, apache::thrift::protocol::T_EXCEPTION);
        EXPECT_EQ(gotSeq, seq);
        apache::thrift::TApplicationException error;
        error.read(&p);
        p.readMessageEnd();
        EXPECT_EQ(error.getType(), apache::thrift::TApplicationException::UNKNOWN_METHOD);
    }
    console->notifyPolicy();
    EXPECT_EQ(console->authDevice("unknown", true),
              tak::rpc::notify::ERpcReturnValue::rpcRet_authFailed);
}
