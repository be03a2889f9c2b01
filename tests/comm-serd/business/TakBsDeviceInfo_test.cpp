#include "comm-serd/business/TakBsDeviceInfo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Tak.Base.pb.h"
#include "comm-serd/db/TakDbConn.h"
#include "support/TakLogCapture.h"

namespace {

Tak::Business::Businessdata deviceInfo(const std::string& mac) {
    Tak::PolicyNotify::DeviceInfoUp info;
    info.set_strmacaddr(mac);
    info.set_strlocalipaddr("10.0.0.1");
    info.set_strhostname("host");
    info.set_strsystemversion("Linux");
    Tak::Business::Businessdata bs;
    bs.set_nmoduletype(Tak::ComDefine::Module_Policy);
    bs.mutable_moduledata()->set_ncommandid(Tak::ComDefine::policy_deviceInfoUp);
    bs.mutable_moduledata()->set_commanddata(info.SerializeAsString());
    return bs;
}

TEST(TakBsDeviceInfoTest, IsHasMacComparesTheLatestReportedMacExactly) {
    struct Case {
        std::vector<std::string> macs;
        bool before;  // no device information yet
        bool after;   // after "AA:bb" was reported
    };
    Case const cases[] = {
        {{}, false, false},        {{""}, true, false},           {{"AA:bb"}, false, true},
        {{"aa:bb"}, false, false}, {{"x", "AA:bb"}, false, true}, {{"AA:bb "}, false, false},
    };
    TakBsDeviceInfo before(7, {}, "127.0.0.1:1", nullptr);
    TakBsDeviceInfo after(8, {}, "127.0.0.1:2", nullptr);
    after.processBs(deviceInfo("AA:bb"));
    for (const Case& c : cases) {
        EXPECT_EQ(before.isHasMac(c.macs), c.before) << testing::PrintToString(c.macs);
        EXPECT_EQ(after.isHasMac(c.macs), c.after) << testing::PrintToString(c.macs);
    }
}

TEST(TakBsDeviceInfoTest, WithoutADatabaseItsWorkIsSkippedAndReportedOnce) {
    TakLogCapture log;
    TakBsDeviceInfo service(9, {}, "127.0.0.1:3", nullptr);
    service.processBs(deviceInfo("aa:01"));
    service.processBs(deviceInfo("aa:02"));
    Tak::Base::MsgError error;
    error.set_nid(4);
    error.set_errmsg("failed");
    service.processErr(error.SerializeAsString());
    service.close();
    EXPECT_EQ(service.mac(), "aa:02");
    EXPECT_EQ(log.count("no connection to database", "security_dev"), 1u);
    EXPECT_EQ(log.count("close bsDeviceInfo"), 1u);
}

TEST(TakBsDeviceInfoTest, DeviceInformationAfterCloseIsDropped) {
    TakLogCapture log;
    TakBsDeviceInfo service(10, {}, "127.0.0.1:4", nullptr);
    service.processBs(deviceInfo("aa:01"));
    service.close();
    service.processBs(deviceInfo("aa:02"));
    EXPECT_EQ(service.mac(), "aa:01");
    EXPECT_EQ(log.count("device information after close dropped:", "aa:02"), 1u);
}

}  // namespace
