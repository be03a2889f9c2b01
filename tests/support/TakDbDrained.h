#pragma once

#include <chrono>
#include <future>
#include <memory>

#include "comm-serd/db/TakDbConn.h"

// Queues an empty task behind the connection's queued tasks and waits until it has run: the
// worker runs its tasks one at a time in queue order, each to its end (a rerun after a lost
// connection included, with its commit), so then every task queued before it has run or been
// dropped. False when the time ran out first.
inline bool takDbDrained(TakDbConn& conn,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    conn.processReq(-1, [done] { done->set_value(); });
    return future.wait_for(timeout) == std::future_status::ready;
}
