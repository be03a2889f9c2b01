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

void TakDbPreStatement::init(MYSQL* mysql, std::string& sql) {
    closeStatement();
    m_sql = sql;
    m_target = mysql;
    m_quiet = false;
    m_needPrepare = false;
    m_pendingExec = false;
    m_needCommit = false;
    if (mysql == nullptr) return;
    if (m_owner && &m_owner->m_handle != mysql) {
        if (m_lock.owns_lock()) m_lock.unlock();
        m_lock = {};
        m_owner = nullptr;
        m_keepAlive.reset();
    }
    if (!m_owner) {
        TakDbConn* task = TakDbConn::currentTaskConn();
        if (task != nullptr && &task->m_handle == mysql) {
            // Inside one of the connection's tasks: the worker holds the handle lock and keeps
            // the connection alive; the statement must never hold the last reference there.
            m_owner = task;
            m_lock = std::unique_lock<std::recursive_mutex>(task->m_dbMutex);
        } else if (std::shared_ptr<TakDbConn> conn = TakDbConn::findByHandle(mysql)) {
            m_lock = std::unique_lock<std::recursive_mutex>(conn->m_dbMutex);
            m_owner = conn.get();
            m_keepAlive = std::move(conn);
        }
    }
    bool reconnected = false;
    if (m_owner) {
        switch (m_owner->beforeStatement(&reconnected)) {
            case TakDbConn::EGate::Quiet:
                m_quiet = true;
                return;
            case TakDbConn::EGate::Down:
                TAK_LOG_ERROR("mysql_stmt_prepare failed:" << m_owner->lastError() << m_sql);
                m_needPrepare = true;
                return;
            case TakDbConn::EGate::Run:
                break;
        }
    }
    for (;;) {
        unsigned int err = 0;
        std::string error;
        if (prepare(&err, &error)) return;
        if (m_stmt == nullptr) return;  // no statement handle: executeUpdate reports it
        if (m_owner) {
            auto const next = m_owner->afterFailure(err, error.c_str(), &reconnected);
            if (next == TakDbConn::EAfterFailure::Retry) {
                closeStatement();
                continue;
            }
            if (next == TakDbConn::EAfterFailure::Quiet) {
                m_quiet = true;
                return;
            }
            if (TakDbConn::isLossError(err)) m_needPrepare = true;
        }
        TAK_LOG_ERROR("mysql_stmt_prepare failed:" << error << m_sql);
        return;
    }
}

bool TakDbPreStatement::prepare(unsigned int* err, std::string* error) {
    closeStatement();
    m_stmt = mysql_stmt_init(m_target);
    if (m_stmt == nullptr) return false;
    if (mysql_stmt_prepare(m_stmt, m_sql.data(), m_sql.size()) != 0) {
        *err = mysql_stmt_errno(m_stmt);
        *error = stmtErrorText(m_stmt);
        return false;
    }
    m_mysql = m_target;
    m_generation = m_owner ? m_owner->m_generation.load() : 0;
    m_needPrepare = false;
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

bool TakDbPreStatement::executeUpdate() {
    if (m_quiet) return false;
    if (m_stmt == nullptr && !m_needPrepare) {
        TAK_LOG_ERROR("no m_stmt");
        return false;
    }
    bool reconnected = false;
    if (m_owner) {
        switch (m_owner->beforeStatement(&reconnected)) {
            case TakDbConn::EGate::Quiet:
                m_quiet = true;
                return false;
            case TakDbConn::EGate::Down:
                TAK_LOG_ERROR("mysql_stmt_execute failed: " << m_sql << m_owner->lastError());
                return false;
            case TakDbConn::EGate::Run:
                break;
        }
    }
    for (;;) {
        // Prepared on a session that has been replaced by a reconnect (or not prepared because
        // the connection was down): prepare again, unless executions of it would be lost.
        bool const stale =
            m_owner && ((m_mysql && m_generation != m_owner->m_generation.load()) || m_needPrepare);
        if (stale) {
            if (m_pendingExec) {
                TAK_LOG_ERROR("mysql_stmt_execute failed: "
                              << m_sql << "the connection was reopened; earlier executions lost");
                m_pendingExec = false;
                m_needCommit = false;
                return false;
            }
            unsigned int err = 0;
            std::string error;
            if (!prepare(&err, &error)) {
                TAK_LOG_ERROR("mysql_stmt_prepare failed:" << error << m_sql);
                return false;
            }
        }
        if (mysql_stmt_bind_param(m_stmt, m_bind.get()) != 0) {
            TAK_LOG_ERROR("mysql_stmt_bind_param failed:" << stmtErrorText(m_stmt));
            return false;
        }
        if (mysql_stmt_execute(m_stmt) == 0) {
            m_pendingExec = true;
            m_needCommit = true;
            return true;
        }
        unsigned int const err = mysql_stmt_errno(m_stmt);
        std::string const error = stmtErrorText(m_stmt);
        if (m_owner && m_mysql) {
            m_owner->noteFailedPacket(executePacketBytes());
            bool const hadPending = m_pendingExec;
            auto const next = m_owner->afterFailure(err, error.c_str(), &reconnected);
            if (next == TakDbConn::EAfterFailure::Quiet) {
                m_quiet = true;
                return false;
            }
            if (next == TakDbConn::EAfterFailure::Retry && !hadPending) continue;
        }
        TAK_LOG_ERROR("mysql_stmt_execute failed: " << m_sql << error);
        return false;
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

bool TakDbPreStatement::commit() { return commitNow(); }

bool TakDbPreStatement::commitNow() {
    if (m_quiet || m_mysql == nullptr) return false;
    if (m_owner) {
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
            return false;
        }
    }
    if (mysql_commit(m_mysql) == 0) {
        if (m_pendingExec && m_owner) m_owner->noteCommit();
        m_pendingExec = false;
        m_needCommit = false;
        return true;
    }
    unsigned int const err = mysql_errno(m_mysql);
    std::string const error = mysql_error(m_mysql) ? mysql_error(m_mysql) : "";
    m_needCommit = false;
    bool const hadPending = m_pendingExec;
    m_pendingExec = false;
    if (m_owner && TakDbConn::isLossError(err)) {
        m_owner->markLost(error.c_str());
        if (m_owner->inTask()) {
            m_quiet = true;  // the task runs again
            return false;
        }
    }
    if (hadPending || !m_owner || !TakDbConn::isLossError(err)) {
        TAK_LOG_ERROR("mysql_commit failed: " << error << m_sql);
    }
    return false;
}
