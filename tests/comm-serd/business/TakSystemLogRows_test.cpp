#include "comm-serd/business/TakSystemLogRows.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <variant>
#include <vector>

namespace {

using Line = std::vector<std::string>;
using Row = std::vector<std::string>;
using Verdict = TakSystemLogRows::Verdict;

std::string logData(const std::vector<Line>& lines) {
    Tak::SystemLog::SystemLogContentAsr content;
    for (const Line& line : lines) {
        auto* out = content.add_logcontent();
        for (const std::string& item : line) out->add_stritem(item);
    }
    return content.SerializeAsString();
}

// Takes the bindings as a prepared statement does (by address) and reads them when "executed".
class Recorder {
public:
    void setParam(unsigned int index, std::string& value) { m_bound[index] = &value; }
    void setParam(unsigned int index, long long& value) { m_bound[index] = &value; }
    void clear() { m_bound.clear(); }

    // What an execution would send now, placeholder by placeholder, numbers as text.
    Row row() const {
        Row out;
        for (const auto& [index, value] : m_bound) {
            if (index != out.size())
                return {"placeholder " + std::to_string(out.size()) + " unbound"};
            if (auto* text = std::get_if<std::string*>(&value)) {
                out.push_back(**text);
            } else {
                out.push_back(std::to_string(*std::get<long long*>(value)));
            }
        }
        return out;
    }

private:
    std::map<unsigned int, std::variant<std::string*, long long*>> m_bound;
};

TEST(TakSystemLogRowsTest, TheFirstLineFixesTheStatement) {
    struct Case {
        std::vector<Line> lines;
        int items;
        std::string sql;  // for systemLog_kernelInfo, when items > 0
    };
    Case const cases[] = {
        {{{"1", "a", "b", "c", "d"}, {"2"}},
         5,
         "insert into systemLog_kernelInfo values(null, ?, ?,?,?,?,? )"},
        {{{"1"}}, 1, "insert into systemLog_kernelInfo values(null, ?, ? )"},
        {{}, 0, ""},
        {{{}, {"1", "a"}}, 0, ""},
    };
    for (const Case& c : cases) {
        TakSystemLogRows rows(logData(c.lines));
        EXPECT_EQ(rows.lineCount(), static_cast<int>(c.lines.size()));
        EXPECT_EQ(rows.itemCount(), c.items);
        if (c.items > 0) {
            EXPECT_EQ(rows.insertSql("systemLog_kernelInfo"), c.sql);
        }
    }
    // A payload that is not a SystemLogContentAsr has no line.
    EXPECT_EQ(TakSystemLogRows(std::string("\xff\xff\xff", 3)).lineCount(), 0);
}

TEST(TakSystemLogRowsTest, EachLineIsStoredWithItsOwnValuesOrSkippedForItsReason) {
    struct Case {
        Line line;
        Verdict verdict;
        Row row;  // bound, when stored
    };
    Case const cases[] = {
        {{"1700000001", "a1", "b1", "c1", "d1"},
         Verdict::Store,
         {"aa:01", "1700000001", "a1", "b1", "c1", "d1"}},
        {{"-42", "a2", "b2", "c2", "d2"}, Verdict::Store, {"aa:01", "-42", "a2", "b2", "c2", "d2"}},
        {{"12x", "bad", "bad", "bad", "bad"}, Verdict::BadFirstItem, {}},
        {{"7", "short", "short"}, Verdict::TooShort, {}},
        {{}, Verdict::TooShort, {}},
        // Too short is tested first.
        {{"x"}, Verdict::TooShort, {}},
        // The surplus item has no column.
        {{"+8", "a9", "b9", "c9", "d9", "surplus"},
         Verdict::Store,
         {"aa:01", "8", "a9", "b9", "c9", "d9"}},
        {{"3", "b'3", "c\\3", "", "d3"}, Verdict::Store, {"aa:01", "3", "b'3", "c\\3", "", "d3"}},
    };
    std::vector<Line> lines;
    for (const Case& c : cases) lines.push_back(c.line);
    TakSystemLogRows rows(logData(lines));
    ASSERT_EQ(rows.itemCount(), 5);

    std::string mac = "aa:01";
    Recorder stmt;
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        stmt.clear();
        EXPECT_EQ(rows.bindLine(static_cast<int>(i), stmt, mac), cases[i].verdict);
        EXPECT_EQ(stmt.row(), cases[i].row);
    }
    EXPECT_EQ(rows.counts().tooShort, 3);
    EXPECT_EQ(rows.counts().badFirstItem, 1);
    EXPECT_EQ(rows.counts().surplus, 1);
}

TEST(TakSystemLogRowsTest, BindingsStayValidUntilTheNextLine) {
    TakSystemLogRows rows(logData({{"1", "a"}, {"x", "skipped"}, {"2", "b"}}));
    std::string mac = "aa:01";
    Recorder stmt;
    ASSERT_EQ(rows.bindLine(0, stmt, mac), Verdict::Store);
    EXPECT_EQ(stmt.row(), (Row{"aa:01", "1", "a"}));
    // A skipped line binds nothing: the statement is not executed for it.
    ASSERT_EQ(rows.bindLine(1, stmt, mac), Verdict::BadFirstItem);
    EXPECT_EQ(stmt.row(), (Row{"aa:01", "1", "a"}));
    ASSERT_EQ(rows.bindLine(2, stmt, mac), Verdict::Store);
    EXPECT_EQ(stmt.row(), (Row{"aa:01", "2", "b"}));
}

TEST(TakSystemLogRowsTest, TheFirstItemIsASigned64BitDecimalNumberAndNothingElse) {
    struct Case {
        const char* text;
        bool ok;
        long long value;
    };
    Case const cases[] = {
        {"0", true, 0},
        {"-42", true, -42},
        {"+8", true, 8},
        {"007", true, 7},
        {"9223372036854775807", true, 9223372036854775807LL},
        {"-9223372036854775808", true, -9223372036854775807LL - 1},
        {"9223372036854775808", false, 0},
        {"-9223372036854775809", false, 0},
        {"", false, 0},
        {"+", false, 0},
        {"-", false, 0},
        {"+-5", false, 0},
        {"--5", false, 0},
        {" 5", false, 0},
        {"5 ", false, 0},
        {"12x", false, 0},
        {"0x10", false, 0},
        {"1e3", false, 0},
        {"1.0", false, 0},
    };
    for (const Case& c : cases) {
        long long value = 0;
        EXPECT_EQ(TakSystemLogRows::parseDecimal64(c.text, &value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    // Bytes after a NUL count: the whole text must be the number.
    long long value = 0;
    EXPECT_FALSE(TakSystemLogRows::parseDecimal64(std::string("5\0"
                                                              "1",
                                                              3),
                                                  &value));
}

}  // namespace
