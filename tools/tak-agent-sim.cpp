// An agent simulator for comm-serd, on the daemon's own protocol code.
//
//   tak-agent-sim [--host H] --port P [--server-key HEXFILE] [options] COMMAND
//
// Commands:
//   run        one agent: key exchange, device registration with --mac, then it stays
//              connected and answers host queries and policy pushes until --seconds pass
//              (0: until interrupted)
//   upload     one agent registers and uploads --lines system-log lines of --type (500: three
//              security-audit records), then waits for the answer
//   load       --agents N agents connect at --rate per second, each exchanges keys and
//              registers; prints the time of the key exchanges and registrations
//   raw        connects and sends the bytes given as --hex, then prints what comes back
//
// Options: --mac M, --host-name N, --cpu PERCENT, --mem TOTAL:FREE, --disk TOTAL:FREE,
// --policy-error TEXT (answer policy pushes with this error), --uploads K (load: system-log
// uploads of --lines lines per agent after registering).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tak.Base.pb.h"
#include "Tak.HostInfo.pb.h"
#include "Tak.SecureLog.pb.h"
#include "Tak.SystemLog.pb.h"
#include "agent/TakAgentClient.h"

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
    unsigned cpu = 10;
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

int usage() {
    std::cerr << "usage: tak-agent-sim [--host H] --port P [--server-key HEXFILE] [options] "
                 "run|upload|load|raw\n(see the comment at the top of tools/tak-agent-sim.cpp)\n";
    return 2;
}

bool parseSplit(const std::string& s, uint64_t& a, uint64_t& b) {
    auto colon = s.find(':');
    if (colon == std::string::npos) return false;
    a = std::strtoull(s.substr(0, colon).c_str(), nullptr, 10);
    b = std::strtoull(s.substr(colon + 1).c_str(), nullptr, 10);
    return true;
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
            answer.set_ncpurate(o.cpu);
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
    for (int i = 1; i < argc; ++i) {
        std::string const a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--host")
            o.host = next();
        else if (a == "--port")
            o.port = std::atoi(next().c_str());
        else if (a == "--server-key")
            o.serverKeyHex = next();
        else if (a == "--mac")
            o.mac = next();
        else if (a == "--host-name")
            o.hostName = next();
        else if (a == "--cpu")
            o.cpu = static_cast<unsigned>(std::atoi(next().c_str()));
        else if (a == "--mem") {
            if (!parseSplit(next(), o.memTotal, o.memFree)) return usage();
        } else if (a == "--disk") {
            if (!parseSplit(next(), o.diskTotal, o.diskFree)) return usage();
        } else if (a == "--policy-error")
            o.policyError = next();
        else if (a == "--seconds")
            o.seconds = std::atoi(next().c_str());
        else if (a == "--agents")
            o.agents = std::atoi(next().c_str());
        else if (a == "--rate")
            o.rate = std::atof(next().c_str());
        else if (a == "--lines")
            o.lines = std::atoi(next().c_str());
        else if (a == "--type")
            o.type = std::atoi(next().c_str());
        else if (a == "--uploads")
            o.uploads = std::atoi(next().c_str());
        else if (a == "--hex")
            o.hex = next();
        else if (!a.empty() && a[0] != '-' && o.command.empty())
            o.command = a;
        else
            return usage();
    }
    if (o.command.empty() || o.rate <= 0 || o.agents <= 0) return usage();
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
    return usage();
}
