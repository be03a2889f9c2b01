#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"

// The daemon's figures for operators: one registry for the whole process, reached with
// TakMetrics::instance() by the network, session, business and database code (which know
// nothing of how the figures are served). Counters and gauges are relaxed atomics: adding to
// one costs an atomic add and takes no lock. Per-table and per-database figures are looked up
// by name once (under a mutex) and then used through the reference, which stays valid for the
// life of the process.
//
// render() writes every figure in the Prometheus text format; healthProblems() says what keeps
// the daemon from serving (a database that is not connected, a listener that does not listen);
// activity() is what the periodic summary compares.
class TakMetrics {
public:
    struct Counter {
        std::atomic<uint64_t> value{0};
        void add(uint64_t n = 1) { value.fetch_add(n, std::memory_order_relaxed); }
        uint64_t get() const { return value.load(std::memory_order_relaxed); }
    };
    struct Gauge {
        std::atomic<int64_t> value{0};
        void add(int64_t n = 1) { value.fetch_add(n, std::memory_order_relaxed); }
        void sub(int64_t n = 1) { value.fetch_sub(n, std::memory_order_relaxed); }
        void set(int64_t v) { value.store(v, std::memory_order_relaxed); }
        int64_t get() const { return value.load(std::memory_order_relaxed); }
    };

    // Why a line (or record) of an upload was not stored.
    enum ESkip : size_t {
        kSkipBadFirstItem,  // the first item is not a 64-bit decimal number
        kSkipTooFewItems,   // fewer items than the upload's first line
        kSkipTooLarge,      // larger than the server's max_allowed_packet
        kSkipNoItems,       // the upload's first line has no item: every line is skipped
        kSkipReasons
    };

    // Uploads of one table.
    struct STTableFigures {
        Counter uploads;     // uploads taken for storing
        Counter resets;      // resets taken
        Counter rowsStored;  // rows committed
        std::array<Counter, kSkipReasons> linesSkipped;
    };

    // One database connection.
    struct STDbFigures {
        Gauge up;           // 1 while connected
        Gauge queuedTasks;  // tasks waiting for the worker
        Gauge queuedBytes;  // bytes of the tasks queued or running
        Counter reconnects;
        Counter taskReruns;
        Counter tasksDropped;
    };

    // What the periodic summary compares between two looks.
    struct STActivity {
        int64_t sessions = 0;
        int64_t registered = 0;
        uint64_t connections = 0;
        uint64_t uploads = 0;
        uint64_t rowsStored = 0;
        uint64_t linesSkipped = 0;
        uint64_t errors = 0;
        uint64_t warnings = 0;
        int64_t queuedTasks = 0;
    };

    static TakMetrics& instance();

    // ---- sessions (network and session layers) ----
    Gauge sessionsConnected;     // agent connections in the registry
    Gauge sessionsKeyExchanged;  // ... whose key exchange is done
    Gauge sessionsRegistered;    // ... whose device is registered and admitted
    Counter connectionsAccepted;
    Counter handshakes;  // key exchanges completed
    Counter handshakeTimeouts;
    Counter handshakeBadAnswers;  // key answers that could not be taken
    Counter keyOffersFailed;      // key offers that could not be made (the server key)
    Counter framesIn;
    Counter framesOut;
    Counter bytesIn;
    Counter bytesOut;
    Counter framesTooLarge;
    Counter framesUndecryptable;

    // ---- device registration and uploads (business layer) ----
    Counter registrationsAdmitted;
    Counter registrationsRevoked;    // refused: the console revoked the device
    Counter registrationsOverLimit;  // refused: [Limits] DeviceLimit reached
    Counter uploadsForeignMac;       // dropped: the MAC is not the session's device
    Counter uploadsUnknownType;      // dropped: the type has no table
    Counter uploadsNoDatabase;       // dropped: no connection to the database

    // ---- policies and host queries ----
    Counter policyPasses;
    Counter policyRowsSent;       // sent to at least one session
    Counter policyRowsNoSession;  // the group's hosts have no session here: handed out unsent
    Counter policyRowsNoHost;     // no host in the group: left pending
    Counter policyRowsInvalid;    // NULL fields or an invalid dataType
    Counter policyAgentErrors;    // errors agents reported for pushed policies
    Counter hostQueries;
    Counter hostQueryTimeouts;

    // ---- listeners ----
    Gauge agentListenerUp;
    Gauge consoleListenerUp;

    // The figures of a table or a database connection, made on first use.
    STTableFigures& table(const std::string& name);
    STDbFigures& database(const std::string& name);

    // Every figure, in the Prometheus text format.
    std::string render();
    // What keeps the daemon from serving: each database of the list not connected, a listener
    // not listening. Empty when it serves.
    std::vector<std::string> healthProblems(const std::vector<std::string>& databases);
    STActivity activity();

    TakMetrics(const TakMetrics&) = delete;
    TakMetrics& operator=(const TakMetrics&) = delete;

private:
    TakMetrics();

    const std::chrono::system_clock::time_point m_start;
    TakMutex m_mutex;  // guards the maps (not the figures)
    std::map<std::string, std::unique_ptr<STTableFigures>> m_tables TAK_GUARDED_BY(m_mutex);
    std::map<std::string, std::unique_ptr<STDbFigures>> m_databases TAK_GUARDED_BY(m_mutex);
};
