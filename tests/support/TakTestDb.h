#pragma once

#include <mysql.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "comm-serd/TakGlobalInfoManager.h"

// A plain MariaDB client for tests, independent of the daemon's database layer: connects to
// 127.0.0.1 on the test server's port (TAK_TEST_DB_PORT, set by scripts/test.sh) as tak, with
// autocommit on, so that what it writes is visible at once and what it reads is committed data.
class TakTestDb {
public:
    using Row = std::vector<std::optional<std::string>>;  // nullopt = SQL NULL

    // Whether the test server is there (TAK_TEST_DB_PORT set).
    static bool available();
    // TAK_TEST_DB_PORT, or 0.
    static unsigned int testPort();
    // Settings for TakDbConn / TakDbManager that reach the server on port (tak / kertowan582).
    static STDbSettings settings(unsigned int port = testPort());

    explicit TakTestDb(const std::string& database = "security_dev",
                       unsigned int port = testPort());
    ~TakTestDb();
    TakTestDb(const TakTestDb&) = delete;
    TakTestDb& operator=(const TakTestDb&) = delete;

    bool connected() const { return m_connected; }
    // The latest client error text.
    std::string error();
    MYSQL* handle() { return &m_mysql; }

    // Runs a statement (its rows, if any, are read and dropped). false on failure (see error()).
    [[nodiscard]] bool exec(const std::string& sql);
    // First column of the first row; nullopt for no row, NULL or failure.
    std::optional<std::string> scalar(const std::string& sql);
    // The first column of the first row as a number; -1 for no row, NULL or failure.
    long long number(const std::string& sql);
    // All rows, every value as text (byte-exact).
    std::vector<Row> rows(const std::string& sql);
    // Empties the tables; false when one failed.
    [[nodiscard]] bool truncate(std::initializer_list<std::string> tables);
    // value escaped for splicing between single quotes.
    std::string escape(const std::string& value);

private:
    MYSQL m_mysql{};
    bool m_initialised = false;
    bool m_connected = false;
};
