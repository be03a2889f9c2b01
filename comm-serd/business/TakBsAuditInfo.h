#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Tak.PolicyNotify.pb.h"
#include "comm-serd/TakMetrics.h"
#include "comm-serd/business/ITakBsService.h"
#include "comm-serd/business/TakReportedMacs.h"

// Stores the logs an agent uploads, one table per log type, and deletes a device's rows of one
// type on request.
//
// Requests only queue work on the audit connection's worker; the tasks carry copies of the
// MAC, the payload and the table name and take the connection's handle when they run, so they
// are stored even after the session and this service have gone. Each task commits once, at its
// end, so that its rerun after a lost connection stores an upload exactly once.
//
// Lines and records that the server could not take are skipped, counted and logged once per
// upload at WARN, so that the rest of the upload is stored: a system-log line whose first item
// is not a 64-bit number, a line with fewer items than the first line, and a line or record
// larger than the server's max_allowed_packet. Items of a line beyond the first line's count
// are dropped (the line is stored), counted the same way.
//
// An agent acts only for its own device: an upload or reset for a MAC address that the session
// has not reported in its device information is dropped with a WARN naming the peer and the
// MAC (the agent has had its answer already).
class TakBsAuditInfo : public ITakBsService {
public:
    // ownMacs: what the session's agent has reported (never null). waitingBytes, when given,
    // counts the bytes of this session's uploads that are queued and not yet stored (the
    // session holds its reading while they wait in a full queue).
    TakBsAuditInfo(uint64_t id, std::string peerAddr,
                   std::map<Tak::PolicyNotify::EAuditUpType, std::string> tableNames,
                   std::shared_ptr<TakDbConn> db, std::shared_ptr<TakReportedMacs> ownMacs,
                   std::shared_ptr<std::atomic<uint64_t>> waitingBytes = nullptr);
    ~TakBsAuditInfo() override;

    void processBs(const Tak::Business::Businessdata& bs) override;
    // Drops the queued uploads and resets of this session and releases the connection; later
    // requests are dropped.
    void close() override;

private:
    void processAuditUpload(const std::string& data);
    void processReset(const std::string& data);
    // Queue the storing tasks.
    void saveSecLog(const std::shared_ptr<TakDbConn>& conn, TakMetrics::STTableFigures& figures,
                    const std::string& mac, const std::string& logdata);
    void saveSystemLog(const std::shared_ptr<TakDbConn>& conn, const std::string& table,
                       TakMetrics::STTableFigures& figures, const std::string& mac,
                       const std::string& logdata);

    // The tasks, on the worker. What they store and skip is counted once it is committed.
    static void storeSecLog(TakDbConn& conn, TakMetrics::STTableFigures& figures,
                            const std::string& mac, const std::string& logdata);
    static void storeSystemLog(TakDbConn& conn, const std::string& table,
                               TakMetrics::STTableFigures& figures, const std::string& mac,
                               const std::string& logdata);
    static void deleteLogs(TakDbConn& conn, const std::string& sql);

    // The table of an upload type, or null when the type has none.
    const std::string* tableOf(Tak::PolicyNotify::EAuditUpType type) const;
    // The figures of a table tableOf() gave.
    TakMetrics::STTableFigures& figuresOf(const std::string& table);
    // The connection, or null (logged) when there is none or the service is closed.
    std::shared_ptr<TakDbConn> connection();
    // Whether the request's MAC is this session's own; a foreign one is logged.
    bool ownMac(const char* what, const std::string& mac);

    const std::string m_peerAddr;
    const std::map<Tak::PolicyNotify::EAuditUpType, std::string> m_tableNames;
    std::map<std::string, TakMetrics::STTableFigures*> m_figures;  // filled at construction
    const std::shared_ptr<TakReportedMacs> m_ownMacs;
    const std::shared_ptr<std::atomic<uint64_t>> m_waitingBytes;
    bool m_closed = false;  // guarded by m_mutex, as is m_dbConn
};
