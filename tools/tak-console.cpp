// A command-line console for comm-serd's Thrift service.
//   tak-console [--host H] [--port P] [--json] [--verbose] notify
//   tak-console [--host H] [--port P] [--json] [--verbose] hostinfo MAC
//   tak-console [--host H] [--port P] [--json] [--verbose] auth MAC on|off
#include <thrift/Thrift.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "comm-serd/TakCommandLine.h"
#include "notifyService.h"

using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TSocket;
using tak::rpc::notify::ERpcReturnValue;

namespace {

const char* const kUsage =
    "usage: tak-console [--host HOST] [--port PORT] [--json] [--verbose] COMMAND\n"
    "Calls comm-serd's console service (Thrift, binary protocol, buffered transport).\n"
    "\n"
    "commands:\n"
    "  notify              push the pending policies to the online agents\n"
    "  hostinfo MAC        CPU, free memory and free disk of a connected host\n"
    "  auth MAC on|off     approve or revoke a host (a revoked host is disconnected)\n"
    "\n"
    "options:\n"
    "  --host HOST   the daemon's address (default 127.0.0.1)\n"
    "  --port PORT   its [Rpc] Port (default 7400)\n"
    "  --json        print the answer as one JSON object\n"
    "  --verbose     also print the Thrift library's own messages on standard error\n"
    "  -h, --help    print this help and exit\n"
    "  --version     print the version and exit\n"
    "\n"
    "exit status: 0 done, 1 the daemon refused (auth failed), 2 bad command line,\n"
    "3 the daemon does not answer\n";

// Thrift prints its own diagnostics (TOutput) on standard error; the console keeps them for
// --verbose and otherwise reports failures in its own words.
void dropThriftOutput(const char*) {}

std::string jsonString(const std::string& s) {
    std::ostringstream out;
    out << '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out << '\\' << c;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out << buf;
        } else {
            out << c;
        }
    }
    out << '"';
    return out.str();
}

std::string jsonNumber(double v) {
    if (std::isnan(v) || std::isinf(v)) return "null";
    std::ostringstream out;
    out << v;
    return out.str();
}

std::string percent(double share) {
    if (std::isnan(share) || std::isinf(share)) return "unknown";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %%", share * 100.0);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    int port = 7400;
    bool json = false;
    bool verbose = false;
    TakCommandLine commandLine("tak-console", kUsage);
    commandLine.text("--host", &host)
        .integer("--port", &port, 1, 65535)
        .flag("--json", &json)
        .flag("--verbose", &verbose);
    if (auto const status = commandLine.parse(argc, argv)) return *status;
    std::vector<std::string> const& args = commandLine.positional();
    if (args.empty()) return commandLine.fail("a command is required: notify, hostinfo or auth");
    std::string const& command = args[0];
    if (command == "notify") {
        if (args.size() != 1) return commandLine.fail("notify takes no argument");
    } else if (command == "hostinfo") {
        if (args.size() != 2) return commandLine.fail("usage: tak-console hostinfo MAC");
    } else if (command == "auth") {
        if (args.size() != 3 || (args[2] != "on" && args[2] != "off")) {
            return commandLine.fail("usage: tak-console auth MAC on|off");
        }
    } else {
        return commandLine.fail("unknown command '" + command + "'");
    }
    if (!verbose) apache::thrift::GlobalOutput.setOutputFunction(dropThriftOutput);

    auto socket = std::make_shared<TSocket>(host, port);
    socket->setConnTimeout(3000);
    socket->setRecvTimeout(15000);
    socket->setSendTimeout(5000);
    auto transport = std::make_shared<TBufferedTransport>(socket);
    auto protocol = std::make_shared<TBinaryProtocol>(transport);
    tak::rpc::notify::notifyServiceClient client(protocol);
    try {
        transport->open();
        if (command == "notify") {
            client.notifyPolicy();
            std::cout << (json ? "{\"notified\":true}" : "pending policies are being pushed")
                      << std::endl;
        } else if (command == "hostinfo") {
            tak::rpc::notify::STHostInfo info;
            client.getDeviceHostInfo(info, args[1]);
            bool const answered = !std::isnan(info.fMemoryUse) || !std::isnan(info.fDiskUse);
            if (json) {
                std::cout << "{\"mac\":" << jsonString(args[1])
                          << ",\"answered\":" << (answered ? "true" : "false")
                          << ",\"cpuUse\":" << jsonNumber(info.fCpuUse)
                          << ",\"memoryFree\":" << jsonNumber(info.fMemoryUse)
                          << ",\"diskFree\":" << jsonNumber(info.fDiskUse) << "}" << std::endl;
            } else if (!answered) {
                std::cout << args[1]
                          << ": no answer (the host is not connected, or did not answer within "
                             "one second)"
                          << std::endl;
            } else {
                std::cout << args[1] << ": CPU " << info.fCpuUse << " %, free memory "
                          << percent(info.fMemoryUse) << ", free disk " << percent(info.fDiskUse)
                          << std::endl;
            }
        } else {
            bool const on = args[2] == "on";
            ERpcReturnValue::type const r = client.authDevice(args[1], on);
            auto const name = tak::rpc::notify::_ERpcReturnValue_VALUES_TO_NAMES.find(r);
            std::string const rname =
                name == tak::rpc::notify::_ERpcReturnValue_VALUES_TO_NAMES.end()
                    ? std::to_string(static_cast<int>(r))
                    : name->second;
            if (json) {
                std::cout << "{\"mac\":" << jsonString(args[1])
                          << ",\"auth\":" << (on ? "true" : "false")
                          << ",\"result\":" << static_cast<int>(r)
                          << ",\"name\":" << jsonString(rname) << "}" << std::endl;
            } else if (r == ERpcReturnValue::rpcRet_succeed) {
                std::cout << args[1] << (on ? ": approved" : ": revoked and disconnected")
                          << std::endl;
            } else {
                std::cout << args[1] << ": " << (on ? "approval" : "revocation") << " failed ("
                          << rname << "): the host is not registered, or the "
                          << "database did not answer in time" << std::endl;
            }
            transport->close();
            return r == ERpcReturnValue::rpcRet_succeed ? 0 : 1;
        }
        transport->close();
    } catch (const std::exception& e) {
        std::cerr << "tak-console: comm-serd does not answer at " << host << ":" << port << ": "
                  << e.what() << std::endl;
        return 3;
    }
    return 0;
}
