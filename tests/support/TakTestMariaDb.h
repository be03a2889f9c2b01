#pragma once

#include <string>

// A private MariaDB server of a test's own (scripts/mariadb.sh), for tests that stop and start
// the database: the shared test server is never disturbed. The data folder is kept between
// runs (created on the first start, with the account and the schema loaded at every start).
class TakTestMariaDb {
public:
    // Data under base; the port is chosen now (free at this moment) and kept across restarts.
    // serverOptions are added to the server's command line (e.g. "--max-allowed-packet=1M").
    explicit TakTestMariaDb(std::string base, std::string serverOptions = "");
    // A TCP port on 127.0.0.1 that nothing listens on now (0 if none could be found).
    static unsigned int freePort();
    // A folder next to the shared test server's (TAK_TEST_DB_BASE), or under the build tree.
    static std::string defaultBase(const std::string& name);
    // Stops the server if it runs.
    ~TakTestMariaDb();
    TakTestMariaDb(const TakTestMariaDb&) = delete;
    TakTestMariaDb& operator=(const TakTestMariaDb&) = delete;

    // Starts the server and waits until it answers; false on failure (see output()).
    [[nodiscard]] bool start();
    // Stops the server and waits until it has ended.
    [[nodiscard]] bool stop();
    bool running() const { return m_running; }
    unsigned int port() const { return m_port; }
    const std::string& base() const { return m_base; }
    // What the last script run printed.
    std::string output() const;

private:
    bool script(const std::string& args);

    std::string m_base;
    std::string m_serverOptions;
    unsigned int m_port = 0;
    bool m_running = false;
};
