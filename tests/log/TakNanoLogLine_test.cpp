#include "log/TakNanoLogLine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <regex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

using TakNanolog::LogLevel;
using TakNanolog::TakNanoLogLine;

namespace {

constexpr char kFile[] = "/src/comm-serd/main.cpp";
constexpr char kFunction[] = "serveInit";

TakNanoLogLine makeRecord(uint8_t level = 0) { return TakNanoLogLine(level, kFile, kFunction, 48); }

// The text after the header line.
std::string body(TakNanoLogLine& record) {
    std::string const text = record.getLineLogInfo();
    size_t const newline = text.find('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

struct FormatCase {
    const char* name;
    std::function<void(TakNanoLogLine&)> stream;
    std::string expected;  // everything after the header line
};

}  // namespace

TEST(TakNanoLogLineTest, EachArgumentKindPrintsFollowedByOneSpace) {
    const char* const nullText = nullptr;
    const char* const emptyText = "";
    const char* const cText = "abc";
    std::string const withNul("ab\0cd", 5);
    const std::vector<FormatCase> cases = {
        {"no argument", [](TakNanoLogLine&) {}, "\n\n"},
        {"string literal", [](TakNanoLogLine& r) { r << "tcpserver init"; }, "tcpserver init \n\n"},
        {"null char const*", [&](TakNanoLogLine& r) { r << nullText; }, "\n\n"},
        {"empty char const*", [&](TakNanoLogLine& r) { r << emptyText; }, "\n\n"},
        {"char const*", [&](TakNanoLogLine& r) { r << cText; }, "abc \n\n"},
        {"null char const* between", [&](TakNanoLogLine& r) { r << "a" << nullText << "b"; },
         "a b \n\n"},
        {"std::string", [](TakNanoLogLine& r) { r << std::string("abc"); }, "abc  \n\n"},
        {"empty std::string", [](TakNanoLogLine& r) { r << std::string(); }, "  \n\n"},
        {"std::string cut at NUL", [&](TakNanoLogLine& r) { r << withNul; }, "ab  \n\n"},
        {"std::string_view", [](TakNanoLogLine& r) { r << std::string_view("xyz"); }, "xyz \n\n"},
        {"char", [](TakNanoLogLine& r) { r << 'x'; }, "x \n\n"},
        {"int32", [](TakNanoLogLine& r) { r << int32_t{-5}; }, "-5 \n\n"},
        {"uint32", [](TakNanoLogLine& r) { r << uint32_t{4000000000u}; }, "4000000000 \n\n"},
        {"int64", [](TakNanoLogLine& r) { r << int64_t{-9000000000}; }, "-9000000000 \n\n"},
        {"uint64 max", [](TakNanoLogLine& r) { r << std::numeric_limits<uint64_t>::max(); },
         "18446744073709551615 \n\n"},
        {"long long", [](TakNanoLogLine& r) { r << -7LL; }, "-7 \n\n"},
        {"unsigned long long", [](TakNanoLogLine& r) { r << 7ULL; }, "7 \n\n"},
        {"size_t", [](TakNanoLogLine& r) { r << size_t{123}; }, "123 \n\n"},
        {"short promotes", [](TakNanoLogLine& r) { r << static_cast<short>(-3); }, "-3 \n\n"},
        {"double, 6 significant digits", [](TakNanoLogLine& r) { r << 3.14159265; },
         "3.14159 \n\n"},
        {"large double", [](TakNanoLogLine& r) { r << 1e20; }, "1e+20 \n\n"},
        {"message with values", [](TakNanoLogLine& r) { r << "server listen on port:" << 7300; },
         "server listen on port: 7300 \n\n"},
    };
    for (const auto& c : cases) {
        TakNanoLogLine record = makeRecord();
        c.stream(record);
        EXPECT_EQ(body(record), c.expected) << c.name;
    }
}

TEST(TakNanoLogLineTest, WritableCharArrayIsCopiedNotStoredByAddress) {
    TakNanoLogLine record = makeRecord();
    {
        char local[16] = "mac-0001";
        record << local;
        std::strcpy(local, "overwritten");
    }
    char empty[8] = "";
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    record << empty << unterminated;
    EXPECT_EQ(body(record), "mac-0001 abcd \n\n");
}

TEST(TakNanoLogLineTest, HeaderLineCarriesTimeLevelThreadAndSource) {
    auto const before = std::chrono::system_clock::now();
    TakNanoLogLine record = makeRecord();
    record << "tcpserver init";
    std::string const text = record.getLineLogInfo();

    std::regex const header(
        R"(^\[(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})\.(\d{6})\]\[INFO\]\[(\d+)\])"
        R"(\[/src/comm-serd/main\.cpp:serveInit:48行\]\ntcpserver init \n\n$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, header)) << text;

    std::ostringstream self;
    self << std::this_thread::get_id();
    EXPECT_EQ(m[3].str(), self.str());

    // Local time, to the microsecond: parse it back and compare with the clock.
    std::tm tm{};
    ASSERT_NE(strptime(m[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &tm), nullptr);
    tm.tm_isdst = -1;
    auto const printed = std::chrono::system_clock::from_time_t(std::mktime(&tm)) +
                         std::chrono::microseconds(std::stoll(m[2].str()));
    EXPECT_LE(std::chrono::abs(printed - before), std::chrono::seconds(2));
}

TEST(TakNanoLogLineTest, LevelNames) {
    const std::vector<std::pair<uint8_t, std::string>> levels = {
        {0, "INFO"}, {1, "DEBUG"}, {2, "WARN"}, {3, "ERROR"}, {4, "XXXX"}, {255, "XXXX"}};
    for (const auto& [level, name] : levels) {
        TakNanoLogLine record = makeRecord(level);
        std::string const text = record.getLineLogInfo();
        EXPECT_NE(text.find("][" + name + "]["), std::string::npos) << int(level) << ": " << text;
        EXPECT_EQ(record.level(), level);
    }
    EXPECT_EQ(TakNanoLogLine(LogLevel::ERROR, kFile, kFunction, 1).level(), 3);
}

TEST(TakNanoLogLineTest, EncodedSizeOfEachArgumentKind) {
    struct SizeCase {
        const char* name;
        std::function<void(TakNanoLogLine&)> stream;
        size_t bytes;  // tag and payload
    };
    const char* const cText = "abc";
    const char* const nullText = nullptr;
    const std::vector<SizeCase> cases = {
        {"char", [](TakNanoLogLine& r) { r << 'c'; }, 2},
        {"uint32", [](TakNanoLogLine& r) { r << uint32_t{1}; }, 5},
        {"uint64", [](TakNanoLogLine& r) { r << uint64_t{1}; }, 9},
        {"int32", [](TakNanoLogLine& r) { r << int32_t{1}; }, 5},
        {"int64", [](TakNanoLogLine& r) { r << int64_t{1}; }, 9},
        {"double", [](TakNanoLogLine& r) { r << 1.0; }, 9},
        {"literal: the address only", [](TakNanoLogLine& r) { r << "a long literal text"; }, 9},
        {"C string with its NUL", [&](TakNanoLogLine& r) { r << cText; }, 5},
        {"null C string: nothing", [&](TakNanoLogLine& r) { r << nullText; }, 0},
        {"std::string with space and NUL", [](TakNanoLogLine& r) { r << std::string("abc"); }, 6},
    };
    for (const auto& c : cases) {
        TakNanoLogLine record = makeRecord();
        ASSERT_EQ(record.bytesUsed(), TakNanoLogLine::kHeaderSize);
        c.stream(record);
        EXPECT_EQ(record.bytesUsed(), TakNanoLogLine::kHeaderSize + c.bytes) << c.name;
    }
}

TEST(TakNanoLogLineTest, GrowsOntoTheHeapAtTheInlineLimitAndDoubles) {
    TakNanoLogLine record = makeRecord();
    // Exactly fills the 216 inline bytes: header 37 + tag + 177 characters + NUL.
    std::string const fill(177, 'f');
    record << fill.c_str();
    EXPECT_EQ(record.bytesUsed(), 216u);
    EXPECT_FALSE(record.onHeap());
    EXPECT_EQ(record.bufferSize(), 216u);

    record << 'x';
    EXPECT_TRUE(record.onHeap());
    EXPECT_EQ(record.bufferSize(), 512u);

    std::string expected = fill + " x ";
    for (int i = 0; record.bufferSize() == 512u; ++i) {
        record << int32_t{i};
        expected += std::to_string(i) + " ";
    }
    EXPECT_EQ(record.bufferSize(), 1024u);

    // One argument larger than twice the buffer gets exactly the room it needs.
    std::string const big(3000, 'b');
    size_t const required = record.bytesUsed() + 1 + big.size() + 2;
    record << big;
    EXPECT_EQ(record.bufferSize(), required);
    expected += big + "  ";

    // Every argument survives each move of the buffer, in order.
    EXPECT_EQ(body(record), expected + "\n\n");
}

TEST(TakNanoLogLineTest, SingleLargeArgumentOnAnInlineRecord) {
    TakNanoLogLine record = makeRecord();
    std::string const big(600, 'q');
    record << big;
    EXPECT_TRUE(record.onHeap());
    EXPECT_EQ(record.bufferSize(), TakNanoLogLine::kHeaderSize + 1 + 600 + 2);
    EXPECT_EQ(body(record), big + "  \n\n");
}

TEST(TakNanoLogLineTest, MovedRecordsStayValid) {
    std::string const big(400, 'h');
    TakNanoLogLine heap = makeRecord(2);
    heap << "first" << big;
    ASSERT_TRUE(heap.onHeap());
    std::string const text = heap.getLineLogInfo();

    TakNanoLogLine moved(std::move(heap));
    EXPECT_EQ(moved.getLineLogInfo(), text);

    // The moved-from record falls back to its header and can be used again.
    EXPECT_FALSE(heap.onHeap());
    for (int i = 0; i < 40; ++i) heap << "again";
    EXPECT_EQ(heap.level(), 2);
    std::string again;
    for (int i = 0; i < 40; ++i) again += "again ";
    EXPECT_EQ(body(heap), again + "\n\n");

    // Assignment replaces a heap buffer the target held; an inline record is copied whole.
    TakNanoLogLine inlineRecord = makeRecord(1);
    inlineRecord << int32_t{42};
    moved = std::move(inlineRecord);
    EXPECT_FALSE(moved.onHeap());
    EXPECT_EQ(body(moved), "42 \n\n");
    EXPECT_EQ(body(inlineRecord), "42 \n\n");
}

namespace {

class SyncCounter : public std::stringbuf {
public:
    int syncs = 0;

protected:
    int sync() override {
        ++syncs;
        return std::stringbuf::sync();
    }
};

}  // namespace

TEST(TakNanoLogLineTest, ErrorAndUnknownLevelsFlushTheStream) {
    for (uint8_t level = 0; level <= 4; ++level) {
        SyncCounter buffer;
        std::ostream os(&buffer);
        TakNanoLogLine record = makeRecord(level);
        record << "text";
        record.stringify(os);
        EXPECT_EQ(buffer.syncs > 0, level >= 3) << int(level);
    }
}
