#include "comm-serd/TakConfigReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/TakTempDir.h"

namespace {

// A reader over a file with the given text.
struct ConfigFile {
    explicit ConfigFile(const std::string& text)
        : path(dir.writeFile("config.ini", text).string()), reader(path) {}
    TakTempDir dir;
    std::string path;
    TakConfigReader reader;
};

}  // namespace

TEST(TakConfigReaderTest, NumbersAreWholeDecimalsWithinTheirRange) {
    struct Case {
        const char* line;              // the line under [S], or nothing for an absent key
        std::optional<long long> got;  // the value read; nothing when it is an error
    };
    // The key N takes 1 to 65535, defaults to 7400.
    const std::vector<Case> cases = {
        {"N = 7401", 7401},
        {"n=1", 1},
        {"N = 65535", 65535},
        {"N = 010", 10},  // decimal, not octal
        {"N = 7401 ; the console", 7401},
        {"N =  7401\t", 7401},
        {"", 7400},  // absent: the default, no error
        {"N = 0", std::nullopt},
        {"N = 65536", std::nullopt},
        {"N = 99999999999999999999999", std::nullopt},
        {"N = -1", std::nullopt},
        {"N = +7401", std::nullopt},
        {"N = abc", std::nullopt},
        {"N = 7401x", std::nullopt},
        {"N = 0x1cf9", std::nullopt},
        {"N = 74 01", std::nullopt},
        {"N = 7401 # the console", std::nullopt},  // "#" after a value is not a comment
        {"N = 7401;comment", std::nullopt},        // nor ";" without white space before it
        {"N =", std::nullopt},                     // empty: leave the line out for the default
        {"N = 7401\nN = 7402", std::nullopt},      // given twice
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ConfigFile file(std::string("[S]\n") + c.line + "\n");
        int const value = file.reader.number("s", "N", 7400, 1, 65535);
        if (c.got) {
            EXPECT_EQ(value, *c.got);
            EXPECT_TRUE(file.reader.errors().empty()) << file.reader.errors()[0].describe();
        } else {
            EXPECT_EQ(value, 7400) << "an error keeps the default";
            ASSERT_EQ(file.reader.errors().size(), 1u);
            const STConfigError& error = file.reader.errors()[0];
            EXPECT_EQ(error.file, file.path);
            EXPECT_EQ(error.section, "s");
            EXPECT_EQ(error.key, "N");
            EXPECT_EQ(error.problem, "expected a whole number from 1 to 65535");
        }
    }
}

TEST(TakConfigReaderTest, WideAndUnsignedRanges) {
    ConfigFile file(
        "[L]\nBytes = 1099511627776\nTooMany = 1099511627777\nLimit = 0\nHuge = "
        "18446744073709551615\n");
    EXPECT_EQ(file.reader.number("L", "Bytes", uint64_t{5}, uint64_t{1}, uint64_t{1} << 40),
              uint64_t{1} << 40);
    EXPECT_EQ(file.reader.number("L", "TooMany", uint64_t{5}, uint64_t{1}, uint64_t{1} << 40), 5u);
    EXPECT_EQ(file.reader.number("L", "Limit", 50000, 0, 1 << 30), 0);
    EXPECT_EQ(file.reader.number("L", "Huge", 3u, 1u, 65535u), 3u);
    ASSERT_EQ(file.reader.errors().size(), 2u);
    EXPECT_EQ(file.reader.errors()[0].key, "TooMany");
    EXPECT_EQ(file.reader.errors()[0].problem, "expected a whole number from 1 to 1099511627776");
    EXPECT_EQ(file.reader.errors()[1].key, "Huge");
}

TEST(TakConfigReaderTest, DescriptionNamesFileSectionKeyAndValue) {
    ConfigFile file("[Limits]\nDeviceLimit = lots\n[IPInfo]\nPORT = 7300\nPORT = \"7\\\"\n");
    (void)file.reader.number("Limits", "DeviceLimit", 50000, 0, 1 << 30);
    (void)file.reader.number("IPInfo", "PORT", 7300, 1, 65535);
    ASSERT_EQ(file.reader.errors().size(), 2u);
    // The names as the caller spells them, the value as written, quoted.
    EXPECT_EQ(file.reader.errors()[0].describe(),
              file.path + ": [Limits] DeviceLimit = \"lots\": expected a whole number from 0 to " +
                  std::to_string(1 << 30));
    EXPECT_EQ(file.reader.errors()[1].describe(),
              file.path +
                  ": [IPInfo] PORT = \"7300\\n\\\"7\\\\\\\"\": expected a whole number from 1 to "
                  "65535");
}

TEST(TakConfigReaderTest, Addresses) {
    ConfigFile file("[R]\nV4 = 127.0.0.1\nV6 = ::1\nAll =\nName = localhost\nBad = 127.0.0.256\n");
    EXPECT_EQ(file.reader.address("R", "V4", ""), "127.0.0.1");
    EXPECT_EQ(file.reader.address("R", "V6", ""), "::1");
    EXPECT_EQ(file.reader.address("R", "All", "x"), "");
    EXPECT_EQ(file.reader.address("R", "Absent", "d"), "d");
    EXPECT_EQ(file.reader.address("R", "Name", ""), "");
    EXPECT_EQ(file.reader.address("R", "Bad", ""), "");
    ASSERT_EQ(file.reader.errors().size(), 2u);
    EXPECT_EQ(file.reader.errors()[0].value, "localhost");
    EXPECT_EQ(file.reader.errors()[1].value, "127.0.0.256");
}

TEST(TakConfigReaderTest, HostAndPort) {
    struct Case {
        const char* value;
        const char* host;  // nullptr: an error, the default is kept
        int port;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1:7401", "127.0.0.1", 7401},
        {"0.0.0.0:1", "0.0.0.0", 1},
        {"[::1]:65535", "::1", 65535},
        {"[::]:9100", "::", 9100},
        {"localhost:7401", nullptr, 0},  // numeric addresses only
        {"::1:7401", nullptr, 0},        // IPv6 needs its brackets
        {"[127.0.0.1]:7401", nullptr, 0},
        {"127.0.0.1", nullptr, 0},
        {"127.0.0.1:", nullptr, 0},
        {":7401", nullptr, 0},
        {"127.0.0.1:0", nullptr, 0},
        {"127.0.0.1:65536", nullptr, 0},
        {"127.0.0.1:+80", nullptr, 0},
        {"127.0.0.1:0000080", nullptr, 0},
        {"127.0.0.1:80x", nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ConfigFile file(std::string("[A]\nListen = ") + c.value + "\n");
        std::string const value = file.reader.hostPort("A", "Listen", "d:1");
        std::string host;
        int port = 0;
        if (c.host) {
            EXPECT_EQ(value, c.value);
            EXPECT_TRUE(file.reader.errors().empty());
            ASSERT_TRUE(TakConfigReader::splitHostPort(value, &host, &port));
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        } else {
            EXPECT_EQ(value, "d:1");
            ASSERT_EQ(file.reader.errors().size(), 1u);
            EXPECT_EQ(file.reader.errors()[0].value, c.value);
            EXPECT_FALSE(TakConfigReader::splitHostPort(c.value, &host, &port));
        }
    }
    // Empty turns the endpoint off; absent gives the default.
    ConfigFile file("[A]\nListen =\n");
    EXPECT_EQ(file.reader.hostPort("A", "Listen", "d:1"), "");
    EXPECT_EQ(file.reader.hostPort("A", "Other", "d:1"), "d:1");
    EXPECT_TRUE(file.reader.errors().empty());
}

TEST(TakConfigReaderTest, TheFileItself) {
    // Missing: silent, every default.
    TakTempDir dir;
    TakConfigReader missing(dir.file("config.ini"));
    EXPECT_TRUE(missing.errors().empty());
    EXPECT_EQ(missing.number("S", "N", 7, 1, 9), 7);
    EXPECT_EQ(missing.text("S", "T", "d"), "d");
    EXPECT_TRUE(missing.errors().empty());

    // A line that is no setting: reported with its number; the other lines are still read.
    ConfigFile bad("[S]\n; comment\n# comment\nPORT 7300\nN = 5\n");
    ASSERT_EQ(bad.reader.errors().size(), 1u);
    EXPECT_EQ(bad.reader.errors()[0].describe(),
              bad.path +
                  ": line 4 is neither \"[section]\" nor \"key = value\" (comment lines start "
                  "with \";\" or \"#\")");
    EXPECT_EQ(bad.reader.number("S", "N", 7, 1, 9), 5);

    // Something else in its place.
    std::filesystem::create_directories(dir.path() / "dir.ini");
    TakConfigReader directory(dir.file("dir.ini"));
    ASSERT_EQ(directory.errors().size(), 1u);
    EXPECT_EQ(directory.errors()[0].describe(), dir.file("dir.ini") + ": is not a regular file");
}

TEST(TakConfigReaderTest, TextIsTrimmedAndLosesOnlyASpacedSemicolonComment) {
    ConfigFile file("[S]\nA =  two words  \nB = p;w\nC = x # y\nD = x ; y\nE =\n");
    EXPECT_EQ(file.reader.text("s", "a", ""), "two words");
    EXPECT_EQ(file.reader.text("S", "B", ""), "p;w");
    EXPECT_EQ(file.reader.text("S", "C", ""), "x # y");
    EXPECT_EQ(file.reader.text("S", "D", ""), "x");
    EXPECT_EQ(file.reader.text("S", "E", "d"), "");
    EXPECT_EQ(file.reader.text("S", "F", "d"), "d");
    EXPECT_TRUE(file.reader.errors().empty());
}
