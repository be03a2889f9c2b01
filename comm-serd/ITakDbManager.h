#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "comm-serd/db/TakStatus.h"

class TakDbConn;

class ITakDbManager {
public:
    virtual ~ITakDbManager() = default;
    // Opens the database connections: Ok when all are open, otherwise the status of the first
    // that failed (Failed: a client handle could not be set up; Refused: the server refused the
    // connection or could not be reached).
    virtual TakStatus init() = 0;
    // The connection of a database, or an empty pointer.
    virtual std::shared_ptr<TakDbConn> getDBConn(const std::string& name) = 0;
    // Writes what the connections have queued, until the deadline, and ends their workers.
    // True when everything was written (what was not is logged per table).
    virtual bool shutdown(std::chrono::steady_clock::time_point deadline) = 0;
};
