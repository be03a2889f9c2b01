#include "comm-serd/business/TakSecLogRows.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <variant>
#include <vector>

namespace {

using Row = std::vector<std::string>;

// Takes the bindings as a prepared statement does (by address) and reads them when "executed".
class Recorder {
public:
    void setParam(unsigned int index, std::string& value) { m_bound[index] = &value; }
    void setParam(unsigned int index, int& value) { m_bound[index] = &value; }

    Row row() const {
        Row out;
        for (const auto& [index, value] : m_bound) {
            if (index != out.size())
                return {"placeholder " + std::to_string(out.size()) + " unbound"};
            if (auto* text = std::get_if<std::string*>(&value)) {
                out.push_back(**text);
            } else {
                out.push_back(std::to_string(*std::get<int*>(value)));
            }
        }
        return out;
    }

private:
    std::map<unsigned int, std::variant<std::string*, int*>> m_bound;
};

TEST(TakSecLogRowsTest, EveryRecordBindsItsFieldsInTheTablesColumnOrder) {
    Tak::SecureLog::AuditContentAsr content;
    for (int i = 1; i <= 3; ++i) {
        auto* record = content.add_arrauditcontent();
        record->set_nprocessed(0);
        record->set_ntype(10 * i);
        record->set_struser("user" + std::to_string(i));
        record->set_nresult(i % 2);
        record->set_ntime(1700000000 + i);
        record->set_nop(7);
        record->set_strsummary("sum'" + std::to_string(i));
        record->set_strdesc("desc\\" + std::to_string(i));
        record->set_nsubtype(9);
    }
    // A record that lacks fields still binds every placeholder (absent ones read 0 or "").
    content.add_arrauditcontent()->set_struser("bare");

    TakSecLogRows rows(content.SerializePartialAsString());
    ASSERT_EQ(rows.recordCount(), 4);
    EXPECT_STREQ(TakSecLogRows::kInsertSql,
                 "insert into secureLog_record values(null, ?, ?, ?, ?,?, ?, ?, ?)");
    std::string mac = "aa:01";
    Recorder stmt;
    std::vector<Row> const expected = {
        {"aa:01", "1700000001", "10", "user1", "1", "10", "sum'1", "desc\\1"},
        {"aa:01", "1700000002", "20", "user2", "0", "20", "sum'2", "desc\\2"},
        {"aa:01", "1700000003", "30", "user3", "1", "30", "sum'3", "desc\\3"},
        {"aa:01", "0", "0", "bare", "0", "0", "", ""},
    };
    for (int i = 0; i < rows.recordCount(); ++i) {
        rows.bindRecord(i, stmt, mac);
        EXPECT_EQ(stmt.row(), expected[static_cast<size_t>(i)]) << i;
    }
    EXPECT_EQ(TakSecLogRows(std::string("\xff\xff\xff", 3)).recordCount(), 0);
}

}  // namespace
