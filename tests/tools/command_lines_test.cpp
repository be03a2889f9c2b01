// The command lines of the daemon and the three tools, as an operator meets them: --help prints
// the usage on standard output, --version the project's version, and a mistake is named on
// standard error with exit status 2, before anything else happens.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm-serd/TakCommandLine.h"
#include "support/TakTempDir.h"
#include "support/TakTestShell.h"

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

Result runTool(const std::string& program, const std::string& args) {
    TakTempDir dir("tak-cli");
    std::string const errFile = dir.file("stderr.txt");
    Result r;
    // From an empty working directory: a daemon that started by mistake finds no configuration
    // there, and is ended after a while (status 124) instead of holding the test. In a
    // subshell, so that its own redirection of standard error is the one that counts.
    r.status =
        TakTestShell::run("(cd " + TakTestShell::quote(dir.path().string()) + " && timeout 60 " +
                              TakTestShell::quote(std::string(TAK_BIN_DIR) + "/" + program) + " " +
                              args + " 2>" + TakTestShell::quote(errFile) + ")",
                          r.out);
    r.err = TakTempDir::readFile(errFile);
    return r;
}

std::string hint(const std::string& program) {
    return "Try '" + program + " --help' for more information.\n";
}

}  // namespace

TEST(CommandLinesTest, HelpVersionAndMistakesOfEveryProgram) {
    struct Case {
        std::string program;
        std::string args;
        int status;
        std::string out;  // standard output starts with this ("" : is empty)
        std::string err;  // standard error starts with this ("" : is empty)
    };
    std::string const version = TakCommandLine::version();
    const std::vector<Case> cases = {
        {"comm-serd", "--help", 0, "usage: comm-serd [-c DIR]\n", ""},
        {"comm-serd", "-h", 0, "usage: comm-serd [-c DIR]\n", ""},
        {"comm-serd", "--version", 0, "comm-serd " + version + "\n", ""},
        {"comm-serd", "--bogus", 2, "", "comm-serd: unknown option '--bogus'\n"},
        {"comm-serd", "--config /nonexistent/comm-serd", 2, "",
         "comm-serd: bad value '/nonexistent/comm-serd' for --config: expected an existing "
         "directory\n"},
        {"comm-serd", "-c", 2, "", "comm-serd: option -c needs a value\n"},
        {"comm-serd", "start", 2, "", "comm-serd: unexpected argument 'start'\n"},

        {"tak-keygen", "--help", 0, "usage: tak-keygen --dir DIR [--force]\n", ""},
        {"tak-keygen", "--version", 0, "tak-keygen (comm-serd) " + version + "\n", ""},
        {"tak-keygen", "--bogus", 2, "", "tak-keygen: unknown option '--bogus'\n"},
        {"tak-keygen", "--dir", 2, "", "tak-keygen: option --dir needs a value\n"},
        {"tak-keygen", "--force=yes --dir x", 2, "", "tak-keygen: option --force takes no value\n"},
        {"tak-keygen", "", 2, "", "tak-keygen: --dir DIR is required\n"},

        {"tak-console", "--help", 0,
         "usage: tak-console [--host HOST] [--port PORT] [--json] [--verbose] COMMAND\n", ""},
        {"tak-console", "--version", 0, "tak-console (comm-serd) " + version + "\n", ""},
        {"tak-console", "--bogus notify", 2, "", "tak-console: unknown option '--bogus'\n"},
        {"tak-console", "--port abc notify", 2, "",
         "tak-console: bad value 'abc' for --port: expected a whole number from 1 to 65535\n"},
        {"tak-console", "--port 70000 notify", 2, "", "tak-console: bad value '70000' for --port"},
        {"tak-console", "", 2, "", "tak-console: a command is required"},
        {"tak-console", "reboot", 2, "", "tak-console: unknown command 'reboot'\n"},
        {"tak-console", "auth mac maybe", 2, "", "tak-console: usage: tak-console auth MAC on|off"},

        {"tak-agent-sim", "--help", 0, "usage: tak-agent-sim [--host H] [--port P]", ""},
        {"tak-agent-sim", "--version", 0, "tak-agent-sim (comm-serd) " + version + "\n", ""},
        {"tak-agent-sim", "--bogus run", 2, "", "tak-agent-sim: unknown option '--bogus'\n"},
        {"tak-agent-sim", "--rate 0 load", 2, "",
         "tak-agent-sim: bad value '0' for --rate: expected a number greater than 0\n"},
        {"tak-agent-sim", "--mem 8 run", 2, "",
         "tak-agent-sim: bad value '8' for --mem: expected TOTAL:FREE\n"},
        {"tak-agent-sim", "--mem 8:x run", 2, "", "tak-agent-sim: bad value '8:x' for --mem"},
        {"tak-agent-sim", "--cpu -1 run", 2, "", "tak-agent-sim: bad value '-1' for --cpu"},
        {"tak-agent-sim", "--hex 0g raw", 2, "", "tak-agent-sim: bad value '0g' for --hex"},
        {"tak-agent-sim", "--hex 123 raw", 2, "", "tak-agent-sim: bad value '123' for --hex"},
        {"tak-agent-sim", "--port 7300", 2, "", "tak-agent-sim: a command is required"},
        {"tak-agent-sim", "walk", 2, "", "tak-agent-sim: unknown command 'walk'\n"},
        {"tak-agent-sim", "run load", 2, "", "tak-agent-sim: unexpected argument 'load'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program + " " + c.args);
        Result const r = runTool(c.program, c.args);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        if (c.out.empty()) {
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << r.out;
        }
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << r.err;
            // Every mistake says where to look.
            EXPECT_NE(r.err.find(hint(c.program)), std::string::npos) << r.err;
        }
    }
}

TEST(CommandLinesTest, AgentSimulatorHelpListsEveryCommandAndOptionItAccepts) {
    Result const help = runTool("tak-agent-sim", "--help");
    ASSERT_EQ(help.status, 0);
    for (const char* command : {"  run ", "  upload ", "  load ", "  raw "}) {
        EXPECT_NE(help.out.find(command), std::string::npos) << command << "\n" << help.out;
    }
    // Each option with a good value, then --help: an option the parser does not know would end
    // the run with status 2 before --help is reached.
    const std::vector<std::pair<std::string, std::string>> options = {
        {"--host", "127.0.0.1"}, {"--port", "7300"},   {"--server-key", "pub.hex"},
        {"--mac", "aa:bb"},      {"--host-name", "h"}, {"--cpu", "37"},
        {"--mem", "8:2"},        {"--disk", "100:25"}, {"--policy-error", "no"},
        {"--seconds", "4"},      {"--agents", "10"},   {"--rate", "2.5"},
        {"--lines", "5"},        {"--type", "500"},    {"--uploads", "1"},
        {"--hex", "0a0B"},
    };
    for (const auto& [name, value] : options) {
        EXPECT_NE(help.out.find("  " + name + " "), std::string::npos)
            << name << " is not in the help:\n"
            << help.out;
        Result const r = runTool("tak-agent-sim", name + " " + value + " --help");
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    }
}

TEST(CommandLinesTest, ConsolePrintsThriftMessagesOnlyWhenVerbose) {
    // Nothing listens on port 1: the connection is refused at once.
    Result quiet = runTool("tak-console", "--port 1 notify");
    EXPECT_EQ(quiet.status, 3);
    EXPECT_EQ(quiet.err.rfind("tak-console: comm-serd does not answer at 127.0.0.1:1", 0), 0u)
        << quiet.err;
    EXPECT_EQ(quiet.err.find("Thrift:"), std::string::npos) << quiet.err;

    Result verbose = runTool("tak-console", "--verbose --port 1 notify");
    EXPECT_EQ(verbose.status, 3);
    EXPECT_NE(verbose.err.find("Thrift:"), std::string::npos) << verbose.err;
    EXPECT_NE(verbose.err.find("tak-console: comm-serd does not answer"), std::string::npos)
        << verbose.err;
}
