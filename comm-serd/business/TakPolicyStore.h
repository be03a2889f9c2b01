#pragma once

#include <memory>
#include <string>

#include "comm-serd/db/TakStatus.h"

class TakDbConn;
class TakDbResult;

// The statements on the console's policies (security_dev.asset_business_config): the pending
// rows of a policy pass and the changes of a row's processState (0 pending, 1 handed out,
// 2 done, 3 failed, with processErrorInfo).
//
// A store is made for one piece of work on the connection handed in, which must outlive it
// (a policy pass, its time-out, a task of the security worker). Failures are logged by the
// connection or the statement; the statuses tell the caller what happened.
class TakPolicyStore {
public:
    explicit TakPolicyStore(TakDbConn& conn);

    // The pending rows (processState 0), standing on the first; empty when they could not be
    // read.
    std::shared_ptr<TakDbResult> pendingRows();
    // A pending row whose dataType is no command fails with "invalid dataType".
    TakStatus markInvalid(int id);
    // A pending row was offered to its group's agents: handed out (1). A row an agent has
    // already failed (3) stays as it is.
    TakStatus markHandedOut(int id);
    // One second after it was handed out: done (2), unless an agent has failed it meanwhile.
    TakStatus markDone(int id);
    // An agent reported an error for the policy: failed (3) with the agent's text (bound as a
    // parameter, never spliced); committed.
    TakStatus saveError(int id, const std::string& errorText);

private:
    TakDbConn& m_conn;
};
