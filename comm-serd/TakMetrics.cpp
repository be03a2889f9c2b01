#include "comm-serd/TakMetrics.h"

#include "comm-serd/TakLockGuard.h"
#include "comm-serd/TakMetricsText.h"
#include "log/TakNanolog.h"

namespace {

const char* const kSkipReasonNames[TakMetrics::kSkipReasons] = {"bad_first_item", "too_few_items",
                                                                "too_large", "no_items"};

}  // namespace

TakMetrics& TakMetrics::instance() {
    // Never destroyed: the threads that count may outlive every other static.
    static TakMetrics& metrics = *new TakMetrics;
    return metrics;
}

TakMetrics::TakMetrics() : m_start(std::chrono::system_clock::now()) {}

TakMetrics::STTableFigures& TakMetrics::table(const std::string& name) {
    TakLockGuard lock(m_mutex);
    auto& slot = m_tables[name];
    if (!slot) slot = std::make_unique<STTableFigures>();
    return *slot;
}

TakMetrics::STDbFigures& TakMetrics::database(const std::string& name) {
    TakLockGuard lock(m_mutex);
    auto& slot = m_databases[name];
    if (!slot) slot = std::make_unique<STDbFigures>();
    return *slot;
}

std::string TakMetrics::render() {
    TakMetricsText out;
    auto const since = std::chrono::duration_cast<std::chrono::seconds>(m_start.time_since_epoch());
    out.gauge("commserd_start_time_seconds", "When the daemon started, in seconds since the epoch.",
              since.count());
    out.gauge("commserd_listener_up", "1 while the listener takes connections.",
              agentListenerUp.get(), {{"listener", "agents"}});
    out.gauge("commserd_listener_up", "1 while the listener takes connections.",
              consoleListenerUp.get(), {{"listener", "console"}});

    const char* const sessionsHelp = "Agent sessions now, by how far they got.";
    out.gauge("commserd_sessions", sessionsHelp, sessionsConnected.get(), {{"state", "connected"}});
    out.gauge("commserd_sessions", sessionsHelp, sessionsKeyExchanged.get(),
              {{"state", "key_exchanged"}});
    out.gauge("commserd_sessions", sessionsHelp, sessionsRegistered.get(),
              {{"state", "registered"}});
    out.counter("commserd_connections_total", "Agent connections accepted.",
                connectionsAccepted.get());
    out.counter("commserd_handshakes_total", "Key exchanges completed.", handshakes.get());
    const char* const failuresHelp = "Key exchanges that failed, by reason.";
    out.counter("commserd_handshake_failures_total", failuresHelp, handshakeTimeouts.get(),
                {{"reason", "timeout"}});
    out.counter("commserd_handshake_failures_total", failuresHelp, handshakeBadAnswers.get(),
                {{"reason", "bad_answer"}});
    out.counter("commserd_handshake_failures_total", failuresHelp, keyOffersFailed.get(),
                {{"reason", "no_key_offer"}});
    out.counter("commserd_frames_total", "Frames received from and sent to agents.", framesIn.get(),
                {{"direction", "in"}});
    out.counter("commserd_frames_total", "Frames received from and sent to agents.",
                framesOut.get(), {{"direction", "out"}});
    out.counter("commserd_bytes_total", "Bytes received from and sent to agents.", bytesIn.get(),
                {{"direction", "in"}});
    out.counter("commserd_bytes_total", "Bytes received from and sent to agents.", bytesOut.get(),
                {{"direction", "out"}});
    const char* const refusedHelp = "Frames from agents that were refused, by reason.";
    out.counter("commserd_frames_refused_total", refusedHelp, framesTooLarge.get(),
                {{"reason", "too_large"}});
    out.counter("commserd_frames_refused_total", refusedHelp, framesUndecryptable.get(),
                {{"reason", "undecryptable"}});

    const char* const registrationsHelp = "Device registrations, by outcome.";
    out.counter("commserd_registrations_total", registrationsHelp, registrationsAdmitted.get(),
                {{"outcome", "admitted"}});
    out.counter("commserd_registrations_total", registrationsHelp, registrationsRevoked.get(),
                {{"outcome", "revoked"}});
    out.counter("commserd_registrations_total", registrationsHelp, registrationsOverLimit.get(),
                {{"outcome", "over_limit"}});

    {
        TakLockGuard lock(m_mutex);
        for (const auto& [name, t] : m_tables) {
            out.counter("commserd_uploads_total", "Uploads taken for storing, per table.",
                        t->uploads.get(), {{"table", name}});
        }
        for (const auto& [name, t] : m_tables) {
            out.counter("commserd_resets_total", "Resets (deletions of a host's rows) taken.",
                        t->resets.get(), {{"table", name}});
        }
        for (const auto& [name, t] : m_tables) {
            out.counter("commserd_rows_stored_total", "Rows stored (committed), per table.",
                        t->rowsStored.get(), {{"table", name}});
        }
        for (const auto& [name, t] : m_tables) {
            for (size_t r = 0; r < kSkipReasons; ++r) {
                out.counter("commserd_lines_skipped_total",
                            "Upload lines and records not stored, per table and reason.",
                            t->linesSkipped[r].get(),
                            {{"table", name}, {"reason", kSkipReasonNames[r]}});
            }
        }
    }
    const char* const droppedHelp = "Uploads and resets dropped before storing, by reason.";
    out.counter("commserd_uploads_dropped_total", droppedHelp, uploadsForeignMac.get(),
                {{"reason", "foreign_mac"}});
    out.counter("commserd_uploads_dropped_total", droppedHelp, uploadsUnknownType.get(),
                {{"reason", "unknown_type"}});
    out.counter("commserd_uploads_dropped_total", droppedHelp, uploadsNoDatabase.get(),
                {{"reason", "no_database"}});

    {
        TakLockGuard lock(m_mutex);
        for (const auto& [name, d] : m_databases) {
            out.gauge("commserd_db_up", "1 while the database connection is open.", d->up.get(),
                      {{"database", name}});
        }
        for (const auto& [name, d] : m_databases) {
            out.gauge("commserd_db_queued_tasks", "Tasks waiting for the connection's worker.",
                      d->queuedTasks.get(), {{"database", name}});
        }
        for (const auto& [name, d] : m_databases) {
            out.gauge("commserd_db_queued_bytes", "Bytes of the tasks queued or running.",
                      d->queuedBytes.get(), {{"database", name}});
        }
        for (const auto& [name, d] : m_databases) {
            out.counter("commserd_db_reconnects_total", "Connections reopened after a loss.",
                        d->reconnects.get(), {{"database", name}});
        }
        for (const auto& [name, d] : m_databases) {
            out.counter("commserd_db_task_reruns_total",
                        "Tasks run again after they lost the connection.", d->taskReruns.get(),
                        {{"database", name}});
        }
        for (const auto& [name, d] : m_databases) {
            out.counter("commserd_db_tasks_dropped_total",
                        "Tasks dropped unwritten (refused, failing every time, or left at stop).",
                        d->tasksDropped.get(), {{"database", name}});
        }
    }

    out.counter("commserd_policy_passes_total", "Policy passes (console notifyPolicy calls).",
                policyPasses.get());
    const char* const rowsHelp = "Pending policy rows a pass handled, by outcome.";
    out.counter("commserd_policy_rows_total", rowsHelp, policyRowsSent.get(),
                {{"outcome", "sent"}});
    out.counter("commserd_policy_rows_total", rowsHelp, policyRowsNoSession.get(),
                {{"outcome", "no_session"}});
    out.counter("commserd_policy_rows_total", rowsHelp, policyRowsNoHost.get(),
                {{"outcome", "no_host"}});
    out.counter("commserd_policy_rows_total", rowsHelp, policyRowsInvalid.get(),
                {{"outcome", "invalid"}});
    out.counter("commserd_policy_agent_errors_total", "Errors agents reported for pushed policies.",
                policyAgentErrors.get());
    out.counter("commserd_host_queries_total", "Host queries (console getDeviceHostInfo).",
                hostQueries.get());
    out.counter("commserd_host_query_timeouts_total",
                "Host queries that got no answer within one second.", hostQueryTimeouts.get());

    auto const& log = TakNanolog::logCounters;
    out.counter("commserd_log_records_written_total", "Log records handed to the log file writer.",
                log.written.load(std::memory_order_relaxed));
    out.counter("commserd_log_echo_dropped_total",
                "Log records the console echo (standard output) could not print.",
                log.echoDropped.load(std::memory_order_relaxed));
    out.counter("commserd_log_records_total", "ERROR and WARN log records.",
                log.errors.load(std::memory_order_relaxed), {{"level", "error"}});
    out.counter("commserd_log_records_total", "ERROR and WARN log records.",
                log.warnings.load(std::memory_order_relaxed), {{"level", "warn"}});
    return out.text();
}

std::vector<std::string> TakMetrics::healthProblems(const std::vector<std::string>& databases) {
    std::vector<std::string> problems;
    for (const std::string& name : databases) {
        bool up = false;
        {
            TakLockGuard lock(m_mutex);
            auto it = m_databases.find(name);
            up = it != m_databases.end() && it->second->up.get() != 0;
        }
        if (!up) problems.push_back("database " + name + " is not connected");
    }
    if (agentListenerUp.get() == 0) problems.push_back("the agent listener is not listening");
    if (consoleListenerUp.get() == 0) problems.push_back("the console listener is not listening");
    return problems;
}

TakMetrics::STActivity TakMetrics::activity() {
    STActivity a;
    a.sessions = sessionsConnected.get();
    a.registered = sessionsRegistered.get();
    a.connections = connectionsAccepted.get();
    a.errors = TakNanolog::logCounters.errors.load(std::memory_order_relaxed);
    a.warnings = TakNanolog::logCounters.warnings.load(std::memory_order_relaxed);
    TakLockGuard lock(m_mutex);
    for (const auto& [name, t] : m_tables) {
        a.uploads += t->uploads.get();
        a.rowsStored += t->rowsStored.get();
        for (const auto& skipped : t->linesSkipped) a.linesSkipped += skipped.get();
    }
    for (const auto& [name, d] : m_databases) a.queuedTasks += d->queuedTasks.get();
    return a;
}
