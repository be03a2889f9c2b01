#pragma once

#include <chrono>
#include <memory>
#include <string>

class TakDbConn;

class ITakDbManager {
public:
    virtual ~ITakDbManager() = default;
    // Opens the database connections: 0 on success, 1 when a client handle could not be set up,
    // 2 when the server refused the connection.
    virtual int init() = 0;
    // The connection of a database, or an empty pointer.
    virtual std::shared_ptr<TakDbConn> getDBConn(const std::string& name) = 0;
    // Writes what the connections have queued, until the deadline, and ends their workers.
    // True when everything was written (what was not is logged per table).
    virtual bool shutdown(std::chrono::steady_clock::time_point deadline) = 0;
};
