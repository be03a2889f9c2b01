#include "comm-serd/business/TakAuditStore.h"

#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbPreStatement.h"

TakAuditStore::TakAuditStore(TakDbConn& conn) : m_conn(conn) {}

std::string TakAuditStore::resetSql(const std::string& table, const std::string& mac) {
    return "DELETE FROM " + table + " WHERE id > 0 AND macAddr = '" + m_conn.escapeString(mac) +
           "'";
}

TakStatus TakAuditStore::runReset(const std::string& resetSql) {
    TakDbPreStatement stmt;
    // A failed preparation is what the execution then reports.
    stmt.init(m_conn, resetSql).ignoreError();
    return stmt.executeAndCommit();
}
