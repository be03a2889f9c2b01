#include "support/TakDeviceTablesTest.h"

void TakDeviceTablesTest::SetUp() {
    if (!TakTestDb::available()) GTEST_SKIP() << "TAK_TEST_DB_PORT is not set";
    ASSERT_TRUE(sec.connected()) << sec.error();
    ASSERT_TRUE(audit.connected()) << audit.error();
    ASSERT_TRUE(sec.truncate({"asset_auth_record"})) << sec.error();
    ASSERT_TRUE(audit.truncate({"systemLog_kernelInfo"})) << audit.error();
}
