#include "comm-serd/business/TakBsAuditInfo.h"

#include <gtest/gtest.h>

#include <string>

#include "comm-serd/business/TakBsDefine.h"
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

TEST(TakBsAuditInfoTest, WithoutADatabaseItsWorkIsSkippedAndReportedOnce) {
    TakLogCapture log;
    TakBsAuditInfo service(5, takAuditTableNames(), nullptr);
    service.processBs(upload(PolicyNotify::auditUpType_secLog));
    service.processBs(upload(PolicyNotify::auditUpType_kernelInfo));
    service.processBs(reset(PolicyNotify::auditUpType_switchInfo));
    EXPECT_EQ(log.count("no connection to database", "auditEvent_dev"), 1u);
}

TEST(TakBsAuditInfoTest, RequestsWithoutTableAreSkippedBeforeAnythingElse) {
    TakLogCapture log;
    TakBsAuditInfo service(6, takAuditTableNames(), nullptr);
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
    TakBsAuditInfo service(7, takAuditTableNames(), nullptr);
    service.close();
    service.processBs(upload(PolicyNotify::auditUpType_kernelInfo));
    service.processBs(reset(PolicyNotify::auditUpType_kernelInfo));
    EXPECT_EQ(log.count("TakBsAuditInfo.cpp:close:"), 1u);
    EXPECT_EQ(log.count("audit request after close dropped"), 2u);
    EXPECT_EQ(log.count("no connection to database"), 0u);
}

}  // namespace
