// The daemon's log as an operator meets it: a standard output that nobody reads, SIGHUP, and the
// [Log] settings.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Tak.Business.pb.h"
#include "agent/TakAgentClient.h"
#include "support/TakDaemonProcess.h"
#include "support/TakEventually.h"
#include "support/TakTestAgents.h"
#include "support/TakTestDb.h"
#include "support/TakTestKeys.h"
#include "support/TakTestShell.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kConsole = std::string(TAK_BIN_DIR) + "/tak-console";
const std::string kAgent = std::string(TAK_BIN_DIR) + "/tak-agent-sim";
const std::string kDroppedReport =
    "console echo dropped records while standard output did not take them: ";

// A record's header line, at the start of a line.
const std::regex kHeader(
    R"((^|\n)\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{6}\]\[(INFO|DEBUG|WARN|ERROR)\]\[\d+\]\[[^\]\n]*:\d+行\]\n)");

// The text cut into records, each from its header line to the next one.
std::vector<std::string> records(const std::string& text) {
    std::vector<size_t> starts;
    for (std::sregex_iterator it(text.begin(), text.end(), kHeader), end; it != end; ++it) {
        starts.push_back(static_cast<size_t>(it->position()) + it->str(1).size());
    }
    std::vector<std::string> out;
    for (size_t i = 0; i < starts.size(); ++i) {
        size_t const stop = i + 1 < starts.size() ? starts[i + 1] : text.size();
        out.push_back(text.substr(starts[i], stop - starts[i]));
    }
    return out;
}

std::string describe(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

// The daemon with the tests' key, listening (found in its log file: standard output may be a
// pipe the test does not read yet).
std::unique_ptr<TakDaemonProcess> startDaemon(TakDaemonProcess::Options options) {
    options.keyFile = takTestKeys().keyFile;
    auto daemon = std::make_unique<TakDaemonProcess>(options);
    if (!daemon->start()) return nullptr;
    if (!daemon->waitForLog("\nserver listen on port:") ||
        !daemon->waitForLog("rpc server listen on port:")) {
        ADD_FAILURE() << "the daemon did not open its listeners:\n" << daemon->standardError();
        return nullptr;
    }
    return daemon;
}

// An agent simulator that registers under mac and answers host queries for a few seconds.
std::thread runAgentSimulator(const TakDaemonProcess& daemon, const std::string& mac,
                              std::string& output) {
    std::string const pointHex =
        TakTestShell::toHex(takTestKeys().point.data(), takTestKeys().point.size());
    std::string const keyHex = daemon.workDir().string() + "/pub.hex";
    TakTestShell::writeFile(keyHex, pointHex + "\n");
    std::string const command = kAgent + " --port " + std::to_string(daemon.agentPort()) +
                                " --server-key " + TakTestShell::quote(keyHex) + " --mac " + mac +
                                " --cpu 37 --mem 8:2 --disk 100:25 --seconds 6 run";
    return std::thread([command, &output] { TakTestShell::run(command, output, true); });
}

// The file's text, or nothing while it does not exist.
std::string readIfThere(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void registerAgent(TakAgentClient& agent, const std::string& mac) {
    uint32_t const seq = agent.sendDeviceInfo(mac);
    ASSERT_NE(seq, 0u);
    Tak::Business::MessageData ack;
    ASSERT_TRUE(agent.receive(ack)) << mac;
    EXPECT_EQ(ack.nseqid(), seq) << mac;
}

}  // namespace

// Standard output a pipe that nobody reads: once it is full the echo drops records, and the
// daemon goes on registering agents and answering the console. When the pipe is read again, the
// echo catches up and the number of records it dropped is logged; what came through is made of
// whole records, each as the file has it.
TEST(LoggingTest, StandardOutputThatNobodyReadsDoesNotStallTheDaemon) {
    if (!TakTestDb::available()) GTEST_SKIP() << "TAK_TEST_DB_PORT is not set";
    TakTestDb db;
    ASSERT_TRUE(db.connected()) << db.error();
    ASSERT_TRUE(db.truncate({"asset_auth_record"})) << db.error();

    TakDaemonProcess::Options options;
    options.stdoutToPipe = true;
    options.stdoutPipeBytes = 4096;  // fills after a few records, whatever the system's default
    auto daemon = startDaemon(options);
    ASSERT_TRUE(daemon);

    constexpr int kAgents = 200;
    std::vector<std::unique_ptr<TakAgentClient>> agents;
    for (int i = 0; i < kAgents; ++i) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "stall-%03d", i);
        agents.push_back(takConnectedAgent(*daemon));
        ASSERT_TRUE(agents.back()->encrypted()) << mac;
        registerAgent(*agents.back(), mac);
    }
    EXPECT_TRUE(takEventually(
        [&] {
            return db.number(
                       "select count(*) from asset_auth_record where macAddr like "
                       "'stall-%' and onlineState = 1") == kAgents;
        },
        30s, 50ms))
        << db.number("select count(*) from asset_auth_record where macAddr like 'stall-%'");

    std::string simOutput;
    std::thread sim = runAgentSimulator(*daemon, "stall-sim", simOutput);
    EXPECT_TRUE(takEventually(
        [&] {
            return db.number(
                       "select onlineState from asset_auth_record where macAddr = "
                       "'stall-sim'") == 1;
        },
        10s, 30ms));
    std::string console;
    EXPECT_EQ(TakTestShell::run(
                  kConsole + " --port " + std::to_string(daemon->rpcPort()) + " hostinfo stall-sim",
                  console, true),
              0)
        << console;
    EXPECT_NE(console.find("stall-sim: CPU 37 %"), std::string::npos) << console;
    sim.join();

    // The pipe was never read: the log file holds far more than the pipe and the echo's buffer.
    int held = 0;
    ASSERT_EQ(ioctl(daemon->standardOutputPipe(), FIONREAD, &held), 0);
    EXPECT_GT(held, 0);
    EXPECT_GT(daemon->logText().size(), static_cast<size_t>(held) + 2 * 64 * 1024);

    // Read the pipe from now on, until the daemon ends.
    std::thread reader([&daemon] { EXPECT_TRUE(daemon->readStandardOutput(true, 60s)); });
    EXPECT_TRUE(daemon->waitForLog(kDroppedReport, 15s));

    ASSERT_TRUE(daemon->sendSignal(SIGTERM));
    std::optional<int> const status = daemon->waitForExit(10s);
    reader.join();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(*status);

    std::string const log = daemon->logText();
    std::vector<std::string> const logRecords = records(log);
    std::vector<std::string> const echoed = records(daemon->standardOutput());
    ASSERT_FALSE(echoed.empty());
    // The echo is the file with whole records left out: the same records, in the same order,
    // byte for byte, and as many fewer as the reports say.
    size_t at = 0;
    for (const auto& record : echoed) {
        while (at < logRecords.size() && logRecords[at] != record) ++at;
        ASSERT_LT(at, logRecords.size()) << "echoed, not in the file (in this order):\n" << record;
        ++at;
    }
    uint64_t dropped = 0;
    for (const auto& record : logRecords) {
        size_t const p = record.find(kDroppedReport);
        if (p == std::string::npos) continue;
        EXPECT_NE(record.find("[INFO]"), std::string::npos) << record;
        dropped += std::stoull(record.substr(p + kDroppedReport.size()));
    }
    EXPECT_GT(dropped, 0u);
    // The reader keeps up with the stop's records unless the machine is slow: what the echo
    // still could not write at the very end is reported in the file only, as its last record.
    bool const reportedAtEnd = logRecords.back().find(kDroppedReport) != std::string::npos &&
                               echoed.back() != logRecords.back();
    EXPECT_EQ(logRecords.size(), echoed.size() + dropped + (reportedAtEnd ? 1 : 0));
    if (!reportedAtEnd) {
        EXPECT_EQ(echoed.back(), logRecords.back()) << "the echo caught up";
    }
}

// The key problem the server reports on standard output for every connection ("密钥错误") is
// written without waiting too: with a server key file that cannot be used and standard output
// a pipe that nobody reads, connections go on being served (each one is logged) long after the
// pipe is full.
TEST(LoggingTest, KeyProblemPrintedForEveryConnectionDoesNotWaitForStandardOutput) {
    TakDaemonProcess::Options options;
    options.stdoutToPipe = true;
    options.stdoutPipeBytes = 4096;
    auto daemon = std::make_unique<TakDaemonProcess>(options);
    TakTestShell::writeFile(daemon->workDir().string() + "/config/scert.dat", "not a key\n");
    ASSERT_TRUE(daemon->start());
    ASSERT_TRUE(daemon->waitForLog("\nserver listen on port:")) << daemon->standardError();

    // 13 bytes a line: the 4 KiB pipe is full after about 300 connections.
    constexpr int kConnections = 600;
    auto unusable = [&daemon] {
        std::string const log = daemon->logText();
        size_t n = 0;
        for (size_t at = log.find("server key file unusable"); at != std::string::npos;
             at = log.find("server key file unusable", at + 1)) {
            ++n;
        }
        return n;
    };
    for (int i = 0; i < kConnections; ++i) {
        TakAgentClient agent;
        ASSERT_TRUE(agent.connect("127.0.0.1", daemon->agentPort())) << i;
        // One at a time: each offer has been made (and its line printed) before the next.
        ASSERT_TRUE(takEventually([&] { return unusable() >= static_cast<size_t>(i + 1); }))
            << "connection " << i << " was not served";
    }
    ASSERT_TRUE(daemon->readStandardOutput());
    std::string const out = daemon->standardOutput();
    EXPECT_NE(out.find("密钥错误\n"), std::string::npos);
    EXPECT_TRUE(daemon->running());
}

// SIGHUP: the next file number, with an INFO record saying so; the daemon goes on and stops in
// order on SIGTERM, and the console saw exactly what the files hold.
TEST(LoggingTest, SighupStartsTheNextLogFile) {
    auto daemon = startDaemon({});
    ASSERT_TRUE(daemon);
    ASSERT_EQ(daemon->logFiles().size(), 1u);
    fs::path const first = daemon->logFiles()[0];

    for (int number = 2; number <= 3; ++number) {
        SCOPED_TRACE("file " + std::to_string(number));
        ASSERT_TRUE(daemon->sendSignal(SIGHUP));
        std::string const stem = first.string().substr(0, first.string().size() - 5);
        fs::path const next = stem + std::to_string(number) + ".txt";
        fs::path const previous = stem + std::to_string(number - 1) + ".txt";
        ASSERT_TRUE(takEventually([&] {
            return readIfThere(next).find("previous file:") != std::string::npos;
        })) << daemon->standardError();
        std::vector<std::string> const inNext = records(readIfThere(next));
        ASSERT_FALSE(inNext.empty());
        EXPECT_NE(inNext[0].find("][INFO]["), std::string::npos) << inNext[0];
        EXPECT_NE(inNext[0].find("new log file on request, previous file: " + previous.string()),
                  std::string::npos)
            << inNext[0];
        EXPECT_TRUE(daemon->running());

        // Still serving: an agent registers, and its records go to the new file.
        auto agent = takConnectedAgent(*daemon);
        ASSERT_TRUE(agent->encrypted());
        registerAgent(*agent, "sighup-" + std::to_string(number));
        EXPECT_TRUE(takEventually(
            [&] { return readIfThere(next).find("new connect:") != std::string::npos; }));
    }

    ASSERT_TRUE(daemon->sendSignal(SIGTERM));
    std::optional<int> const status = daemon->waitForExit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(*status);
    std::vector<fs::path> const files = daemon->logFiles();
    ASSERT_EQ(files.size(), 3u);
    std::string const log = daemon->logText();
    EXPECT_EQ(daemon->standardOutput(), log) << "the console and the files differ";
    std::string const last = "comm-serd stopped \n\n";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
}

// [Log] Level and Console as the daemon applies them.
TEST(LoggingTest, LevelAndConsoleSettings) {
    TakDaemonProcess::Options options;
    options.config = {{"Log", "Level", "info"}, {"Log", "Console", "Off"}};
    auto daemon = startDaemon(options);
    ASSERT_TRUE(daemon);
    // A registration logs at DEBUG ("new connect:") and at INFO.
    auto agent = takConnectedAgent(*daemon);
    ASSERT_TRUE(agent->encrypted());
    registerAgent(*agent, "level-info");
    ASSERT_TRUE(daemon->sendSignal(SIGTERM));
    std::optional<int> const status = daemon->waitForExit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(*status);

    std::string const log = daemon->logText();
    EXPECT_NE(log.find("][INFO]["), std::string::npos) << log;
    EXPECT_EQ(log.find("][DEBUG]["), std::string::npos) << log;
    EXPECT_NE(log.find("comm-serd stopped"), std::string::npos);
    EXPECT_EQ(daemon->standardOutput(), "") << "the console echo is off";
}

// A value that is not valid ends the start at once with status 78 and says which.
TEST(LoggingTest, InvalidLogSettingEndsTheStartWithStatus78) {
    struct Case {
        std::string key;
        std::string value;
    };
    const std::vector<Case> cases = {{"Level", "verbose"}, {"Console", "maybe"}, {"Level", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key + " = " + c.value);
        TakDaemonProcess::Options options;
        options.config = {{"Log", c.key, c.value}};
        TakDaemonProcess daemon(options);
        ASSERT_TRUE(daemon.start());
        std::optional<int> const status = daemon.waitForExit(10s);
        ASSERT_TRUE(status.has_value()) << "still running";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 78) << describe(*status);
        std::string const errors = daemon.standardError();
        EXPECT_NE(errors.find(daemon.configFile().string() + ": [Log] " + c.key + " = \"" +
                              c.value + "\": expected "),
                  std::string::npos)
            << errors;
        EXPECT_TRUE(daemon.logFiles().empty());
        EXPECT_EQ(daemon.standardOutput(), "");
    }
}
