#pragma once

#include <string>

#include "comm-serd/db/TakStatus.h"

class TakDbConn;

// The statements on the log tables of the audit database (auditEvent_dev, one table per log
// type) that are not an upload's rows: the reset, which deletes a device's rows of one table.
// The rows of an upload and their insert statements are decided by TakSecLogRows and
// TakSystemLogRows.
//
// A store is made for one piece of work on the connection handed in, which must outlive it.
// Failures are logged by the connection or the statement; the statuses tell the caller what
// happened.
class TakAuditStore {
public:
    explicit TakAuditStore(TakDbConn& conn);

    // The statement of a reset: deletes the device's rows of one table (a name of the server's
    // own table list). The MAC is escaped for the connection (escaping needs no open
    // connection), so the text may be made when the request arrives and run later.
    std::string resetSql(const std::string& table, const std::string& mac);
    // Runs a statement resetSql made; committed when this call returns.
    TakStatus runReset(const std::string& resetSql);

private:
    TakDbConn& m_conn;
};
