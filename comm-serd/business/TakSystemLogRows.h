#pragma once

#include <string>

#include "Tak.SystemLog.pb.h"

// The rows a system-log upload stores, decided without the database.
//
// The first line fixes the statement: the MAC, then one placeholder per item of that line (an
// upload without line, or whose first line has no item, stores nothing). Each line is then
// stored or skipped, in this order of tests:
// - fewer items than the first line: skipped (TooShort);
// - a first item that is not a signed 64-bit decimal number, the whole text: skipped
//   (BadFirstItem);
// - otherwise stored: placeholder 0 the MAC, 1 the first item as a number, 2, 3, ... the
//   following items as text. Items beyond the first line's count have no column: they are
//   dropped and the line is counted as one with surplus items.
//
// The TakBsAuditInfo task binds the lines to its prepared statement; tests and the fuzz target
// bind them to a recorder.
class TakSystemLogRows {
public:
    enum class Verdict { Store, TooShort, BadFirstItem };

    // Of the lines decided so far.
    struct Counts {
        int tooShort = 0;
        int badFirstItem = 0;
        int surplus = 0;  // stored without their items beyond the first line's count
    };

    // logdata: a serialised SystemLogContentAsr. A payload that does not parse whole is taken as
    // far as it was read; an unreadable one has no line.
    explicit TakSystemLogRows(const std::string& logdata);

    int lineCount() const { return m_content.logcontent_size(); }
    // The placeholders after the MAC: the item count of the first line; 0 when nothing can be
    // stored.
    int itemCount() const { return m_items; }
    // "insert into <table> values(null, ?, " followed by itemCount() "?" joined by commas and
    // " )": itemCount() + 1 placeholders. Only for itemCount() > 0.
    std::string insertSql(const std::string& table) const;

    // Decides line i (each line once, in order) and, when it is stored, binds it to stmt (a
    // TakDbPreStatement, or anything with its setParam overloads for std::string& and
    // long long&). Values are bound by address: they stay valid and unchanged until the next
    // bindLine or the end of this object; mac likewise.
    template <typename Statement>
    Verdict bindLine(int i, Statement& stmt, std::string& mac);

    const Counts& counts() const { return m_counts; }

    // A signed 64-bit decimal number, the whole text: an optional sign and digits, nothing else.
    static bool parseDecimal64(const std::string& text, long long* value);

private:
    // The verdict on line i; for a stored line, m_first holds its first item as a number.
    Verdict decide(int i);

    Tak::SystemLog::SystemLogContentAsr m_content;
    int m_items = 0;
    long long m_first = 0;
    Counts m_counts;
};

template <typename Statement>
TakSystemLogRows::Verdict TakSystemLogRows::bindLine(int i, Statement& stmt, std::string& mac) {
    Verdict const verdict = decide(i);
    if (verdict != Verdict::Store) return verdict;
    Tak::SystemLog::LineLogContent& line = *m_content.mutable_logcontent(i);
    stmt.setParam(0, mac);
    stmt.setParam(1, m_first);
    for (int k = 1; k < m_items; ++k) {
        stmt.setParam(static_cast<unsigned int>(k + 1), *line.mutable_stritem(k));
    }
    return verdict;
}
