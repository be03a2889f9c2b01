#pragma once

#include <mysql.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "comm-serd/db/TakStatus.h"

class TakDbConn;

// A prepared statement on a connection. Its destruction commits.
//
//   TakDbPreStatement stmt;
//   if (!stmt.init(conn, sql).ok()) ...;   // logged; executeUpdate then fails as well
//   stmt.setParam(0, text);      // every ? once, in any order; values are bound by address and
//   stmt.setParam(1, number);    // must stay alive and unchanged until executeUpdate returns
//   if (TakStatus s = stmt.executeUpdate(); !s.ok()) ...;
//   // re-bind and execute again as often as needed; destruction commits
//
// Make, use and destroy it inside one task: on the connection's worker, or inside a
// sycProcessReq closure. It holds the connection's handle lock from init() to its destruction,
// so it is never used alongside another thread's statement; made elsewhere than on the worker
// it therefore keeps the worker waiting while it lives, and it keeps the connection alive.
//
// Lost connections (see TakDbConn): inside a worker task a statement whose connection is gone
// fails quietly with NotConnected (the task will be run again); a failed commit for that reason
// marks the task for its rerun too. Elsewhere a statement that has not yet executed reopens the
// connection once and prepares again.
class TakDbPreStatement {
public:
    TakDbPreStatement() = default;
    virtual ~TakDbPreStatement();
    TakDbPreStatement(const TakDbPreStatement&) = delete;
    TakDbPreStatement& operator=(const TakDbPreStatement&) = delete;

    // Prepares sql on conn, and holds conn's handle lock from now on. A failure is logged and
    // returned (NotConnected, Refused: the server's error, Failed); executeUpdate then fails
    // and destruction does not commit. A statement never initialised reports "no m_stmt".
    TakStatus init(TakDbConn& conn, const std::string& sql);
    // Whether init prepared the statement.
    bool prepared() const { return m_mysql != nullptr; }

    // Binds placeholder index (from 0). An index at or past the placeholder count is logged
    // ("index too large: ") and dropped. Text is sent up to its first NUL byte.
    void setParam(unsigned int index, std::string& value);
    void setParam(unsigned int index, int& value);
    void setParam(unsigned int index, long long& value);

    // Executes once with the current bindings; no commit. Placeholders never bound are sent as
    // NULL. Ok, or what failed (logged): Refused with the server's error for a statement the
    // server did not take (a duplicate key, data too large), NotConnected, Failed. After a
    // failed init, what init returned.
    TakStatus executeUpdate();
    // Executes once and commits: Ok once the change is durable, otherwise the first failure.
    TakStatus executeAndCommit();
    // Whether an execution with the current bindings fits the server's max_allowed_packet
    // (true while that is unknown). A larger one would be refused and cost the connection.
    bool fitsServerPacket() const;
    // The size of the packet an execution with the current bindings sends, near enough.
    uint64_t executePacketBytes() const;
    // Commits now; not ok when the commit failed (the changes since the last commit are then
    // not durable). Destruction commits again only if the statement executed since.
    TakStatus commit();

private:
    TakStatus prepareOn(TakDbConn& conn, const std::string& sql);
    TakStatus execute();
    // The binding of a placeholder, cleared; null (logged) when there is no such placeholder.
    MYSQL_BIND* slot(unsigned int index);
    // Prepares m_sql on the connection's handle; true when prepared. A failure is left in
    // *err / *error.
    bool prepare(unsigned int* err, std::string* error);
    void closeStatement();
    // The commit of commit() and of the destructor.
    TakStatus commitNow();

    MYSQL_STMT* m_stmt = nullptr;
    std::unique_ptr<MYSQL_BIND[]> m_bind;
    unsigned long m_paramCount = 0;
    std::string m_sql;
    MYSQL* m_mysql = nullptr;  // set only while prepared

    TakDbConn* m_owner = nullptr;                   // the connection given to init
    std::shared_ptr<TakDbConn> m_keepAlive;         // m_owner, held outside its worker's tasks
    std::unique_lock<std::recursive_mutex> m_lock;  // m_owner's handle lock
    uint64_t m_generation = 0;   // connection generation the statement was prepared on
    bool m_quiet = false;        // connection gone inside a worker task: fail without logging
    bool m_needPrepare = false;  // not prepared because the connection was gone: try again
    bool m_pendingExec = false;  // executed since the last commit (a retry would lose that)
    bool m_needCommit = false;   // destruction commits
    TakStatus m_prepareStatus;   // what the latest preparation gave
};
