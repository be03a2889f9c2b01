// The operators' endpoint of a running daemon ([Admin] Listen): /metrics in the Prometheus text
// format with figures that follow an agent's registration and upload, /sessions listing that
// agent, /healthz following the database, tak-console status and hosts reading them, and a
// daemon that cannot bind the endpoint serving its agents all the same.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <regex>
#include <string>
#include <vector>

#include "agent/TakAgentClient.h"
#include "support/TakDaemonProcess.h"
#include "support/TakDeviceTablesTest.h"
#include "support/TakEventually.h"
#include "support/TakTestAgents.h"
#include "support/TakTestDb.h"
#include "support/TakTestMariaDb.h"
#include "support/TakTestShell.h"

namespace ComDefine = Tak::ComDefine;
namespace PolicyNotify = Tak::PolicyNotify;
using Tak::Business::MessageData;
using namespace std::chrono_literals;

namespace {

const std::string kConsole = std::string(TAK_BIN_DIR) + "/tak-console";

struct Response {
    int status = 0;
    std::string body;
    std::string contentType;
};

std::optional<Response> get(const TakDaemonProcess& daemon, const std::string& path) {
    httplib::Client client("127.0.0.1", daemon.adminPort());
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    auto result = client.Get(path.c_str());
    if (!result) return std::nullopt;
    return Response{result->status, result->body, result->get_header_value("Content-Type")};
}

// A /metrics body read as a scraper would: every sample ("name{labels}" to its value), and
// the format checked on the way (each sample under a TYPE of its family, counters ending in
// _total, one HELP and TYPE per family). Problems are collected, not thrown.
struct Scrape {
    std::map<std::string, double> samples;
    std::vector<std::string> problems;

    double operator[](const std::string& key) const {
        auto it = samples.find(key);
        return it == samples.end() ? -1 : it->second;
    }
};

Scrape parseMetrics(const std::string& body) {
    Scrape scrape;
    std::map<std::string, std::string> types;
    std::set<std::string> helps;
    std::istringstream in(body);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::istringstream words(line);
        if (line.rfind("# HELP ", 0) == 0) {
            std::string hash, help, name;
            words >> hash >> help >> name;
            if (!helps.insert(name).second) scrape.problems.push_back("HELP twice: " + name);
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            std::string hash, type, name, kind;
            words >> hash >> type >> name >> kind;
            if (types.count(name) != 0) scrape.problems.push_back("TYPE twice: " + name);
            types[name] = kind;
            bool const total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
            if ((kind == "counter") != total) {
                scrape.problems.push_back("counter names end in _total: " + line);
            }
            continue;
        }
        size_t const space = line.rfind(' ');
        if (space == std::string::npos || line[0] == '#') {
            scrape.problems.push_back("not a sample: " + line);
            continue;
        }
        std::string const key = line.substr(0, space);
        std::string const family = key.substr(0, key.find('{'));
        if (types.count(family) == 0) scrape.problems.push_back("no TYPE before: " + line);
        try {
            size_t used = 0;
            double const value = std::stod(line.substr(space + 1), &used);
            if (used != line.size() - space - 1) throw std::invalid_argument(line);
            scrape.samples[key] = value;
        } catch (const std::exception&) {
            scrape.problems.push_back("not a number: " + line);
        }
    }
    return scrape;
}

Scrape scrape(const TakDaemonProcess& daemon) {
    auto res = get(daemon, "/metrics");
    if (!res || res->status != 200) {
        Scrape none;
        none.problems.push_back("/metrics did not answer");
        return none;
    }
    return parseMetrics(res->body);
}

std::string lines(int count) {
    std::vector<std::vector<std::string>> content;
    for (int k = 0; k < count; ++k) {
        content.push_back({std::to_string(1700000000 + k), "admin test line", "b", "c", "d"});
    }
    return TakAgentClient::systemLogData(content);
}

bool healthIs(const TakDaemonProcess& daemon, int status, std::string* body = nullptr) {
    auto res = get(daemon, "/healthz");
    if (body && res) *body = res->body;
    return res && res->status == status;
}

std::string contains(const std::string& text, const std::string& piece) {
    return text.find(piece) == std::string::npos ? "missing \"" + piece + "\" in: " + text : "";
}

using AdminTest = TakDeviceTablesTest;

TEST_F(AdminTest, FiguresFollowAnAgentsRegistrationAndUploadAndSessionsListIt) {
    // A one-second summary: its INFO record follows the activity below.
    auto daemon = takStartDaemon({{"Admin", "SummarySeconds", "1"}});
    ASSERT_TRUE(daemon);
    ASSERT_TRUE(takEventually([&] { return healthIs(*daemon, 200); }, 20s));
    Scrape const before = scrape(*daemon);
    ASSERT_EQ(before.problems, std::vector<std::string>{});
    EXPECT_EQ(before["commserd_sessions{state=\"connected\"}"], 0);
    EXPECT_EQ(before["commserd_listener_up{listener=\"agents\"}"], 1);
    EXPECT_EQ(before["commserd_db_up{database=\"auditEvent_dev\"}"], 1);
    // Every table's series is there from the start, before any upload.
    EXPECT_EQ(before["commserd_rows_stored_total{table=\"systemLog_kernelInfo\"}"], 0);
    EXPECT_EQ(before["commserd_uploads_total{table=\"secureLog_record\"}"], 0);

    constexpr int kLines = 25;
    std::string const mac = "ad:00:00:00:00:01";
    auto agent = takConnectedAgent(*daemon);
    ASSERT_NE(agent->sendDeviceInfo(mac), 0u);
    ASSERT_NE(agent->sendAuditUpload(PolicyNotify::auditUpType_kernelInfo, mac, lines(kLines)), 0u);
    const std::string rowsKey = "commserd_rows_stored_total{table=\"systemLog_kernelInfo\"}";
    Scrape after;
    EXPECT_TRUE(takEventually(
        [&] {
            after = scrape(*daemon);
            return after[rowsKey] == before[rowsKey] + kLines &&
                   after["commserd_sessions{state=\"registered\"}"] == 1;
        },
        20s, 20ms))
        << after[rowsKey] << " rows stored";
    EXPECT_EQ(after.problems, std::vector<std::string>{});
    auto const moved = [&](const std::string& key) { return after[key] - before[key]; };
    EXPECT_EQ(moved("commserd_connections_total"), 1);
    EXPECT_EQ(moved("commserd_handshakes_total"), 1);
    EXPECT_EQ(moved("commserd_registrations_total{outcome=\"admitted\"}"), 1);
    EXPECT_EQ(moved("commserd_uploads_total{table=\"systemLog_kernelInfo\"}"), 1);
    EXPECT_EQ(moved("commserd_lines_skipped_total{table=\"systemLog_kernelInfo\","
                    "reason=\"too_few_items\"}"),
              0);
    // The key answer, the registration and the upload at least; the upload alone is larger
    // than 25 lines of text.
    EXPECT_GE(moved("commserd_frames_total{direction=\"in\"}"), 3);
    EXPECT_GT(moved("commserd_bytes_total{direction=\"in\"}"), kLines * 15);
    EXPECT_GE(moved("commserd_frames_total{direction=\"out\"}"), 2);
    EXPECT_EQ(after["commserd_sessions{state=\"connected\"}"], 1);
    EXPECT_EQ(after["commserd_sessions{state=\"key_exchanged\"}"], 1);
    EXPECT_GT(after["commserd_log_records_written_total"], 0);
    EXPECT_EQ(audit.number("select count(*) from systemLog_kernelInfo"), kLines);

    auto sessions = get(*daemon, "/sessions");
    ASSERT_TRUE(sessions);
    EXPECT_EQ(sessions->status, 200);
    EXPECT_EQ(sessions->contentType, "application/json");
    EXPECT_EQ(contains(sessions->body, "{\"mac\":\"" + mac + "\",\"peer\":\"" + agent->localAddr() +
                                           "\",\"connectedSince\":\""),
              "");
    EXPECT_EQ(contains(sessions->body, "\"keyExchanged\":true,\"registered\":true,"), "");

    // The console tool reads the same figures.
    std::string const admin = " --admin 127.0.0.1:" + std::to_string(daemon->adminPort()) + " ";
    std::string out;
    EXPECT_EQ(TakTestShell::run(kConsole + admin + "status", out, true), 0) << out;
    EXPECT_EQ(contains(out, ": healthy\n"), "");
    EXPECT_EQ(contains(out, "sessions: 1 connected, 1 key exchanged, 1 registered"), "");
    EXPECT_EQ(contains(out, "database auditEvent_dev: up"), "");
    EXPECT_EQ(TakTestShell::run(kConsole + admin + "--json status", out, true), 0) << out;
    EXPECT_EQ(contains(out,
                       "{\"healthy\":true,\"problems\":[],\"sessions\":{\"connected\":1,"
                       "\"keyExchanged\":1,\"registered\":1}"),
              "");
    EXPECT_EQ(TakTestShell::run(kConsole + admin + "hosts", out, true), 0) << out;
    EXPECT_EQ(contains(out, mac + " "), "");
    EXPECT_EQ(contains(out, agent->localAddr()), "");
    EXPECT_EQ(contains(out, "1 session\n"), "");
    EXPECT_EQ(TakTestShell::run(kConsole + admin + "--json hosts", out, true), 0) << out;
    // The same list, read a moment apart: the seconds connected may have ticked in between.
    auto const withoutSeconds = [](std::string text) {
        return std::regex_replace(text, std::regex("\"connectedSeconds\":[0-9]+"),
                                  "\"connectedSeconds\":N");
    };
    EXPECT_EQ(withoutSeconds(out), withoutSeconds(get(*daemon, "/sessions")->body));

    EXPECT_TRUE(daemon->waitForLog("activity in the last 1 s: sessions: 1 "));

    // The agent leaves: the session gauges come down, /sessions is empty.
    agent->close();
    EXPECT_TRUE(takEventually(
        [&] {
            Scrape const now = scrape(*daemon);
            return now["commserd_sessions{state=\"connected\"}"] == 0 &&
                   now["commserd_sessions{state=\"registered\"}"] == 0;
        },
        10s, 20ms));
    EXPECT_EQ(get(*daemon, "/sessions")->body, "[]\n");
    EXPECT_EQ(TakTestShell::run(kConsole + admin + "hosts", out, true), 0) << out;
    EXPECT_EQ(contains(out, "0 sessions\n"), "");
}

TEST_F(AdminTest, AnEndpointThatCannotListenLeavesTheAgentsServed) {
    // Its port is taken by a socket of the test's.
    int const fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::string const taken = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    auto daemon = takStartDaemon({{"Admin", "Listen", taken}});
    ASSERT_TRUE(daemon);
    EXPECT_TRUE(daemon->waitForLog("admin endpoint cannot listen, no metrics or health checks: "));
    auto agent = takConnectedAgent(*daemon);
    ASSERT_NE(agent->sendDeviceInfo("ad:00:00:00:00:02"), 0u);
    EXPECT_TRUE(takEventually(
        [&] {
            return sec.number(
                       "select count(*) from asset_auth_record where macAddr = "
                       "'ad:00:00:00:00:02'") == 1;
        },
        10s, 20ms));

    std::string out;
    EXPECT_EQ(TakTestShell::run(kConsole + " --admin 127.0.0.1:" +
                                    std::to_string(daemon->adminPort()) + " status",
                                out, true),
              3)
        << out;
    close(fd);
}

// /healthz follows a database server of the test's own, stopped and started under the daemon.
TEST(AdminHealthTest, UnhealthyWhileTheDatabaseIsAwayAndHealthyWhenItReturns) {
    if (!TakTestDb::available()) GTEST_SKIP() << "TAK_TEST_DB_PORT is not set";
    TakTestMariaDb server(TakTestMariaDb::defaultBase("admin"));
    ASSERT_TRUE(server.start()) << server.output();
    auto daemon = takStartDaemon({{"Database", "Port", std::to_string(server.port())}});
    ASSERT_TRUE(daemon);
    std::string body;
    ASSERT_TRUE(takEventually([&] { return healthIs(*daemon, 200, &body); }, 20s)) << body;
    EXPECT_EQ(body, "ok\n");

    ASSERT_TRUE(server.stop()) << server.output();
    // An idle connection finds out with its next ping.
    EXPECT_TRUE(takEventually([&] { return healthIs(*daemon, 503, &body); }, 30s, 50ms)) << body;
    EXPECT_TRUE(takEventually(
        [&] {
            return healthIs(*daemon, 503, &body) &&
                   body ==
                       "database security_dev is not connected\n"
                       "database auditEvent_dev is not connected\n";
        },
        30s, 50ms))
        << body;
    Scrape const down = scrape(*daemon);
    EXPECT_EQ(down["commserd_db_up{database=\"security_dev\"}"], 0);
    std::string out;
    std::string const admin = " --admin 127.0.0.1:" + std::to_string(daemon->adminPort()) + " ";
    EXPECT_EQ(TakTestShell::run(kConsole + admin + "status", out, true), 1) << out;
    EXPECT_EQ(contains(out, ": NOT healthy\n  database security_dev is not connected\n"), "");
    EXPECT_EQ(contains(out, "database auditEvent_dev: DOWN"), "");

    ASSERT_TRUE(server.start()) << server.output();
    EXPECT_TRUE(takEventually([&] { return healthIs(*daemon, 200, &body); }, 30s, 50ms)) << body;
    Scrape const back = scrape(*daemon);
    EXPECT_GE(back["commserd_db_reconnects_total{database=\"security_dev\"}"], 1);
    EXPECT_EQ(TakTestShell::run(kConsole + admin + "status", out, true), 0) << out;
}

}  // namespace
