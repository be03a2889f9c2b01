#include "comm-serd/business/TakPolicyStore.h"

#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbPreStatement.h"
#include "comm-serd/db/TakDbResult.h"

TakPolicyStore::TakPolicyStore(TakDbConn& conn) : m_conn(conn) {}

std::shared_ptr<TakDbResult> TakPolicyStore::pendingRows() {
    return m_conn.executeQuery("select * from asset_business_config where processState = 0");
}

TakStatus TakPolicyStore::markInvalid(int id) {
    return m_conn.executeUpdate(
        "update asset_business_config set processErrorInfo = 'invalid dataType', "
        "processState = 3 where id = " +
        std::to_string(id) + " and processState = 0");
}

TakStatus TakPolicyStore::markHandedOut(int id) {
    return m_conn.executeUpdate("update asset_business_config set processState = 1 where id = " +
                                std::to_string(id) + " and processState = 0");
}

TakStatus TakPolicyStore::markDone(int id) {
    return m_conn.executeUpdate("update asset_business_config set processState = 2 where id = " +
                                std::to_string(id) + " and processState = 1");
}

TakStatus TakPolicyStore::saveError(int id, const std::string& errorText) {
    TakDbPreStatement stmt;
    // A failed preparation is what the execution then reports.
    stmt.init(m_conn,
              "update asset_business_config set processErrorInfo = ? ,processState = ?  where id = "
              "?;")
        .ignoreError();
    std::string text = errorText;
    int state = 3;
    int policyId = id;
    stmt.setParam(0, text);
    stmt.setParam(1, state);
    stmt.setParam(2, policyId);
    return stmt.executeAndCommit();
}
