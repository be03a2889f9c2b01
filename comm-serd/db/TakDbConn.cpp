#include "comm-serd/db/TakDbConn.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string_view>
#include <system_error>
#include <vector>

#include "comm-serd/TakSyncPoint.h"
#include "comm-serd/db/TakDbResult.h"
#include "log/TakNanolog.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdleWait = std::chrono::milliseconds(100);
constexpr auto kFirstBackoff = std::chrono::milliseconds(100);
constexpr auto kMaxBackoff = std::chrono::milliseconds(1000);
constexpr unsigned int kConnectTimeoutSec = 3;

// The connection whose task this thread is running (set by the worker around each task).
thread_local TakDbConn* t_taskConn = nullptr;

std::string errorText(MYSQL* mysql) {
    const char* text = mysql ? mysql_error(mysql) : nullptr;
    return text ? std::string(text) : std::string();
}

}  // namespace

TakDbConn::TakDbConn(std::string dbName, std::string charset)
    : m_dbName(std::move(dbName)),
      m_charset(std::move(charset)),
      m_figures(TakMetrics::instance().database(m_dbName)) {
    std::lock_guard<std::mutex> lock(m_escapeMutex);
    if (mysql_init(&m_escapeHandle) != nullptr) {
        // Escape as the live connection does: same character set (see openHandle for the
        // NO_BACKSLASH_ESCAPES mode).
        if (const MARIADB_CHARSET_INFO* cs = mariadb_get_charset_by_name(m_charset.c_str())) {
            m_escapeHandle.charset = cs;
        }
        m_escapeReady = true;
    }
}

TakDbConn::~TakDbConn() {
    TAK_LOG_DEBUG("dbconn is break");
    // The worker holds a reference until it ends: a worker that still runs here belongs to a
    // connection that no shared_ptr owned.
    if (m_thread.joinable()) (void)stop(Clock::now());
    if (m_mysql) mysql_close(m_mysql);
    {
        std::lock_guard<std::mutex> lock(m_escapeMutex);
        if (m_escapeReady) mysql_close(&m_escapeHandle);
    }
}

// ---- opening ------------------------------------------------------------------------------

TakStatus TakDbConn::connect(const STDbSettings& settings) {
    TakStatus status;
    bool charsetRefused = false;
    {
        std::lock_guard<std::recursive_mutex> lock(m_dbMutex);
        m_settings = settings;
        status = openHandle(&charsetRefused);
        if (!status.ok() && !m_lossReported) {
            m_lossReported = true;  // the first success logs the recovery
            m_lostSince = Clock::now();
        }
    }
    if (charsetRefused) {
        std::fprintf(stderr, "Failed to set character set: %s\n", status.message().c_str());
    } else if (status.code() == TakStatus::ECode::Failed) {
        TAK_LOG_ERROR("mysql_init failed");
    } else if (!status.ok()) {
        TAK_LOG_ERROR("mysql_real_connect failed: " << status.message());
    }
    startWorker();
    return status;
}

void TakDbConn::start(const STDbSettings& settings) {
    {
        std::lock_guard<std::recursive_mutex> lock(m_dbMutex);
        m_settings = settings;
    }
    startWorker();
}

TakStatus TakDbConn::openHandle(bool* charsetRefused) {
    m_connected = false;
    m_figures.up.set(0);
    if (m_mysql) {
        mysql_close(m_mysql);
        m_mysql = nullptr;
    }
    if (mysql_init(&m_handle) == nullptr) return TakStatus::failed("mysql_init failed");
    m_mysql = &m_handle;
    unsigned int timeout = kConnectTimeoutSec;
    mysql_options(m_mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    // This client library refuses mysql_set_character_set before connecting; the option is
    // the way to give the character set.
    if (mysql_options(m_mysql, MYSQL_SET_CHARSET_NAME, m_charset.c_str()) != 0) {
        std::string error = errorText(m_mysql);
        *charsetRefused = true;
        mysql_close(m_mysql);
        m_mysql = nullptr;
        return TakStatus::failed(std::move(error));
    }
    const STDbSettings& s = m_settings;
    if (mysql_real_connect(m_mysql, s.host.c_str(), s.user.c_str(), s.password.c_str(),
                           m_dbName.c_str(), s.port, nullptr, 0) == nullptr) {
        std::string error = errorText(m_mysql);
        if (mysql_errno(m_mysql) == CR_CANT_READ_CHARSET) {
            *charsetRefused = true;
            mysql_close(m_mysql);
            m_mysql = nullptr;
            return TakStatus::failed(std::move(error));
        }
        return TakStatus::refused(std::move(error));
    }
    if (mysql_autocommit(m_mysql, 0) != 0) {
        std::string error = errorText(m_mysql);
        // Never leave a session with autocommit on: start over with a fresh, closed handle.
        mysql_close(m_mysql);
        m_mysql = mysql_init(&m_handle);
        return TakStatus::refused(std::move(error));
    }
    bool const noBackslashEscapes =
        (m_mysql->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) != 0;
    {
        std::lock_guard<std::mutex> lock(m_escapeMutex);
        if (m_escapeReady) {
            if (noBackslashEscapes) {
                m_escapeHandle.server_status |= SERVER_STATUS_NO_BACKSLASH_ESCAPES;
            } else {
                m_escapeHandle.server_status &= ~SERVER_STATUS_NO_BACKSLASH_ESCAPES;
            }
        }
    }
    readMaxAllowedPacket();
    ++m_generation;
    m_connected = true;
    m_figures.up.set(1);
    return TakStatus::success();
}

void TakDbConn::readMaxAllowedPacket() {
    static constexpr std::string_view kQuery = "select @@max_allowed_packet";
    uint64_t value = 0;
    if (mysql_real_query(m_mysql, kQuery.data(), kQuery.size()) == 0) {
        if (MYSQL_RES* res = mysql_store_result(m_mysql)) {
            MYSQL_ROW row = mysql_fetch_row(res);
            if (row != nullptr && row[0] != nullptr) value = std::strtoull(row[0], nullptr, 10);
            mysql_free_result(res);
        }
    }
    // A failure here shows again with the first statement; the bound then stays unknown.
    m_maxAllowedPacket = value;
}

bool TakDbConn::reconnectLocked() {
    bool charsetRefused = false;
    if (!openHandle(&charsetRefused).ok()) return false;
    if (m_lossReported) {
        m_lossReported = false;
        m_figures.reconnects.add();
        auto const ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_lostSince);
        TAK_LOG_INFO("database connection back:" << m_dbName << "after ms:"
                                                 << static_cast<int64_t>(ms.count()));
    } else if (m_generation.load() == 1) {
        TAK_LOG_INFO("database connection open:" << m_dbName);
    }
    return true;
}

// ---- failures -----------------------------------------------------------------------------

bool TakDbConn::isLossError(unsigned int err) {
    switch (err) {
        case CR_CONNECTION_ERROR:
        case CR_CONN_HOST_ERROR:
        case CR_SERVER_GONE_ERROR:
        case CR_SERVER_LOST:
        case CR_SERVER_LOST_EXTENDED:
        case ER_SERVER_SHUTDOWN:
        case ER_CONNECTION_KILLED:
            return true;
        default:
            return false;
    }
}

bool TakDbConn::isPacketTooLarge(unsigned int err) {
    return err == ER_NET_PACKET_TOO_LARGE || err == CR_NET_PACKET_TOO_LARGE;
}

TakStatus TakDbConn::statusOf(unsigned int err, const std::string& error) {
    if (isLossError(err)) return TakStatus::notConnected(error);
    // Server errors are numbered below the client's (CR_MIN_ERROR); 0 is no error number at all.
    if ((err != 0 && err < CR_MIN_ERROR) || isPacketTooLarge(err)) return TakStatus::refused(error);
    return TakStatus::failed(error);
}

bool TakDbConn::inTask() const { return t_taskConn == this; }

TakDbConn* TakDbConn::currentTaskConn() { return t_taskConn; }

void TakDbConn::markLost(const char* error) {
    m_connected = false;
    m_figures.up.set(0);
    if (inTask()) m_taskLost = true;
    if (m_lossReported) return;
    m_lossReported = true;
    m_lostSince = Clock::now();
    TAK_LOG_WARN("database connection lost:" << m_dbName << std::string(error ? error : ""));
}

TakDbConn::EGate TakDbConn::beforeStatement(bool* reconnected) {
    if (inTask()) {
        if (m_taskLost || !m_connected) {
            m_taskLost = true;
            return EGate::Quiet;
        }
        return EGate::Run;
    }
    if (!m_connected) {
        *reconnected = true;
        if (!reconnectLocked()) return EGate::Down;
    }
    return EGate::Run;
}

TakDbConn::EAfterFailure TakDbConn::afterFailure(unsigned int err, const char* error,
                                                 bool* reconnected) {
    // The server refuses the statement and, for a packet too large, drops the connection: that
    // is no outage, and a rerun of the task would be refused again.
    if (isPacketTooLarge(err) && inTask()) m_taskRefused = true;
    if (!isLossError(err)) return EAfterFailure::Report;
    markLost(error);
    if (inTask()) return EAfterFailure::Quiet;
    if (*reconnected) return EAfterFailure::Report;
    *reconnected = true;
    return reconnectLocked() ? EAfterFailure::Retry : EAfterFailure::Report;
}

TakStatus TakDbConn::gateOpen(bool* reconnected, const std::string& sql) {
    switch (beforeStatement(reconnected)) {
        case EGate::Quiet:
            return TakStatus::notConnected("the connection was lost during the task");
        case EGate::Down: {
            std::string error = lastError();
            TAK_LOG_ERROR("mysql_real_query failed: %s, sql: " << error << sql);
            return TakStatus::notConnected(std::move(error));
        }
        case EGate::Run:
            break;
    }
    return TakStatus::success();
}

void TakDbConn::noteFailedPacket(uint64_t bytes) {
    uint64_t const max = m_maxAllowedPacket.load();
    if (inTask() && max != 0 && bytes > max) m_taskRefused = true;
}

TakDbConn::EAfterFailure TakDbConn::failed(ECall call, const std::string& sql, bool* reconnected,
                                           TakStatus* status) {
    noteFailedPacket(sql.size());
    std::string const error = errorText(m_mysql);
    unsigned int const err = mysql_errno(m_mysql);
    *status = statusOf(err, error);
    auto const next = afterFailure(err, error.c_str(), reconnected);
    if (next != EAfterFailure::Report) return next;
    switch (call) {
        case ECall::Query:
            TAK_LOG_ERROR("mysql_real_query failed: %s, sql: " << error << sql);
            break;
        case ECall::StoreResult:
            TAK_LOG_ERROR("mysql_store_result failed:" << error << sql);
            break;
        case ECall::Commit:
            TAK_LOG_ERROR("mysql_commit failed: " << error << sql);
            break;
    }
    return next;
}

std::string TakDbConn::lastError() {
    return m_mysql ? errorText(m_mysql) : std::string("no connection handle");
}

void TakDbConn::noteCommit() {
    if (inTask()) ++m_taskCommits;
}

// ---- direct statements --------------------------------------------------------------------

std::shared_ptr<TakDbResult> TakDbConn::executeQuery(std::string sql) {
    std::lock_guard<std::recursive_mutex> lock(m_dbMutex);
    bool reconnected = false;
    if (!gateOpen(&reconnected, sql).ok()) return nullptr;
    TakStatus status;
    for (;;) {
        if (mysql_real_query(m_mysql, sql.data(), sql.size()) != 0) {
            if (failed(ECall::Query, sql, &reconnected, &status) == EAfterFailure::Retry) continue;
            return nullptr;
        }
        MYSQL_RES* res = mysql_store_result(m_mysql);
        if (res == nullptr && mysql_errno(m_mysql) != 0) {
            // The rows could not be read.
            if (failed(ECall::StoreResult, sql, &reconnected, &status) == EAfterFailure::Retry)
                continue;
            return nullptr;
        }
        auto result = std::make_shared<TakDbResult>(res);
        // Commit after the rows are read: this ends the transaction the query opened, so the
        // next query sees what other connections committed meanwhile.
        if (mysql_commit(m_mysql) != 0) {
            std::string const error = errorText(m_mysql);
            if (isLossError(mysql_errno(m_mysql))) {
                markLost(error.c_str());
            } else {
                TAK_LOG_ERROR("mysql_commit failed: " << error << sql);
            }
        }
        if (res == nullptr) {
            TAK_LOG_ERROR("mysql_store_result failed:" << errorText(m_mysql) << sql);
            return nullptr;
        }
        return result;
    }
}

TakStatus TakDbConn::executeUpdate(std::string sql, uint64_t* changed) {
    std::lock_guard<std::recursive_mutex> lock(m_dbMutex);
    bool reconnected = false;
    if (TakStatus gate = gateOpen(&reconnected, sql); !gate.ok()) return gate;
    TakStatus status;
    for (;;) {
        if (mysql_real_query(m_mysql, sql.data(), sql.size()) != 0) {
            if (failed(ECall::Query, sql, &reconnected, &status) == EAfterFailure::Retry) continue;
            return status;
        }
        // A statement that yields rows after all: read them, or the handle stays out of step.
        if (mysql_field_count(m_mysql) != 0) mysql_free_result(mysql_store_result(m_mysql));
        my_ulonglong const affected = mysql_affected_rows(m_mysql);
        if (mysql_commit(m_mysql) != 0) {
            if (failed(ECall::Commit, sql, &reconnected, &status) == EAfterFailure::Retry) continue;
            return status;
        }
        noteCommit();
        if (changed) {
            *changed =
                affected == static_cast<my_ulonglong>(-1) ? 0 : static_cast<uint64_t>(affected);
        }
        return TakStatus::success();
    }
}

std::string TakDbConn::escapeString(const std::string& value) {
    std::string out(value.size() * 2 + 1, '\0');
    unsigned long length = 0;
    {
        std::lock_guard<std::mutex> lock(m_escapeMutex);
        if (m_escapeReady) {
            length = mysql_real_escape_string(&m_escapeHandle, out.data(), value.data(),
                                              static_cast<unsigned long>(value.size()));
        } else {
            length = mysql_escape_string(out.data(), value.data(),
                                         static_cast<unsigned long>(value.size()));
        }
    }
    out.resize(std::min<size_t>(length, out.size()));
    return out;
}

// ---- the task queue -----------------------------------------------------------------------

void TakDbConn::processReq(uint64_t id, const std::function<void()>&& task) {
    processReq(id, STDbTaskInfo{}, task);
}

void TakDbConn::processReq(uint64_t id, STDbTaskInfo info, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(m_taskMutex);
        if (!m_workerEnded) {
            m_queuedBytes += info.bytes;
            m_tasks.push_back(Task{id, std::move(info), std::move(task)});
            task = nullptr;
            publishQueue();
        }
    }
    if (task) {
        m_figures.tasksDropped.add();
        TAK_LOG_ERROR("db task after stop not written:" << m_dbName << info.label
                                                        << "bytes:" << info.bytes);
        return;
    }
    m_cond.notify_one();
}

void TakDbConn::stopTaskById(uint64_t id) {
    std::vector<Task> dropped;  // destroyed after the lock is released
    uint64_t bytes = 0;
    {
        std::lock_guard<std::mutex> lock(m_taskMutex);
        for (auto it = m_tasks.begin(); it != m_tasks.end();) {
            if (it->id == id) {
                bytes += it->info.bytes;
                dropped.push_back(std::move(*it));
                it = m_tasks.erase(it);
            } else {
                ++it;
            }
        }
        publishQueue();
    }
    if (bytes != 0) releaseBytes(bytes);
    m_cond.notify_one();
}

void TakDbConn::publishQueue() {
    m_figures.queuedTasks.set(static_cast<int64_t>(m_tasks.size()));
    m_figures.queuedBytes.set(static_cast<int64_t>(m_queuedBytes.load()));
}

size_t TakDbConn::queuedTaskCount() {
    std::lock_guard<std::mutex> lock(m_taskMutex);
    return m_tasks.size();
}

void TakDbConn::whenBelowQueuedLimit(std::function<void()> fn) {
    if (!fn) return;
    {
        std::lock_guard<std::mutex> lock(m_taskMutex);
        if (m_queuedBytes.load() >= m_maxQueuedBytes.load()) {
            m_belowLimitWaiters.push_back(std::move(fn));
            return;
        }
    }
    fn();
}

void TakDbConn::releaseBytes(uint64_t bytes) {
    std::vector<std::function<void()>> waiters;
    {
        std::lock_guard<std::mutex> lock(m_taskMutex);
        m_queuedBytes -= std::min(bytes, m_queuedBytes.load());
        publishQueue();
        if (m_queuedBytes.load() < m_maxQueuedBytes.load()) waiters.swap(m_belowLimitWaiters);
    }
    for (auto& waiter : waiters) waiter();
}

TakStatus TakDbConn::sycProcessReq(const std::function<void()>&& task, int timeout) {
    // The caller runs the closure itself: it would wait for it to end in any case (the closure
    // may refer to its locals), so a thread of its own would only hold the handle lock for it.
    auto const start = Clock::now();
    {
        // Recursive: from one of this connection's tasks the worker holds it already.
        std::lock_guard<std::recursive_mutex> lock(m_dbMutex);
        try {
            if (task) task();
        } catch (const std::exception& e) {
            TAK_LOG_ERROR("db task failed:" << std::string(e.what()));
        } catch (...) {
            TAK_LOG_ERROR("db task failed");
        }
    }
    auto const took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (took <= std::chrono::milliseconds(timeout)) {
        TAK_LOG_DEBUG("Req ready");
        return TakStatus::success();
    }
    TAK_LOG_DEBUG("Timeout ");
    return TakStatus::timedOut("took ms: " + std::to_string(took.count()) +
                               ", allowed: " + std::to_string(timeout));
}

// ---- the worker ---------------------------------------------------------------------------

void TakDbConn::startWorker() {
    if (m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_taskMutex);
        if (m_stopping) return;
    }
    m_running = true;
    // The worker holds the connection until it ends (see stop()).
    m_thread = std::thread(&TakDbConn::run, this, shared_from_this());
}

void TakDbConn::requestStop(Clock::time_point deadline) {
    {
        std::lock_guard<std::mutex> lock(m_taskMutex);
        m_stopping = true;
        m_stopDeadline = deadline;
    }
    m_cond.notify_all();
}

bool TakDbConn::stop(Clock::time_point deadline) {
    if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id()) {
        TAK_LOG_ERROR("db connection stop called by its own task:" << m_dbName);
        return false;
    }
    requestStop(deadline);
    if (m_thread.joinable()) m_thread.join();
    std::deque<Task> left;
    {
        std::lock_guard<std::mutex> lock(m_taskMutex);
        m_workerEnded = true;
        left.swap(m_tasks);
        publishQueue();
    }
    m_figures.tasksDropped.add(left.size());
    uint64_t bytes = 0;
    for (const Task& task : left) bytes += task.info.bytes;
    if (!left.empty()) reportNotWritten(left);
    releaseBytes(bytes);
    return left.empty();
}

void TakDbConn::reportNotWritten(const std::deque<Task>& tasks) {
    std::map<std::string, std::pair<uint64_t, uint64_t>> perLabel;  // tasks, bytes
    for (const Task& task : tasks) {
        auto& [count, bytes] = perLabel[task.info.label.empty() ? "-" : task.info.label];
        ++count;
        bytes += task.info.bytes;
    }
    for (const auto& [label, figures] : perLabel) {
        TAK_LOG_ERROR("db tasks not written at stop:" << m_dbName << label
                                                      << "tasks:" << figures.first
                                                      << "bytes:" << figures.second);
    }
}

bool TakDbConn::stopDeadlinePassed(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(m_taskMutex);
    auto const passed = [this] { return m_stopping && Clock::now() >= m_stopDeadline; };
    if (passed()) return true;
    auto const until = Clock::now() + delay;
    m_cond.wait_until(lock, m_stopping ? std::min(until, m_stopDeadline) : until, passed);
    return passed();
}

void TakDbConn::backgroundReconnect() {
    if (m_connected) {
        m_backoff = std::chrono::milliseconds(0);
        pingIfIdle();
        return;
    }
    auto const now = Clock::now();
    if (now < m_nextAttempt) return;
    bool ok = false;
    {
        std::lock_guard<std::recursive_mutex> lock(m_dbMutex);
        ok = m_connected || reconnectLocked();
    }
    if (ok) {
        m_backoff = std::chrono::milliseconds(0);
        return;
    }
    m_backoff = m_backoff.count() == 0 ? kFirstBackoff : std::min(m_backoff * 2, kMaxBackoff);
    m_nextAttempt = now + m_backoff;
}

void TakDbConn::pingIfIdle() {
    auto const now = Clock::now();
    if (now < m_nextPing) return;
    m_nextPing = now + kPingInterval;
    std::lock_guard<std::recursive_mutex> lock(m_dbMutex);
    if (!m_connected || m_mysql == nullptr) return;
    if (mysql_ping(m_mysql) == 0) return;
    // The server has gone (or the connection is otherwise unusable): reconnect in the
    // background from now on.
    std::string const error = errorText(m_mysql);
    markLost(error.c_str());
}

void TakDbConn::run(std::shared_ptr<TakDbConn> self) {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(m_taskMutex);
            auto const idleUntil = Clock::now() + kIdleWait;
            while (m_tasks.empty() && !m_stopping && Clock::now() < idleUntil) {
                m_cond.wait_until(lock, idleUntil);
            }
            if (m_stopping && (m_tasks.empty() || Clock::now() >= m_stopDeadline)) break;
            if (!m_tasks.empty()) {
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
                publishQueue();
            }
        }
        if (!task.fn) {
            if (task.info.bytes != 0) releaseBytes(task.info.bytes);
            backgroundReconnect();
            continue;
        }
        if (runTask(task) == ETaskOutcome::NotRun) {
            // The stop deadline passed while the server was away: stop() reports it.
            std::lock_guard<std::mutex> lock(m_taskMutex);
            m_tasks.push_front(std::move(task));
            publishQueue();
            break;
        }
        uint64_t const bytes = task.info.bytes;
        task = Task{};  // what the task held goes before its bytes are released
        releaseBytes(bytes);
        m_nextPing = Clock::now() + kPingInterval;  // the task has just used the connection
    }
    m_running = false;
    // self goes with this frame; stop() holds another reference while it joins.
    (void)self;
}

TakDbConn::ETaskOutcome TakDbConn::runTask(Task& task) {
    for (int attempt = 1;; ++attempt) {
        TAK_SYNC_POINT("TakDbConn::runTask:start");
        // Wait for an open connection, with back-off, without the handle lock.
        auto delay = kFirstBackoff;
        for (;;) {
            {
                std::lock_guard<std::recursive_mutex> lock(m_dbMutex);
                if (m_connected || reconnectLocked()) break;
            }
            TAK_SYNC_POINT("TakDbConn::runTask:waitForConnection");
            if (stopDeadlinePassed(delay)) return ETaskOutcome::NotRun;
            delay = std::min(delay * 2, kMaxBackoff);
        }

        bool lost = false;
        bool ran = false;
        bool refused = false;
        int commitsBeforeLoss = 0;
        {
            std::lock_guard<std::recursive_mutex> lock(m_dbMutex);
            if (m_connected) {
                ran = true;
                m_taskLost = false;
                m_taskRefused = false;
                m_taskCommits = 0;
                t_taskConn = this;
                try {
                    task.fn();
                } catch (const std::exception& e) {
                    TAK_LOG_ERROR("db task failed:" << std::string(e.what()));
                } catch (...) {
                    TAK_LOG_ERROR("db task failed");
                }
                t_taskConn = nullptr;
                lost = m_taskLost;
                refused = m_taskRefused;
                commitsBeforeLoss = m_taskCommits;
                m_taskLost = false;
                m_taskRefused = false;
                // Undo whatever the cut-off transaction left on the handle.
                // Nothing to report when that fails: the connection is gone already.
                if (lost && m_mysql) (void)mysql_rollback(m_mysql);
            } else {
                lost = true;  // a direct call found the connection gone meanwhile
                --attempt;    // the task did not run
            }
        }
        if (!lost) {
            if (attempt > 1) TAK_LOG_DEBUG("db task done after reconnect:" << m_dbName);
            return ETaskOutcome::Done;
        }
        if (refused) {
            m_figures.tasksDropped.add();
            TAK_LOG_ERROR("db task dropped, the server refused its data as too large:"
                          << m_dbName << task.info.label << "bytes:" << task.info.bytes
                          << "max_allowed_packet:" << m_maxAllowedPacket.load());
            return ETaskOutcome::Dropped;
        }
        if (attempt >= kMaxTaskAttempts) {
            m_figures.tasksDropped.add();
            TAK_LOG_ERROR("db task dropped after attempts:"
                          << attempt << m_dbName << task.info.label << "bytes:" << task.info.bytes);
            return ETaskOutcome::Dropped;
        }
        if (ran) m_figures.taskReruns.add();
        if (commitsBeforeLoss > 0) {
            TAK_LOG_WARN("db task lost its connection after commits:"
                         << commitsBeforeLoss << "its rerun repeats them:" << m_dbName);
        }
    }
}
