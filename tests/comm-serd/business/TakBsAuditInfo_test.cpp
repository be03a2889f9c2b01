#include "comm-serd/business/TakBsAuditInfo.h"

#include <gtest/gtest.h>

#include <string>

#include "comm-serd/business/TakBsDefine.h"
#include "comm-serd/db/TakDbConn.h"
#include "support/TakLogCapture.h"

namespace {

namespace PolicyNotify = Tak::PolicyNotify;

Tak::Business::Businessdata upload(PolicyNotify::EAuditUpType type) {
    PolicyNotify::AuditContentUpReq request;
    request.set_ntype(type);
    request.set_strmac("aa:01");
    request.set_bylogdata("");
    Tak::Business::Businessdata bs;
    bs.set_nmoduletype(Tak::ComDefine::Module_Policy);
    bs.mutable_moduledata()->set_ncommandid(Tak::ComDefine::policy_auditUp);
    bs.mutable_moduledata()->set_commanddata(request.SerializeAsString());
    return bs;
}

Tak::Business::Businessdata reset(PolicyNotify::EAuditUpType type) {
    PolicyNotify::AuditLogResetReq request;
    request.set_ntype(type);
    request.set_strmac("aa:01");
    Tak::Business::Businessdata bs;
    bs.set_nmoduletype(Tak::ComDefine::Module_Policy);
    bs.mutable_moduledata()->set_ncommandid(Tak::ComDefine::policy_auditReset);
    bs.mutable_moduledata()->set_commanddata(request.SerializeAsString());
    return bs;
}

// The session's own device, as reported in its device information.
std::shared_ptr<TakReportedMacs> ownMacs() {
    auto macs = std::make_shared<TakReportedMacs>();
    macs->add("aa:01");
    return macs;
}

TEST(TakBsAuditInfoTest, WithoutADatabaseItsWorkIsSkippedAndReportedOnce) {
    TakLogCapture log;
    TakBsAuditInfo service(5, "peer", takAuditTableNames(), nullptr, ownMacs());
    service.processBs(upload(PolicyNotify::auditUpType_secLog));
    service.processBs(upload(PolicyNotify::auditUpType_kernelInfo));
    service.processBs(reset(PolicyNotify::auditUpType_switchInfo));
    EXPECT_EQ(log.count("no connection to database", "auditEvent_dev"), 1u);
}

TEST(TakBsAuditInfoTest, RequestsWithoutTableAreSkippedBeforeAnythingElse) {
    TakLogCapture log;
    TakBsAuditInfo service(6, "peer", takAuditTableNames(), nullptr, ownMacs());
    service.processBs(upload(PolicyNotify::auditUpType_count));
    service.processBs(upload(PolicyNotify::auditUpType_unkonw));
    service.processBs(reset(PolicyNotify::auditUpType_count));
    // A request without its command data has no type either.
    Tak::Business::Businessdata empty;
    empty.mutable_moduledata()->set_ncommandid(Tak::ComDefine::policy_auditUp);
    service.processBs(empty);
    EXPECT_EQ(log.count("audit upload skipped, its type has no table:"), 3u);
    EXPECT_EQ(log.count("audit reset skipped, its type has no table:"), 1u);
    EXPECT_EQ(log.count("no connection to database"), 0u);
}

TEST(TakBsAuditInfoTest, RequestsAfterCloseAreDropped) {
    TakLogCapture log;
    TakBsAuditInfo service(7, "peer", takAuditTableNames(), nullptr, ownMacs());
    service.close();
    service.processBs(upload(PolicyNotify::auditUpType_kernelInfo));
    service.processBs(reset(PolicyNotify::auditUpType_kernelInfo));
    EXPECT_EQ(log.count("TakBsAuditInfo.cpp:close:"), 1u);
    EXPECT_EQ(log.count("audit request after close dropped"), 2u);
    EXPECT_EQ(log.count("no connection to database"), 0u);
}

TEST(TakBsAuditInfoTest, UploadsAndResetsForAnotherDeviceAreDroppedAndNamed) {
    TakLogCapture log;
    auto macs = std::make_shared<TakReportedMacs>();
    TakBsAuditInfo service(8, "10.0.0.9:4711", takAuditTableNames(), nullptr, macs);
    // Nothing reported yet: the session speaks for no device.
    service.processBs(upload(PolicyNotify::auditUpType_kernelInfo));
    service.processBs(reset(PolicyNotify::auditUpType_kernelInfo));
    EXPECT_EQ(log.count("audit upload dropped, the MAC is not this session's device:",
                        "peer: 10.0.0.9:4711  mac: aa:01 "),
              1u);
    EXPECT_EQ(log.count("audit reset dropped, the MAC is not this session's device:"), 1u);
    EXPECT_EQ(log.count("no connection to database"), 0u);
    // Once reported, the same requests go on (here to the missing database).
    macs->add("aa:01");
    service.processBs(reset(PolicyNotify::auditUpType_kernelInfo));
    EXPECT_EQ(log.count("no connection to database"), 1u);
}

}  // namespace
