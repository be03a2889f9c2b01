#pragma once

#include <mysql.h>

#include <map>
#include <memory>
#include <string>

// A stored result set, read by column name. Built by TakDbConn::executeQuery, which hands it
// out standing on its first row (if it has one):
//
//   auto res = conn->executeQuery("select id, name from t");
//   if (res && res->rowCount() != 0) {
//       do { use(res->getInt("id"), res->getString("name")); } while (res->next());
//   }
//
// The readers never fail: a missing column, a SQL NULL or no current row read as 0 or as an
// empty string. A result is used by one thread at a time; it needs no connection once built.
class TakDbResult {
public:
    // Takes ownership of res (freed with the object); res may be null (an empty result).
    explicit TakDbResult(MYSQL_RES* res);
    virtual ~TakDbResult();
    TakDbResult(const TakDbResult&) = delete;
    TakDbResult& operator=(const TakDbResult&) = delete;

    // Position of the column, counted from 0, or -1. Names match exactly (case-sensitive);
    // when two columns share a name the first one has it.
    int _getIndex(const char* name);
    // The value as a decimal integer (strtol rules: leading blanks and a sign are accepted,
    // parsing stops at the first non-digit), narrowed to int.
    int getInt(std::string name);
    // The value as text, up to its first NUL byte.
    std::string getString(std::string name);
    // The value as bytes, exactly as stored (NUL bytes included).
    std::string getBlob(std::string name);
    // Steps to the next row; false when there is none (the result then has no current row).
    bool next();
    unsigned long long rowCount();
    // True for a SQL NULL, a missing column or no current row.
    bool isNull(std::string name);

private:
    // The current row's value of a column, or null (no such column, no current row, SQL NULL).
    const char* value(int index, unsigned long* length);

    struct ResultFree {
        void operator()(MYSQL_RES* res) const { mysql_free_result(res); }
    };

    std::unique_ptr<MYSQL_RES, ResultFree> m_res;
    MYSQL_ROW m_row = nullptr;
    unsigned long* m_lengths = nullptr;
    std::map<std::string, int> m_fieldIndex;
    unsigned int m_fieldCount = 0;
};
