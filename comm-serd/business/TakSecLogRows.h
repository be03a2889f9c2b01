#pragma once

#include <string>

#include "Tak.SecureLog.pb.h"

// The rows a security-log upload stores, decided without the database: one row per record of
// the AuditContentAsr, in order, every record stored.
//
// The TakBsAuditInfo task binds the records to its prepared statement; tests and the fuzz target
// bind them to a recorder.
class TakSecLogRows {
public:
    static constexpr const char* kInsertSql =
        "insert into secureLog_record values(null, ?, ?, ?, ?,?, ?, ?, ?)";

    // logdata: a serialised AuditContentAsr. A payload that does not parse whole is taken as far
    // as it was read; an unreadable one has no record.
    explicit TakSecLogRows(const std::string& logdata);

    int recordCount() const { return m_content.arrauditcontent_size(); }

    // Binds record i to stmt (a TakDbPreStatement, or anything with its setParam overloads for
    // std::string& and int&): 0 the MAC, 1 nTime, 2 nType, 3 strUser, 4 nResult, 5 nType again
    // (the sixth column holds the record's type a second time), 6 strSummary, 7 strDesc. Values
    // are bound by address: they stay valid and unchanged until the next bindRecord or the end
    // of this object; mac likewise.
    template <typename Statement>
    void bindRecord(int i, Statement& stmt, std::string& mac);

private:
    Tak::SecureLog::AuditContentAsr m_content;
    // The numbers of the record bound last.
    int m_time = 0;
    int m_type = 0;
    int m_result = 0;
    int m_auditType = 0;
};

template <typename Statement>
void TakSecLogRows::bindRecord(int i, Statement& stmt, std::string& mac) {
    Tak::SecureLog::AuditContentAsr::AuditContent& record = *m_content.mutable_arrauditcontent(i);
    m_time = record.ntime();
    m_type = record.ntype();
    m_result = record.nresult();
    m_auditType = record.ntype();
    stmt.setParam(0, mac);
    stmt.setParam(1, m_time);
    stmt.setParam(2, m_type);
    stmt.setParam(3, *record.mutable_struser());
    stmt.setParam(4, m_result);
    stmt.setParam(5, m_auditType);
    stmt.setParam(6, *record.mutable_strsummary());
    stmt.setParam(7, *record.mutable_strdesc());
}
