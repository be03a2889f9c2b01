#include "comm-serd/db/TakDbPreStatement.h"

#include <cstring>

#include "comm-serd/db/TakDbConn.h"
#include "log/TakNanolog.h"

namespace {

std::string stmtErrorText(MYSQL_STMT* stmt) {
    const char* text = stmt ? mysql_stmt_error(stmt) : nullptr;
    return text ? std::string(text) : std::string();
}

}  // namespace

TakDbPreStatement::~TakDbPreStatement() {
    // A failed commit is logged by commitNow; a destructor has no one to tell.
    if (m_stmt && m_mysql && m_needCommit && !m_quiet) (void)commitNow();
    closeStatement();
    m_bind.reset();
    if (m_lock.owns_lock()) m_lock.unlock();
    m_owner = nullptr;
    m_keepAlive.reset();
}

void TakDbPreStatement::closeStatement() {
    if (m_stmt) mysql_stmt_close(m_stmt);
    m_stmt = nullptr;
    m_mysql = nullptr;
}

TakStatus TakDbPreStatement::init(TakDbConn& conn, const std::string& sql) {
    m_prepareStatus = prepareOn(conn, sql);
    return m_prepareStatus;
}

TakStatus TakDbPreStatement::prepareOn(TakDbConn& conn, const std::string& sql) {
    closeStatement();
    m_sql = sql;
    m_quiet = false;
    m_needPrepare = false;
    m_pendingExec = false;
    m_needCommit = false;
    if (m_owner != &conn) {
        if (m_lock.owns_lock()) m_lock.unlock();
        m_lock = {};
        m_keepAlive.reset();
        m_owner = &conn;
        m_lock = std::unique_lock<std::recursive_mutex>(conn.m_dbMutex);
        // Inside one of the connection's tasks the worker keeps it alive, and the statement
        // must never hold the last reference there (the worker would be joined on itself).
        if (TakDbConn::currentTaskConn() != &conn) m_keepAlive = conn.weak_from_this().lock();
    }
    bool reconnected = false;
    switch (m_owner->beforeStatement(&reconnected)) {
        case TakDbConn::EGate::Quiet:
            m_quiet = true;
            return TakStatus::notConnected("the connection was lost during the task");
        case TakDbConn::EGate::Down: {
            std::string error = m_owner->lastError();
            TAK_LOG_ERROR("mysql_stmt_prepare failed:" << error << m_sql);
            m_needPrepare = true;
            return TakStatus::notConnected(std::move(error));
        }
        case TakDbConn::EGate::Run:
            break;
    }
    for (;;) {
        unsigned int err = 0;
        std::string error;
        if (prepare(&err, &error)) return TakStatus::success();
        // No statement handle: executeUpdate reports it.
        if (m_stmt == nullptr) return TakStatus::failed("mysql_stmt_init failed");
        auto const next = m_owner->afterFailure(err, error.c_str(), &reconnected);
        if (next == TakDbConn::EAfterFailure::Retry) {
            closeStatement();
            continue;
        }
        if (next == TakDbConn::EAfterFailure::Quiet) {
            m_quiet = true;
            return TakStatus::notConnected(error);
        }
        if (TakDbConn::isLossError(err)) m_needPrepare = true;
        TAK_LOG_ERROR("mysql_stmt_prepare failed:" << error << m_sql);
        return TakDbConn::statusOf(err, error);
    }
}

bool TakDbPreStatement::prepare(unsigned int* err, std::string* error) {
    closeStatement();
    MYSQL* const handle = m_owner ? m_owner->m_mysql : nullptr;  // under the handle lock
    if (handle == nullptr) return false;
    m_stmt = mysql_stmt_init(handle);
    if (m_stmt == nullptr) return false;
    if (mysql_stmt_prepare(m_stmt, m_sql.data(), m_sql.size()) != 0) {
        *err = mysql_stmt_errno(m_stmt);
        *error = stmtErrorText(m_stmt);
        return false;
    }
    m_mysql = handle;
    m_generation = m_owner->m_generation.load();
    m_needPrepare = false;
    m_prepareStatus = TakStatus::success();
    m_needCommit = true;
    unsigned long const count = mysql_stmt_param_count(m_stmt);
    if (count != m_paramCount || (count != 0 && !m_bind)) {
        // A re-preparation of the same text keeps the bindings already made.
        m_paramCount = count;
        m_bind.reset();
        if (count != 0) {
            m_bind = std::make_unique<MYSQL_BIND[]>(count);  // zero-filled
            for (unsigned long i = 0; i < count; ++i) m_bind[i].buffer_type = MYSQL_TYPE_NULL;
        }
    }
    return true;
}

MYSQL_BIND* TakDbPreStatement::slot(unsigned int index) {
    if (m_quiet) return nullptr;
    if (index >= m_paramCount) {
        TAK_LOG_ERROR("index too large: " << index);
        return nullptr;
    }
    m_bind[index] = MYSQL_BIND{};
    return &m_bind[index];
}

void TakDbPreStatement::setParam(unsigned int index, std::string& value) {
    MYSQL_BIND* bind = slot(index);
    if (bind == nullptr) return;
    // This client library refuses MYSQL_TYPE_VARCHAR as a bind type.
    bind->buffer_type = MYSQL_TYPE_STRING;
    bind->buffer = value.data();
    bind->buffer_length = static_cast<unsigned long>(std::strlen(value.c_str()));
}

void TakDbPreStatement::setParam(unsigned int index, int& value) {
    MYSQL_BIND* bind = slot(index);
    if (bind == nullptr) return;
    bind->buffer_type = MYSQL_TYPE_LONG;
    bind->buffer = &value;
}

void TakDbPreStatement::setParam(unsigned int index, long long& value) {
    MYSQL_BIND* bind = slot(index);
    if (bind == nullptr) return;
    bind->buffer_type = MYSQL_TYPE_LONGLONG;
    bind->buffer = &value;
}

TakStatus TakDbPreStatement::executeUpdate() {
    TakStatus status = execute();
    // After a failed preparation the execution fails too (and logs it): the preparation's
    // failure says why.
    if (!status.ok() && !m_prepareStatus.ok()) return m_prepareStatus;
    return status;
}

TakStatus TakDbPreStatement::executeAndCommit() {
    if (TakStatus executed = executeUpdate(); !executed.ok()) return executed;
    return commit();
}

TakStatus TakDbPreStatement::execute() {
    if (m_quiet) return TakStatus::notConnected("the connection was lost during the task");
    if (m_stmt == nullptr && !m_needPrepare) {
        TAK_LOG_ERROR("no m_stmt");
        return TakStatus::failed("no m_stmt");
    }
    bool reconnected = false;
    switch (m_owner->beforeStatement(&reconnected)) {
        case TakDbConn::EGate::Quiet:
            m_quiet = true;
            return TakStatus::notConnected("the connection was lost during the task");
        case TakDbConn::EGate::Down: {
            std::string error = m_owner->lastError();
            TAK_LOG_ERROR("mysql_stmt_execute failed: " << m_sql << error);
            return TakStatus::notConnected(std::move(error));
        }
        case TakDbConn::EGate::Run:
            break;
    }
    for (;;) {
        // Prepared on a session that has been replaced by a reconnect (or not prepared because
        // the connection was down): prepare again, unless executions of it would be lost.
        bool const stale =
            (m_mysql && m_generation != m_owner->m_generation.load()) || m_needPrepare;
        if (stale) {
            if (m_pendingExec) {
                TAK_LOG_ERROR("mysql_stmt_execute failed: "
                              << m_sql << "the connection was reopened; earlier executions lost");
                m_pendingExec = false;
                m_needCommit = false;
                return TakStatus::notConnected(
                    "the connection was reopened; earlier executions lost");
            }
            unsigned int err = 0;
            std::string error;
            if (!prepare(&err, &error)) {
                TAK_LOG_ERROR("mysql_stmt_prepare failed:" << error << m_sql);
                return TakDbConn::statusOf(err, error);
            }
        }
        if (mysql_stmt_bind_param(m_stmt, m_bind.get()) != 0) {
            std::string error = stmtErrorText(m_stmt);
            TAK_LOG_ERROR("mysql_stmt_bind_param failed:" << error);
            return TakStatus::failed(std::move(error));
        }
        if (mysql_stmt_execute(m_stmt) == 0) {
            m_pendingExec = true;
            m_needCommit = true;
            return TakStatus::success();
        }
        unsigned int const err = mysql_stmt_errno(m_stmt);
        std::string const error = stmtErrorText(m_stmt);
        if (m_mysql) {
            m_owner->noteFailedPacket(executePacketBytes());
            bool const hadPending = m_pendingExec;
            auto const next = m_owner->afterFailure(err, error.c_str(), &reconnected);
            if (next == TakDbConn::EAfterFailure::Quiet) {
                m_quiet = true;
                return TakStatus::notConnected(error);
            }
            if (next == TakDbConn::EAfterFailure::Retry && !hadPending) continue;
        }
        TAK_LOG_ERROR("mysql_stmt_execute failed: " << m_sql << error);
        return TakDbConn::statusOf(err, error);
    }
}

uint64_t TakDbPreStatement::executePacketBytes() const {
    // Command, statement id, flags, iteration count, null bitmap, types; each value carries a
    // length prefix of at most 9 bytes.
    uint64_t bytes = 16 + (m_paramCount + 7) / 8 + 2 * static_cast<uint64_t>(m_paramCount);
    for (unsigned long i = 0; i < m_paramCount; ++i) {
        const MYSQL_BIND& bind = m_bind[i];
        switch (bind.buffer_type) {
            case MYSQL_TYPE_LONG:
                bytes += 4;
                break;
            case MYSQL_TYPE_LONGLONG:
                bytes += 8;
                break;
            case MYSQL_TYPE_NULL:
                break;
            default:
                bytes += 9 + bind.buffer_length;
                break;
        }
    }
    return bytes;
}

bool TakDbPreStatement::fitsServerPacket() const {
    uint64_t const max = m_owner ? m_owner->maxAllowedPacket() : 0;
    return max == 0 || executePacketBytes() <= max;
}

TakStatus TakDbPreStatement::commit() { return commitNow(); }

TakStatus TakDbPreStatement::commitNow() {
    if (m_quiet) return TakStatus::notConnected("the connection was lost during the task");
    if (m_mysql == nullptr) return TakStatus::failed("the statement is not prepared");
    bool const gone = !m_owner->m_connected.load() ||
                      (m_pendingExec && m_generation != m_owner->m_generation.load());
    if (gone) {
        if (m_owner->inTask()) {
            m_owner->m_taskLost = true;  // the task runs again
            m_quiet = true;
        } else if (m_pendingExec) {
            TAK_LOG_ERROR("mysql_commit failed: " << m_sql << "the connection was lost");
        }
        m_pendingExec = false;
        m_needCommit = false;
        return TakStatus::notConnected("the connection was lost");
    }
    if (mysql_commit(m_mysql) == 0) {
        if (m_pendingExec) m_owner->noteCommit();
        m_pendingExec = false;
        m_needCommit = false;
        return TakStatus::success();
    }
    unsigned int const err = mysql_errno(m_mysql);
    std::string const error = mysql_error(m_mysql) ? mysql_error(m_mysql) : "";
    m_needCommit = false;
    bool const hadPending = m_pendingExec;
    m_pendingExec = false;
    if (TakDbConn::isLossError(err)) {
        m_owner->markLost(error.c_str());
        if (m_owner->inTask()) {
            m_quiet = true;  // the task runs again
            return TakStatus::notConnected(error);
        }
    }
    if (hadPending || !TakDbConn::isLossError(err)) {
        TAK_LOG_ERROR("mysql_commit failed: " << error << m_sql);
    }
    return TakDbConn::statusOf(err, error);
}
