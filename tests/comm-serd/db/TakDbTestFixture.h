#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm-serd/db/TakDbConn.h"
#include "support/TakEventually.h"
#include "support/TakLogCapture.h"
#include "support/TakTestDb.h"

// Common ground of the database-layer tests: the shared test server, a scratch table in the
// security database (emptied before each test), and the log records of the test.
class TakDbTestFixture : public ::testing::Test {
protected:
    static constexpr const char* kTable = "db_layer_test";

    void SetUp() override {
        if (!TakTestDb::available()) GTEST_SKIP() << "TAK_TEST_DB_PORT is not set";
        ASSERT_TRUE(m_db.connected()) << m_db.error();
        ASSERT_TRUE(m_db.exec(std::string("CREATE TABLE IF NOT EXISTS ") + kTable +
                              " (id INT AUTO_INCREMENT PRIMARY KEY, k VARCHAR(255) NOT NULL, "
                              "v TEXT NULL, n INT NULL, big BIGINT NULL, b BLOB NULL)"))
            << m_db.error();
        ASSERT_TRUE(m_db.truncate({kTable})) << m_db.error();
        m_log.clear();
    }

    // Connections live until their owner stops them: those of a test end with it.
    void TearDown() override {
        for (auto& conn : m_opened) {
            if (auto c = conn.lock()) (void)c->stop(std::chrono::steady_clock::now());
        }
    }

    // A connection to the shared test server, stopped at the end of the test.
    std::shared_ptr<TakDbConn> open(const std::string& db = g_strSecurityDbName) {
        auto conn = std::make_shared<TakDbConn>(db);
        TakStatus const status = conn->connect(TakTestDb::settings());
        EXPECT_TRUE(status.ok()) << status.toString();
        m_opened.push_back(conn);
        return conn;
    }

    long long rowsWhere(const std::string& where) {
        return m_db.number(std::string("select count(*) from ") + kTable + " where " + where);
    }

    TakLogCapture m_log;
    TakTestDb m_db{"security_dev"};
    std::vector<std::weak_ptr<TakDbConn>> m_opened;
};
