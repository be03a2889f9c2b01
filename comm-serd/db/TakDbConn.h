#pragma once

#include <mysql.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/TakMetrics.h"
#include "comm-serd/db/TakDbDefine.h"
#include "comm-serd/db/TakStatus.h"

class TakDbResult;

// What a queued task stores: a label (its table, for the logs) and the size of the data it
// carries (for the bound on queued bytes).
struct STDbTaskInfo {
    std::string label;
    uint64_t bytes = 0;
};

// One MySQL connection to one database, with its own worker thread and task queue.
//
// Create it with std::make_shared<TakDbConn>(name), then connect() (or start()). Business code
// either queues a task on the worker (processReq), or runs a statement directly on its own
// thread (executeQuery, executeUpdate, a TakDbPreStatement made on it), or runs a closure there
// under the handle lock and learns whether it kept to a time limit (sycProcessReq).
//
// Life: the worker holds a reference to its connection until it ends, so a connection always
// outlives its worker, whoever lets go of it and on whichever thread. The worker ends only in
// stop(), which the owner (TakDbManager) calls: it writes what is queued, up to a deadline.
//
// Transactions: autocommit is off. executeQuery and executeUpdate commit after their
// statement; a TakDbPreStatement commits when it is destroyed (or by its commit()).
//
// Handle lock (m_dbMutex, recursive): every use of the client handle holds it. The worker holds
// it for the whole of each task; executeQuery and executeUpdate take it; sycProcessReq holds it
// for its whole closure; a TakDbPreStatement made on this connection holds it from init() to its
// destruction. So the handle is never used by two threads at once.
// m_taskMutex guards the queue only; no path holds it together with m_dbMutex. Lock order with
// the rest of the server: m_dbMutex before the session registry lock (host authorization).
//
// Lost connections. When a statement fails because the connection is gone (the server stopped,
// restarted or dropped it), the loss is logged once and the connection is reopened (character
// set and autocommit off again; the handle keeps its address):
// - A worker task: its later statements fail at once without touching the server; when the
//   task returns, the worker rolls back, waits for the server with back-off (without holding the
//   handle lock) and runs the task again from its start. Queued tasks wait likewise. Nothing
//   queued is dropped while the server is away.
//   For the rerun to be exact a task must be idempotent up to its commit: everything it changes
//   in the database becomes durable at one commit at its end (a TakDbPreStatement's destruction
//   or commit(), or an executeUpdate), and what it does outside the database may happen twice.
//   A task that commits more than once cannot be replayed exactly: its rerun repeats the changes
//   committed before the loss (a WARN record says so).
//   A task makes its statements when it runs, never when it is queued.
//   A task is run at most kMaxTaskAttempts times: one that loses the connection every time (it
//   is what brings the connection down) is then logged at ERROR with its label and size and
//   dropped, so that it cannot stall the queue behind it. A task during which the server refused
//   a packet as too large (ER_NET_PACKET_TOO_LARGE: the server then drops the connection) is not
//   run again: it would be refused again. Callers keep their data below maxAllowedPacket().
// - A direct call (executeQuery / executeUpdate on any other thread, including a sycProcessReq
//   closure, and a TakDbPreStatement outside a worker task): tries one reconnect and runs its
//   statement once more; if that fails it logs and fails as usual (empty result, a status that
//   is not ok). So no caller blocks for long.
// The loss and the recovery are logged once each, not once per statement.
//
// A connection whose first connect failed (server down at start-up) keeps connecting in the
// background; it needs no restart once the server is up. An idle worker pings the server every
// kPingInterval, so that a server that went away is noticed (and reconnected to) without a
// statement failing first.
//
// Figures: TakMetrics::database(name) holds whether the connection is up, the queued tasks and
// bytes, the reconnects, the reruns and the dropped tasks.
//
// Queued bytes: the bytes of the tasks queued and running (STDbTaskInfo::bytes) are counted.
// Nothing is ever refused for them; callers that produce the data (agent uploads) ask
// overQueuedLimit() and stop reading from their peer until whenBelowQueuedLimit() calls back.
//
// What a task may do: run executeQuery / executeUpdate and TakDbPreStatements on its connection
// (all under the handle lock the worker holds), queue more tasks, and touch other objects under
// their own locks (the session registry after the handle lock, never the other way round). It
// must not wait for anything that needs this connection's worker, keep a TakDbPreStatement
// beyond its own end, or call stop().
//
// Statuses (TakStatus): NotConnected when the server is away or the connection was lost during
// the call, Refused when the server refused the connection or the statement, TimedOut when
// sycProcessReq's closure outlasted its time, Failed for anything on our side. Failures are
// logged here as well; the status is for the caller to decide what follows.
//
// Escaping: every value from an agent or the console that is spliced between single quotes into
// a statement goes through escapeString() of the connection that runs it:
//   conn->executeQuery("select * from asset_auth_record where macAddr = '" +
//                      conn->escapeString(mac) + "'");
class TakDbConn : public std::enable_shared_from_this<TakDbConn> {
public:
    using Clock = std::chrono::steady_clock;
    // How often one task is run when it loses the connection each time.
    static constexpr int kMaxTaskAttempts = 3;
    // How long the worker stays idle before it pings the server.
    static constexpr std::chrono::milliseconds kPingInterval{2000};

    explicit TakDbConn(std::string dbName, std::string charset = g_strDbCharset);
    // Closes the handle. A worker still running (only a connection that no shared_ptr owned)
    // is stopped first, dropping what is queued.
    virtual ~TakDbConn();
    TakDbConn(const TakDbConn&) = delete;
    TakDbConn& operator=(const TakDbConn&) = delete;

    // Opens the connection now and starts the worker. Ok when connected; Failed when the client
    // handle could not be set up or the character set was refused; Refused when the server
    // refused the connection or could not be reached (logged). On failure the worker still
    // starts and keeps connecting in the background. The connection must be owned by a
    // shared_ptr.
    TakStatus connect(const STDbSettings& settings);
    // Starts the worker, which connects in the background.
    void start(const STDbSettings& settings);
    // Ends the worker: it runs what is queued (waiting for the server if it is away) until the
    // queue is empty or the deadline has passed, finishes the task it is running, and ends.
    // What was not written is logged at ERROR, counted per label, and dropped. Returns true
    // when everything queued was written. Any thread but the worker's; tasks queued after the
    // worker has ended are logged and dropped.
    bool stop(Clock::time_point deadline);
    // The first half of stop(): tells the worker to write what is queued until the deadline and
    // end, without waiting for it. stop() then waits. Lets an owner drain several connections
    // at the same time from one thread.
    void requestStop(Clock::time_point deadline);

    // Queues a task under a caller-chosen id. Never blocks on the database. Tasks of one
    // connection run one at a time, in the order queued.
    void processReq(uint64_t id, const std::function<void()>&& task);
    void processReq(uint64_t id, STDbTaskInfo info, std::function<void()> task);
    // Drops every queued task with this id; a task already running runs to its end.
    void stopTaskById(uint64_t id);
    // Runs task on the calling thread, holding the handle lock (waiting for it first, while the
    // worker or another caller has it), and tells whether it was done within timeout ms: Ok, or
    // TimedOut when waiting and running took longer. The task has always ended on return.
    // From a task of this connection (whose worker holds the lock already) it runs at once.
    TakStatus sycProcessReq(const std::function<void()>&& task, int timeout);

    // Runs a statement that yields rows, then commits. Empty pointer on any failure (logged).
    std::shared_ptr<TakDbResult> executeQuery(std::string sql);
    // Runs a statement that yields no rows, then commits. Ok, with the number of rows it
    // changed in *changed when given; otherwise what failed (logged).
    TakStatus executeUpdate(std::string sql, uint64_t* changed = nullptr);

    // value escaped for splicing between single quotes into a statement of this connection
    // (mysql_real_escape_string with the connection's character set). Works while the
    // connection is down and never waits for the handle lock.
    std::string escapeString(const std::string& value);

    // Whether the connection is open (as far as the last statement knows).
    bool isConnected() const { return m_connected.load(); }
    // The status of a failed call on the handle, from the client's error number and text:
    // NotConnected for a lost connection, Refused for an error of the server's, else Failed.
    static TakStatus statusOf(unsigned int err, const std::string& error);
    size_t queuedTaskCount();
    // The server's max_allowed_packet, read at every connect: no statement or prepared
    // execution larger than this reaches the server. 0 until known.
    uint64_t maxAllowedPacket() const { return m_maxAllowedPacket.load(); }

    // The bound on queued bytes (no bound until set).
    void setMaxQueuedBytes(uint64_t bytes) { m_maxQueuedBytes.store(bytes); }
    uint64_t queuedBytes() const { return m_queuedBytes.load(); }
    bool overQueuedLimit() const { return m_queuedBytes.load() >= m_maxQueuedBytes.load(); }
    // Calls fn once the queued bytes are below the bound: at once on this thread when they are,
    // otherwise later on the thread that brings them below (the worker, or a caller of
    // stopTaskById or stop). fn must be quick and must not call into this connection.
    void whenBelowQueuedLimit(std::function<void()> fn);

private:
    friend class TakDbPreStatement;

    struct Task {
        uint64_t id = 0;
        STDbTaskInfo info;
        std::function<void()> fn;
    };
    enum class EGate { Run, Quiet, Down };
    enum class EAfterFailure { Report, Retry, Quiet };
    enum class ETaskOutcome { Done, Dropped, NotRun };

    // All of these require m_dbMutex held.
    // (Re)opens the handle: Ok, Failed or Refused as connect(), with the client's error text.
    TakStatus openHandle(bool* charsetRefused);
    // One reconnect attempt; logs the recovery on success.
    bool reconnectLocked();
    // The connection is gone: log it (once per loss) and, inside a worker task, mark the task.
    void markLost(const char* error);
    // Before a statement. Inside a worker task: Quiet (fail without logging) when the
    // connection is already known to be gone. Elsewhere a gone connection is reopened first
    // (one attempt, recorded in *reconnected): Down when that failed.
    EGate beforeStatement(bool* reconnected);
    // After a failed statement with client error err: retry it (a direct call whose connection
    // was just reopened), fail quietly (a worker task that will be rerun) or report it.
    EAfterFailure afterFailure(unsigned int err, const char* error, bool* reconnected);
    // Before a direct statement: Ok when it may run; NotConnected for a lost task's statement,
    // or while the server is still down (logged as a failed query of sql).
    TakStatus gateOpen(bool* reconnected, const std::string& sql);
    // The call on the handle that failed.
    enum class ECall { Query, StoreResult, Commit };
    // After a failed call on the handle: what to do next; logs the call's failure with the
    // error and sql at ERROR when the failure is to be reported. *status receives the failure.
    EAfterFailure failed(ECall call, const std::string& sql, bool* reconnected, TakStatus* status);
    void noteCommit();
    bool inTask() const;
    // The connection whose task this thread runs, or null.
    static TakDbConn* currentTaskConn();
    // The client's latest error text.
    std::string lastError();
    // Reads the server's max_allowed_packet on a fresh connection.
    void readMaxAllowedPacket();
    // A statement of this many bytes failed: when it was larger than the server takes, the
    // running task is marked as refused (the server may have dropped the connection before
    // its error reached us, so the error code alone does not tell).
    void noteFailedPacket(uint64_t bytes);

    static bool isLossError(unsigned int err);
    static bool isPacketTooLarge(unsigned int err);

    void startWorker();
    void run(std::shared_ptr<TakDbConn> self);
    // Runs one task to its end (waiting for the server, rerunning after a loss). NotRun when
    // the stop deadline passed while waiting for the server.
    ETaskOutcome runTask(Task& task);
    // Waits up to delay for a stop; true when the stop deadline has passed.
    bool stopDeadlinePassed(std::chrono::milliseconds delay);
    // Idle worker: one background reconnect attempt when it is due, or a ping when the
    // connection has been idle for kPingInterval.
    void backgroundReconnect();
    void pingIfIdle();
    // Copies the queue's figures into m_figures; requires: m_taskMutex held.
    void publishQueue();
    // Takes bytes off the queued count and calls the waiters once below the bound.
    void releaseBytes(uint64_t bytes);
    // Logs the tasks that were not written at stop, counted per label.
    void reportNotWritten(const std::deque<Task>& tasks);

    std::thread m_thread;
    std::deque<Task> m_tasks;  // guarded by m_taskMutex
    std::atomic<bool> m_running{false};
    std::condition_variable m_cond;  // waits on m_taskMutex
    std::recursive_mutex m_dbMutex;  // the handle lock
    std::mutex m_taskMutex;
    MYSQL* m_mysql = nullptr;  // guarded by m_dbMutex; &m_handle once initialised
    std::string m_dbName;

    const std::string m_charset;
    STDbSettings m_settings;                // guarded by m_dbMutex
    MYSQL m_handle{};                       // guarded by m_dbMutex
    std::atomic<bool> m_connected{false};   // written under m_dbMutex
    std::atomic<uint64_t> m_generation{0};  // successful connects so far; written under m_dbMutex
    std::atomic<uint64_t> m_maxAllowedPacket{0};  // written under m_dbMutex
    bool m_taskLost = false;                      // guarded by m_dbMutex: the running task lost it
    bool m_taskRefused = false;   // guarded by m_dbMutex: the server refused a packet of the task
    int m_taskCommits = 0;        // guarded by m_dbMutex: commits of the running task
    bool m_lossReported = false;  // guarded by m_dbMutex: a loss or failed connect was logged
    std::chrono::steady_clock::time_point m_lostSince;  // guarded by m_dbMutex

    // Stopping; guarded by m_taskMutex.
    bool m_stopping = false;
    bool m_workerEnded = false;
    Clock::time_point m_stopDeadline;

    // Queued bytes; m_queuedBytes changes under m_taskMutex.
    std::atomic<uint64_t> m_queuedBytes{0};
    std::atomic<uint64_t> m_maxQueuedBytes{UINT64_MAX};
    std::vector<std::function<void()>> m_belowLimitWaiters;  // guarded by m_taskMutex

    // Worker-only back-off and ping state.
    std::chrono::milliseconds m_backoff{0};
    std::chrono::steady_clock::time_point m_nextAttempt;
    std::chrono::steady_clock::time_point m_nextPing;

    TakMetrics::STDbFigures& m_figures;

    // A handle that never connects, used only for escaping (so that escaping needs neither the
    // handle lock nor an open connection).
    std::mutex m_escapeMutex;
    MYSQL m_escapeHandle{};      // guarded by m_escapeMutex
    bool m_escapeReady = false;  // guarded by m_escapeMutex
};
