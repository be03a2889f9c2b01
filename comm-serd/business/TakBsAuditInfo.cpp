#include "comm-serd/business/TakBsAuditInfo.h"

#include "comm-serd/business/TakAuditStore.h"
#include "comm-serd/business/TakSecLogRows.h"
#include "comm-serd/business/TakSystemLogRows.h"
#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "comm-serd/db/TakDbPreStatement.h"
#include "log/TakNanolog.h"

using Tak::PolicyNotify::EAuditUpType;

namespace {

// Counts an upload's bytes as waiting for as long as its task exists (run or dropped).
class WaitingUpload {
public:
    WaitingUpload(std::shared_ptr<std::atomic<uint64_t>> gauge, uint64_t bytes)
        : m_gauge(std::move(gauge)), m_bytes(bytes) {
        if (m_gauge) *m_gauge += m_bytes;
    }
    ~WaitingUpload() {
        if (m_gauge) *m_gauge -= m_bytes;
    }
    WaitingUpload(const WaitingUpload&) = delete;
    WaitingUpload& operator=(const WaitingUpload&) = delete;

private:
    std::shared_ptr<std::atomic<uint64_t>> m_gauge;
    uint64_t m_bytes;
};

}  // namespace

TakBsAuditInfo::TakBsAuditInfo(uint64_t id, std::string peerAddr,
                               std::map<EAuditUpType, std::string> tableNames,
                               std::shared_ptr<TakDbConn> db,
                               std::shared_ptr<TakReportedMacs> ownMacs,
                               std::shared_ptr<std::atomic<uint64_t>> waitingBytes)
    : m_peerAddr(std::move(peerAddr)),
      m_tableNames(std::move(tableNames)),
      m_ownMacs(std::move(ownMacs)),
      m_waitingBytes(std::move(waitingBytes)) {
    m_id = id;
    m_dbConn = std::move(db);
    for (const auto& [type, table] : m_tableNames) {
        m_figures[table] = &TakMetrics::instance().table(table);
    }
    m_handlers[Tak::ComDefine::policy_auditUp] = [this](const std::string& data) {
        processAuditUpload(data);
    };
    m_handlers[Tak::ComDefine::policy_auditReset] = [this](const std::string& data) {
        processReset(data);
    };
}

TakBsAuditInfo::~TakBsAuditInfo() = default;

void TakBsAuditInfo::processBs(const Tak::Business::Businessdata& bs) { runHandler(bs); }

const std::string* TakBsAuditInfo::tableOf(EAuditUpType type) const {
    auto it = m_tableNames.find(type);
    return it == m_tableNames.end() ? nullptr : &it->second;
}

TakMetrics::STTableFigures& TakBsAuditInfo::figuresOf(const std::string& table) {
    return *m_figures.at(table);
}

std::shared_ptr<TakDbConn> TakBsAuditInfo::connection() {
    std::shared_ptr<TakDbConn> conn;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) {
            TAK_LOG_DEBUG("audit request after close dropped, session:" << m_id);
            return nullptr;
        }
        conn = m_dbConn;
    }
    if (!conn) {
        TakMetrics::instance().uploadsNoDatabase.add();
        reportNoDatabase(g_strAuditDbName);
    }
    return conn;
}

bool TakBsAuditInfo::ownMac(const char* what, const std::string& mac) {
    if (m_ownMacs && m_ownMacs->contains(mac)) return true;
    TAK_LOG_WARN(what << "dropped, the MAC is not this session's device: peer:" << m_peerAddr
                      << "mac:" << mac);
    TakMetrics::instance().uploadsForeignMac.add();
    return false;
}

void TakBsAuditInfo::processAuditUpload(const std::string& data) {
    // A missing type reads as auditUpType_unkonw, which has no table.
    Tak::PolicyNotify::AuditContentUpReq request;
    request.ParsePartialFromString(data);
    const std::string* table = tableOf(request.ntype());
    if (table == nullptr) {
        TAK_LOG_WARN("audit upload skipped, its type has no table:"
                     << static_cast<int>(request.ntype()) << "mac:" << request.strmac());
        TakMetrics::instance().uploadsUnknownType.add();
        return;
    }
    if (!ownMac("audit upload", request.strmac())) return;
    auto conn = connection();
    if (!conn) return;
    TakMetrics::STTableFigures& figures = figuresOf(*table);
    figures.uploads.add();
    if (request.ntype() == Tak::PolicyNotify::auditUpType_secLog) {
        saveSecLog(conn, figures, request.strmac(), request.bylogdata());
    } else {
        saveSystemLog(conn, *table, figures, request.strmac(), request.bylogdata());
    }
}

void TakBsAuditInfo::saveSecLog(const std::shared_ptr<TakDbConn>& conn,
                                TakMetrics::STTableFigures& figures, const std::string& mac,
                                const std::string& logdata) {
    std::weak_ptr<TakDbConn> weakConn = conn;
    auto waiting = std::make_shared<WaitingUpload>(m_waitingBytes, logdata.size());
    conn->processReq(m_id, STDbTaskInfo{"secureLog_record", logdata.size()},
                     [weakConn, figures = &figures, mac, logdata, waiting] {
                         // The worker keeps its connection alive while a task runs.
                         if (auto c = weakConn.lock()) storeSecLog(*c, *figures, mac, logdata);
                     });
}

void TakBsAuditInfo::saveSystemLog(const std::shared_ptr<TakDbConn>& conn, const std::string& table,
                                   TakMetrics::STTableFigures& figures, const std::string& mac,
                                   const std::string& logdata) {
    std::weak_ptr<TakDbConn> weakConn = conn;
    auto waiting = std::make_shared<WaitingUpload>(m_waitingBytes, logdata.size());
    conn->processReq(m_id, STDbTaskInfo{table, logdata.size()},
                     [weakConn, table, figures = &figures, mac, logdata, waiting] {
                         if (auto c = weakConn.lock())
                             storeSystemLog(*c, table, *figures, mac, logdata);
                     });
}

void TakBsAuditInfo::storeSecLog(TakDbConn& conn, TakMetrics::STTableFigures& figures,
                                 const std::string& mac, const std::string& logdata) {
    TakSecLogRows rows(logdata);
    if (rows.recordCount() == 0) return;

    TakDbPreStatement stmt;
    if (!stmt.init(conn, TakSecLogRows::kInsertSql).ok()) return;  // logged by the statement
    std::string macText = mac;
    int tooLarge = 0;
    uint64_t stored = 0;
    for (int i = 0; i < rows.recordCount(); ++i) {
        rows.bindRecord(i, stmt, macText);
        if (!stmt.fitsServerPacket()) {
            ++tooLarge;
            continue;
        }
        // A failed record (logged) does not stop the others: it does not end the transaction.
        if (stmt.executeUpdate().ok()) ++stored;
    }
    if (tooLarge != 0) {
        TAK_LOG_WARN("security-log records skipped, larger than the server's max_allowed_packet:"
                     << "secureLog_record"
                     << "records skipped:" << tooLarge << "mac:" << mac);
    }
    // One commit for the whole upload; counted once durable (a task that lost its connection
    // runs again and counts then).
    if (stored != 0 && !stmt.commit().ok()) return;
    figures.rowsStored.add(stored);
    figures.linesSkipped[TakMetrics::kSkipTooLarge].add(static_cast<uint64_t>(tooLarge));
}

void TakBsAuditInfo::storeSystemLog(TakDbConn& conn, const std::string& table,
                                    TakMetrics::STTableFigures& figures, const std::string& mac,
                                    const std::string& logdata) {
    TakSystemLogRows rows(logdata);
    int const lines = rows.lineCount();
    if (lines == 0) {
        TAK_LOG_DEBUG("log size is empty");
        return;
    }
    TAK_LOG_DEBUG(table << lines);

    if (rows.itemCount() == 0) {
        TAK_LOG_WARN("system-log upload skipped, its first line has no item:"
                     << table << "lines skipped:" << lines << "mac:" << mac);
        figures.linesSkipped[TakMetrics::kSkipNoItems].add(static_cast<uint64_t>(lines));
        return;
    }
    TakDbPreStatement stmt;
    if (!stmt.init(conn, rows.insertSql(table)).ok()) return;  // logged by the statement
    std::string macText = mac;
    int tooLarge = 0;
    uint64_t stored = 0;
    for (int i = 0; i < lines; ++i) {
        if (rows.bindLine(i, stmt, macText) != TakSystemLogRows::Verdict::Store) continue;
        if (!stmt.fitsServerPacket()) {
            ++tooLarge;
            continue;
        }
        if (stmt.executeUpdate().ok()) ++stored;
    }
    const TakSystemLogRows::Counts& counts = rows.counts();
    if (counts.badFirstItem != 0) {
        TAK_LOG_WARN("system-log lines skipped, first item not a 64-bit decimal number:"
                     << table << "lines skipped:" << counts.badFirstItem << "mac:" << mac);
    }
    if (counts.tooShort != 0) {
        TAK_LOG_WARN("system-log lines skipped, fewer items than the first line:"
                     << table << "lines skipped:" << counts.tooShort << "mac:" << mac);
    }
    if (tooLarge != 0) {
        TAK_LOG_WARN("system-log lines skipped, larger than the server's max_allowed_packet:"
                     << table << "lines skipped:" << tooLarge << "mac:" << mac);
    }
    if (counts.surplus != 0) {
        TAK_LOG_WARN("system-log lines stored without their items beyond the first line's count:"
                     << table << "lines:" << counts.surplus << "mac:" << mac);
    }
    // One commit for the whole upload; counted once durable.
    if (stored != 0 && !stmt.commit().ok()) return;
    figures.rowsStored.add(stored);
    figures.linesSkipped[TakMetrics::kSkipBadFirstItem].add(
        static_cast<uint64_t>(counts.badFirstItem));
    figures.linesSkipped[TakMetrics::kSkipTooFewItems].add(static_cast<uint64_t>(counts.tooShort));
    figures.linesSkipped[TakMetrics::kSkipTooLarge].add(static_cast<uint64_t>(tooLarge));
}

void TakBsAuditInfo::processReset(const std::string& data) {
    Tak::PolicyNotify::AuditLogResetReq request;
    request.ParsePartialFromString(data);
    const std::string* table = tableOf(request.ntype());
    if (table == nullptr) {
        TAK_LOG_WARN("audit reset skipped, its type has no table:"
                     << static_cast<int>(request.ntype()) << "mac:" << request.strmac());
        return;
    }
    if (!ownMac("audit reset", request.strmac())) return;
    auto conn = connection();
    if (!conn) return;
    TAK_LOG_DEBUG("processReset:" << *table);
    figuresOf(*table).resets.add();
    std::string sql = TakAuditStore(*conn).resetSql(*table, request.strmac());
    std::weak_ptr<TakDbConn> weakConn = conn;
    conn->processReq(m_id, STDbTaskInfo{*table, sql.size()}, [weakConn, sql = std::move(sql)] {
        if (auto c = weakConn.lock()) deleteLogs(*c, sql);
    });
}

void TakBsAuditInfo::deleteLogs(TakDbConn& conn, const std::string& sql) {
    TakStatus const status = TakAuditStore(conn).runReset(sql);
    // Not ok: logged by the statement; a lost connection reruns the task. A reset the server
    // refused deleted nothing: the device's rows stay, as they would without the request.
    if (!status.ok()) return;
}

void TakBsAuditInfo::close() {
    std::shared_ptr<TakDbConn> conn;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        conn = std::move(m_dbConn);
        m_dbConn.reset();
    }
    if (conn) conn->stopTaskById(m_id);
    TAK_LOG_DEBUG("close");
}
