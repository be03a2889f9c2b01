// An agent simulator for comm-serd, on the daemon's own protocol code. `tak-agent-sim --help`
// prints every command and option (kUsage below).
#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Tak.Base.pb.h"
#include "Tak.HostInfo.pb.h"
#include "Tak.SecureLog.pb.h"
#include "Tak.SystemLog.pb.h"
#include "agent/TakAgentClient.h"
#include "comm-serd/TakCommandLine.h"

namespace ComDefine = Tak::ComDefine;
using Tak::Business::MessageData;

namespace {

std::atomic<bool> g_stop{false};

struct Options {
    std::string host = "127.0.0.1";
    int port = 7300;
    std::string serverKeyHex;
    std::string command;
    std::string mac = "00:11:22:33:44:55";
    std::string hostName = "sim-host";
    int cpu = 10;
    uint64_t memTotal = 8ull << 30, memFree = 2ull << 30;
    uint64_t diskTotal = 100, diskFree = 25;
    std::string policyError;
    int seconds = 0;
    int agents = 100;
    double rate = 100;
    int lines = 100;
    int type = 4;
    int uploads = 0;
    std::string hex;
};

const char* const kUsage =
    "usage: tak-agent-sim [--host H] [--port P] [--server-key HEXFILE] [options] COMMAND\n"
    "A simulated agent (or many) for comm-serd, on the daemon's own protocol code.\n"
    "\n"
    "commands:\n"
    "  run      one agent: key exchange, device registration with --mac, then it stays\n"
    "           connected and answers host queries (--cpu, --mem, --disk) and policy pushes\n"
    "           (--policy-error) until --seconds pass (0: until SIGINT or SIGTERM);\n"
    "           exit status 1 when the server closes the connection\n"
    "  upload   one agent registers and uploads --lines system-log lines of --type\n"
    "           (--type 500: three security-audit records), then waits for the answer\n"
    "  load     --agents agents connect at --rate per second, each exchanges keys and\n"
    "           registers (MAC sim-NNNNNN), then makes --uploads uploads; prints the time of\n"
    "           key exchange + registration receipt (median, p99, max); then waits --seconds\n"
    "  raw      connects, sends the bytes of --hex as they are and prints the frames that\n"
    "           come back\n"
    "\n"
    "connection:\n"
    "  --host H               the daemon's address (default 127.0.0.1)\n"
    "  --port P               its agent port, [IPInfo] PORT (default 7300)\n"
    "  --server-key HEXFILE   check the key offer against this public key (scert-pub.hex);\n"
    "                         without it the offer's signature is not checked\n"
    "agent:\n"
    "  --mac M                MAC address reported at registration (default 00:11:22:33:44:55)\n"
    "  --host-name N          host name reported at registration (default sim-host)\n"
    "  --cpu PERCENT          CPU use answered to host queries (default 10)\n"
    "  --mem TOTAL:FREE       memory in bytes answered to host queries (default 8 GiB:2 GiB)\n"
    "  --disk TOTAL:FREE      disk answered to host queries (default 100:25)\n"
    "  --policy-error TEXT    answer every policy push with this error\n"
    "  --seconds S            run: how long to stay; load: how long to keep the agents\n"
    "                         connected afterwards (default 0)\n"
    "uploads and load:\n"
    "  --type T               upload type: a system-log type, or 500 for security audit\n"
    "                         (default 4)\n"
    "  --lines N              system-log lines per upload (default 100)\n"
    "  --agents N             load: number of agents (default 100)\n"
    "  --rate R               load: new agents per second (default 100)\n"
    "  --uploads K            load: uploads per agent after registering (default 0)\n"
    "raw:\n"
    "  --hex BYTES            the bytes to send, in hexadecimal\n"
    "\n"
    "  -h, --help             print this help and exit\n"
    "  --version              print the version and exit\n";

// "TOTAL:FREE", both plain decimal numbers.
bool parseSplit(const std::string& s, uint64_t& a, uint64_t& b) {
    auto const colon = s.find(':');
    if (colon == std::string::npos) return false;
    auto whole = [](const std::string& text, uint64_t& out) {
        auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
        return !text.empty() && error == std::errc() && end == text.data() + text.size();
    };
    return whole(s.substr(0, colon), a) && whole(s.substr(colon + 1), b);
}

bool isHex(const std::string& s) {
    return s.size() % 2 == 0 &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

bool connectAgent(const Options& o, TakAgentClient& agent, std::string& error) {
    if (!o.serverKeyHex.empty()) {
        TakSm2Key::Point point;
        if (!TakAgentClient::readServerPoint(o.serverKeyHex, point)) {
            error = "cannot read the server's public key from " + o.serverKeyHex;
            return false;
        }
        agent.setServerPoint(point);
    }
    if (!agent.connect(o.host, o.port)) {
        error = "cannot connect to " + o.host + ":" + std::to_string(o.port);
        return false;
    }
    return agent.handshake(&error);
}

std::string systemLog(int lines, int items, const std::string& tag) {
    std::vector<std::vector<std::string>> content;
    for (int i = 0; i < lines; ++i) {
        std::vector<std::string> line{std::to_string(1700000000 + i)};
        for (int k = 1; k < items; ++k) line.push_back(tag + " item " + std::to_string(k));
        content.push_back(std::move(line));
    }
    return TakAgentClient::systemLogData(content);
}

std::string secureLog(int records) {
    Tak::SecureLog::AuditContentAsr content;
    for (int i = 0; i < records; ++i) {
        auto* r = content.add_arrauditcontent();
        r->set_nprocessed(0);
        r->set_ntype(1);
        r->set_struser("root");
        r->set_nresult(0);
        r->set_ntime(1700000000 + i);
        r->set_nop(1);
        r->set_strsummary("summary");
        r->set_strdesc("description");
        r->set_nsubtype(2);
    }
    return content.SerializeAsString();
}

// Answers what the server asks until the connection closes or the time is up.
int serve(const Options& o, TakAgentClient& agent) {
    auto const end = std::chrono::steady_clock::now() + std::chrono::seconds(o.seconds);
    while (!g_stop.load() && (o.seconds == 0 || std::chrono::steady_clock::now() < end)) {
        MessageData m;
        if (!agent.receive(m, 200)) {
            if (agent.peerClosed()) {
                std::cout << "the server closed the connection" << std::endl;
                return 1;
            }
            continue;
        }
        if (m.ndatatype() != ComDefine::PackDataReq) continue;
        auto business = TakAgentClient::businessOf(m);
        auto command = business.moduledata().ncommandid();
        if (command == ComDefine::hostInfo_getSystemRes) {
            Tak::HostInfo::ResourceInfoAsr answer;
            answer.set_ncpurate(static_cast<unsigned>(o.cpu));
            answer.set_ntotalmem(o.memTotal);
            answer.set_nfreemem(o.memFree);
            answer.set_ntotaldisk(o.diskTotal);
            answer.set_nfreedisk(o.diskFree);
            (void)agent.sendAnswer(m, answer.SerializeAsString());
            std::cout << "answered a host query" << std::endl;
        } else if (command == ComDefine::policy_notify) {
            Tak::PolicyNotify::BusinessPolicyDown down;
            down.ParsePartialFromString(business.moduledata().commanddata());
            std::cout << "policy " << down.nid() << " command "
                      << down.bsdata().moduledata().ncommandid() << ", "
                      << down.bsdata().moduledata().commanddata().size() << " bytes" << std::endl;
            if (!o.policyError.empty()) (void)agent.sendPolicyError(m, down.nid(), o.policyError);
        }
    }
    return 0;
}

int runLoad(const Options& o) {
    std::vector<std::unique_ptr<TakAgentClient>> agents(static_cast<size_t>(o.agents));
    std::vector<double> latencies(agents.size(), -1);
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    auto const start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < agents.size(); ++i) {
        auto const due = start + std::chrono::duration<double>(static_cast<double>(i) / o.rate);
        std::this_thread::sleep_until(due);
        threads.emplace_back([&, i] {
            auto& agent = agents[i];
            agent = std::make_unique<TakAgentClient>();
            auto const t0 = std::chrono::steady_clock::now();
            std::string error;
            char mac[32];
            std::snprintf(mac, sizeof mac, "sim-%06zu", i);
            if (!connectAgent(o, *agent, error) || agent->sendDeviceInfo(mac) == 0) {
                ++failed;
                return;
            }
            MessageData ack;
            if (!agent->receive(ack, 10000)) {
                ++failed;
                return;
            }
            latencies[i] =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count();
            for (int u = 0; u < o.uploads; ++u) {
                (void)agent->sendAuditUpload(static_cast<Tak::PolicyNotify::EAuditUpType>(o.type),
                                             mac, systemLog(o.lines, 5, mac));
            }
        });
    }
    for (auto& t : threads) t.join();
    double const total =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<double> ok;
    for (double l : latencies)
        if (l >= 0) ok.push_back(l);
    std::sort(ok.begin(), ok.end());
    auto pct = [&](double p) {
        return ok.empty() ? 0.0
                          : ok[std::min(ok.size() - 1,
                                        static_cast<size_t>(p * static_cast<double>(ok.size())))];
    };
    std::printf(
        "agents %d connected and registered %zu failed %d in %.3f s; "
        "key exchange + registration receipt: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
        o.agents, ok.size(), failed.load(), total, pct(0.5), pct(0.99),
        ok.empty() ? 0.0 : ok.back());
    if (o.seconds > 0) std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
    return failed.load() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    constexpr int kMax = 1 << 30;
    TakCommandLine commandLine("tak-agent-sim", kUsage);
    commandLine.text("--host", &o.host)
        .integer("--port", &o.port, 1, 65535)
        .text("--server-key", &o.serverKeyHex)
        .text("--mac", &o.mac)
        .text("--host-name", &o.hostName)
        .integer("--cpu", &o.cpu, 0, kMax)
        .option("--mem", "TOTAL:FREE",
                [&o](const std::string& v) { return parseSplit(v, o.memTotal, o.memFree); })
        .option("--disk", "TOTAL:FREE",
                [&o](const std::string& v) { return parseSplit(v, o.diskTotal, o.diskFree); })
        .text("--policy-error", &o.policyError)
        .integer("--seconds", &o.seconds, 0, kMax)
        .integer("--agents", &o.agents, 1, kMax)
        .number("--rate", &o.rate, 0)
        .integer("--lines", &o.lines, 0, kMax)
        .integer("--type", &o.type, 0, kMax)
        .integer("--uploads", &o.uploads, 0, kMax)
        .option("--hex", "an even number of hexadecimal digits", [&o](const std::string& v) {
            o.hex = v;
            return isHex(v);
        });
    if (auto const status = commandLine.parse(argc, argv)) return *status;
    std::vector<std::string> const& words = commandLine.positional();
    if (words.empty()) return commandLine.fail("a command is required: run, upload, load or raw");
    if (words.size() > 1) return commandLine.fail("unexpected argument '" + words[1] + "'");
    o.command = words[0];
    if (o.command != "run" && o.command != "upload" && o.command != "load" && o.command != "raw") {
        return commandLine.fail("unknown command '" + o.command + "'");
    }
    std::signal(SIGINT, [](int) { g_stop.store(true); });
    std::signal(SIGTERM, [](int) { g_stop.store(true); });

    if (o.command == "load") return runLoad(o);

    TakAgentClient agent;
    std::string error;
    if (o.command == "raw") {
        if (!agent.connect(o.host, o.port)) return std::cerr << "cannot connect\n", 1;
        std::string bytes;
        for (size_t i = 0; i + 1 < o.hex.size(); i += 2) {
            bytes.push_back(
                static_cast<char>(std::strtoul(o.hex.substr(i, 2).c_str(), nullptr, 16)));
        }
        (void)agent.sendRaw(bytes);
        MessageData m;
        while (agent.receive(m, 1000)) std::cout << m.ShortDebugString() << std::endl;
        std::cout << (agent.peerClosed() ? "closed by the server" : "no more frames") << std::endl;
        return 0;
    }
    if (!connectAgent(o, agent, error)) {
        std::cerr << "tak-agent-sim: " << error << std::endl;
        return 1;
    }
    std::cout << "key exchange done" << std::endl;
    (void)agent.sendDeviceInfo(o.mac, o.hostName);
    if (o.command == "run") return serve(o, agent);
    if (o.command == "upload") {
        std::string const data = o.type == 500 ? secureLog(3) : systemLog(o.lines, 5, o.mac);
        uint32_t const seq = agent.sendAuditUpload(
            static_cast<Tak::PolicyNotify::EAuditUpType>(o.type), o.mac, data);
        MessageData m;
        while (agent.receive(m, 2000)) {
            if (m.nseqid() == seq && m.ndatatype() == ComDefine::PackDataAsr) {
                std::cout << "upload answered" << std::endl;
                return 0;
            }
        }
        std::cerr << "no answer to the upload" << std::endl;
        return 1;
    }
    return 1;
}
