#include "comm-serd/TakCommandLine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A program with one option of each kind, parsed from a fresh state for every case.
struct Parsed {
    std::optional<int> status;
    std::string out;
    std::string err;
    bool force = false;
    std::string dir = "unset";
    int port = 7400;
    uint64_t bytes = 0;
    double rate = 1;
    std::string pair;
    std::vector<std::string> words;
};

Parsed parse(std::vector<std::string> args) {
    Parsed p;
    TakCommandLine cl("tak-test", "usage: tak-test [options] WORD...\nline two");
    cl.flag("-f|--force", &p.force)
        .text("-d|--dir", &p.dir)
        .integer("--port", &p.port, 1, 65535)
        .unsignedInteger("--bytes", &p.bytes)
        .number("--rate", &p.rate, 0)
        .option("--pair", "A:B", [&p](const std::string& v) {
            if (v.find(':') == std::string::npos) return false;
            p.pair = v;
            return true;
        });
    std::vector<const char*> argv{"tak-test"};
    for (const auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    p.status = cl.parse(static_cast<int>(argv.size()), argv.data(), out, err);
    p.out = out.str();
    p.err = err.str();
    p.words = cl.positional();
    return p;
}

const std::string kHint = "Try 'tak-test --help' for more information.\n";

}  // namespace

TEST(TakCommandLineTest, OptionsValuesAndWords) {
    Parsed p = parse({"run", "--force", "--dir", "/tmp/x", "--port=7401", "-d", "/etc", "--bytes",
                      "18446744073709551615", "--rate", "2.5", "--pair", "8:2", "last"});
    ASSERT_FALSE(p.status.has_value()) << p.err;
    EXPECT_TRUE(p.force);
    EXPECT_EQ(p.dir, "/etc");  // the later one wins
    EXPECT_EQ(p.port, 7401);
    EXPECT_EQ(p.bytes, UINT64_MAX);
    EXPECT_DOUBLE_EQ(p.rate, 2.5);
    EXPECT_EQ(p.pair, "8:2");
    EXPECT_EQ(p.words, (std::vector<std::string>{"run", "last"}));
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "");

    // A value may look like an option; "--" ends the options; "-" is a word.
    p = parse({"--dir", "--force", "-", "--", "--port", "-x"});
    ASSERT_FALSE(p.status.has_value()) << p.err;
    EXPECT_EQ(p.dir, "--force");
    EXPECT_FALSE(p.force);
    EXPECT_EQ(p.port, 7400);
    EXPECT_EQ(p.words, (std::vector<std::string>{"-", "--port", "-x"}));

    // An empty value is a value.
    p = parse({"--dir="});
    ASSERT_FALSE(p.status.has_value()) << p.err;
    EXPECT_EQ(p.dir, "");
}

TEST(TakCommandLineTest, HelpAndVersionPrintOnStandardOutputAndEndWithZero) {
    for (const char* help : {"--help", "-h"}) {
        // Whatever comes after it, even a bad option.
        Parsed const p = parse({"--port", "7", help, "--bogus"});
        EXPECT_EQ(p.status, 0) << help;
        EXPECT_EQ(p.out, "usage: tak-test [options] WORD...\nline two\n") << help;
        EXPECT_EQ(p.err, "") << help;
    }
    Parsed const p = parse({"--version"});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, std::string("tak-test (comm-serd) ") + TakCommandLine::version() + "\n");
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(TakCommandLine("comm-serd", "").versionLine(),
              std::string("comm-serd ") + TakCommandLine::version());
}

TEST(TakCommandLineTest, MistakesAreNamedOnStandardErrorWithStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--frob"}, "unknown option '--frob'"},
        {{"--frob=1"}, "unknown option '--frob'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--dir"}, "option --dir needs a value"},
        {{"--force=yes"}, "option --force takes no value"},
        {{"--port", "abc"}, "bad value 'abc' for --port: expected a whole number from 1 to 65535"},
        {{"--port", "0"}, "bad value '0' for --port"},
        {{"--port", "65536"}, "bad value '65536' for --port"},
        {{"--port", "74x"}, "bad value '74x' for --port"},
        {{"--port", ""}, "bad value '' for --port"},
        {{"--port", " 7"}, "bad value ' 7' for --port"},
        {{"--bytes", "-1"}, "bad value '-1' for --bytes"},
        {{"--bytes", "18446744073709551616"}, "bad value '18446744073709551616' for --bytes"},
        {{"--rate", "0"}, "bad value '0' for --rate: expected a number greater than 0"},
        {{"--rate", "nan"}, "bad value 'nan' for --rate"},
        {{"--rate", "inf"}, "bad value 'inf' for --rate"},
        {{"--rate", "1e999"}, "bad value '1e999' for --rate"},
        {{"--pair", "82"}, "bad value '82' for --pair: expected A:B"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += "[" + a + "]";
        Parsed const p = parse(c.args);
        EXPECT_EQ(p.status, TakCommandLine::kUsageError) << shown;
        EXPECT_EQ(p.err.rfind("tak-test: " + c.message, 0), 0u) << shown << "\n" << p.err;
        EXPECT_NE(p.err.find(kHint), std::string::npos) << shown << "\n" << p.err;
        EXPECT_EQ(p.out, "") << shown;
    }

    std::ostringstream err;
    EXPECT_EQ(TakCommandLine("tak-test", "").fail("a command is required", err),
              TakCommandLine::kUsageError);
    EXPECT_EQ(err.str(), "tak-test: a command is required\n" + kHint);
}
