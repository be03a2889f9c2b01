#include "comm-serd/business/TakSystemLogRows.h"

#include <charconv>
#include <system_error>

TakSystemLogRows::TakSystemLogRows(const std::string& logdata) {
    m_content.ParsePartialFromString(logdata);
    if (m_content.logcontent_size() != 0) m_items = m_content.logcontent(0).stritem_size();
}

std::string TakSystemLogRows::insertSql(const std::string& table) const {
    std::string sql = "insert into " + table + " values(null, ?, ";
    for (int i = 0; i < m_items; ++i) sql += "?,";
    sql.pop_back();
    sql += " )";
    return sql;
}

TakSystemLogRows::Verdict TakSystemLogRows::decide(int i) {
    const Tak::SystemLog::LineLogContent& line = m_content.logcontent(i);
    // Without items in the first line nothing can be stored (bindLine is not meant for it).
    if (m_items == 0 || line.stritem_size() < m_items) {
        ++m_counts.tooShort;
        return Verdict::TooShort;
    }
    if (!parseDecimal64(line.stritem(0), &m_first)) {
        ++m_counts.badFirstItem;
        return Verdict::BadFirstItem;
    }
    if (line.stritem_size() > m_items) ++m_counts.surplus;
    return Verdict::Store;
}

bool TakSystemLogRows::parseDecimal64(const std::string& text, long long* value) {
    const char* first = text.data();
    const char* const last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
        if (first == last || *first == '-') return false;
    }
    auto const [end, ec] = std::from_chars(first, last, *value, 10);
    return ec == std::errc() && end == last;
}
