#include "comm-serd/db/TakDbResult.h"

#include <cstdlib>
#include <cstring>

TakDbResult::TakDbResult(MYSQL_RES* res) : m_res(res) {
    if (!m_res) return;
    m_fieldCount = mysql_num_fields(m_res.get());
    MYSQL_FIELD* fields = mysql_fetch_fields(m_res.get());
    for (unsigned int i = 0; fields != nullptr && i < m_fieldCount; ++i) {
        std::string name(fields[i].name ? fields[i].name : "", fields[i].name_length);
        m_fieldIndex.emplace(std::move(name), static_cast<int>(i));  // the first one keeps it
    }
    // A fresh result stands on its first row.
    if (mysql_num_rows(m_res.get()) != 0) next();
}

TakDbResult::~TakDbResult() = default;

int TakDbResult::_getIndex(const char* name) {
    if (name == nullptr) return -1;
    auto it = m_fieldIndex.find(name);
    return it == m_fieldIndex.end() ? -1 : it->second;
}

const char* TakDbResult::value(int index, unsigned long* length) {
    *length = 0;
    if (index < 0 || static_cast<unsigned int>(index) >= m_fieldCount || m_row == nullptr) {
        return nullptr;
    }
    const char* cell = m_row[index];
    if (cell != nullptr && m_lengths != nullptr) *length = m_lengths[index];
    return cell;
}

int TakDbResult::getInt(std::string name) {
    unsigned long length = 0;
    const char* cell = value(_getIndex(name.c_str()), &length);
    if (cell == nullptr) return 0;
    return static_cast<int>(std::strtol(cell, nullptr, 10));
}

std::string TakDbResult::getString(std::string name) {
    unsigned long length = 0;
    const char* cell = value(_getIndex(name.c_str()), &length);
    if (cell == nullptr) return {};
    return std::string(cell, ::strnlen(cell, length));
}

std::string TakDbResult::getBlob(std::string name) {
    unsigned long length = 0;
    const char* cell = value(_getIndex(name.c_str()), &length);
    if (cell == nullptr) return {};
    return std::string(cell, length);
}

bool TakDbResult::next() {
    if (!m_res) return false;
    m_row = mysql_fetch_row(m_res.get());
    m_lengths = m_row ? mysql_fetch_lengths(m_res.get()) : nullptr;
    return m_row != nullptr;
}

unsigned long long TakDbResult::rowCount() { return m_res ? mysql_num_rows(m_res.get()) : 0; }

bool TakDbResult::isNull(std::string name) {
    unsigned long length = 0;
    return value(_getIndex(name.c_str()), &length) == nullptr;
}
