#pragma once

#include <gtest/gtest.h>

#include "support/TakTestDb.h"

// A fixture for tests against the suite's database: skipped without one, and starting from
// empty device and kernel-log tables, with a connection to each database.
class TakDeviceTablesTest : public ::testing::Test {
protected:
    void SetUp() override;

    TakTestDb sec{"security_dev"};
    TakTestDb audit{"auditEvent_dev"};
};
