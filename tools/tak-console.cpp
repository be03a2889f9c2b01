// A command-line console for comm-serd: its Thrift service and its admin endpoint.
//   tak-console [--host H] [--port P] [--json] [--verbose] notify
//   tak-console [--host H] [--port P] [--json] [--verbose] hostinfo MAC
//   tak-console [--host H] [--port P] [--json] [--verbose] auth MAC on|off
//   tak-console [--admin HOST:PORT] [--json] status | hosts
#include <httplib.h>
#include <thrift/Thrift.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
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
    "  status              health and the main figures (from the admin endpoint)\n"
    "  hosts               the connected agents (from the admin endpoint)\n"
    "\n"
    "options:\n"
    "  --host HOST   the daemon's address (default 127.0.0.1)\n"
    "  --port PORT   its [Rpc] Port (default 7400)\n"
    "  --admin HOST:PORT  its [Admin] Listen (default 127.0.0.1:7401; IPv6 as [::1]:7401)\n"
    "  --json        print the answer as one JSON object\n"
    "  --verbose     also print the Thrift library's own messages on standard error\n"
    "  -h, --help    print this help and exit\n"
    "  --version     print the version and exit\n"
    "\n"
    "exit status: 0 done, 1 the daemon refused (auth failed) or is not healthy (status),\n"
    "2 bad command line, 3 the daemon does not answer\n";

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

// "HOST:PORT", IPv6 in brackets.
bool splitAddress(const std::string& value, std::string* host, int* port) {
    size_t const colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == value.size()) return false;
    std::string name = value.substr(0, colon);
    std::string const digits = value.substr(colon + 1);
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    } else if (name.find(':') != std::string::npos) {
        return false;
    }
    if (digits.size() > 5) return false;
    for (unsigned char c : digits) {
        if (!std::isdigit(c)) return false;
    }
    int const number = std::atoi(digits.c_str());
    if (number < 1 || number > 65535) return false;
    *host = name;
    *port = number;
    return true;
}

// A GET on the admin endpoint; nothing when it does not answer (the reason in *error).
std::optional<httplib::Result> adminGet(const std::string& host, int port, const char* path,
                                        std::string* error) {
    httplib::Client client(host, port);
    client.set_connection_timeout(3, 0);
    client.set_read_timeout(10, 0);
    auto result = client.Get(path);
    if (!result) {
        *error = httplib::to_string(result.error());
        return std::nullopt;
    }
    return result;
}

// The samples of a Prometheus text: "name{labels}" -> value.
std::map<std::string, double> parseMetrics(const std::string& text) {
    std::map<std::string, double> samples;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string const line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        size_t const space = line.rfind(' ');
        if (space == std::string::npos) continue;
        samples[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
    }
    return samples;
}

// The sum of the samples of one family (every label set).
double familySum(const std::map<std::string, double>& samples, const std::string& family) {
    double sum = 0;
    for (auto it = samples.lower_bound(family); it != samples.end(); ++it) {
        const std::string& key = it->first;
        if (key.compare(0, family.size(), family) != 0) break;
        if (key.size() == family.size() || key[family.size()] == '{') sum += it->second;
    }
    return sum;
}

long long sample(const std::map<std::string, double>& samples, const std::string& key) {
    auto it = samples.find(key);
    return it == samples.end() ? 0 : static_cast<long long>(it->second);
}

// The database names of the commserd_db_up samples.
std::vector<std::string> databases(const std::map<std::string, double>& samples) {
    std::vector<std::string> names;
    std::string const prefix = "commserd_db_up{database=\"";
    for (auto it = samples.lower_bound(prefix); it != samples.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0) break;
        names.push_back(it->first.substr(prefix.size(), it->first.size() - prefix.size() - 2));
    }
    return names;
}

int status(const std::string& host, int port, const std::string& where, bool json) {
    std::string error;
    auto health = adminGet(host, port, "/healthz", &error);
    auto metrics = health ? adminGet(host, port, "/metrics", &error) : std::nullopt;
    if (!health || !metrics || (*metrics)->status != 200) {
        std::cerr << "tak-console: comm-serd's admin endpoint does not answer at " << where << ": "
                  << (error.empty() ? "no metrics" : error) << std::endl;
        return 3;
    }
    bool const healthy = (*health)->status == 200;
    std::vector<std::string> problems;
    if (!healthy) {
        size_t start = 0;
        std::string const& body = (*health)->body;
        while (start < body.size()) {
            size_t end = body.find('\n', start);
            if (end == std::string::npos) end = body.size();
            if (end > start) problems.push_back(body.substr(start, end - start));
            start = end + 1;
        }
    }
    auto const m = parseMetrics((*metrics)->body);
    long long const connected = sample(m, "commserd_sessions{state=\"connected\"}");
    long long const exchanged = sample(m, "commserd_sessions{state=\"key_exchanged\"}");
    long long const registered = sample(m, "commserd_sessions{state=\"registered\"}");
    auto const uploads = static_cast<long long>(familySum(m, "commserd_uploads_total"));
    auto const rows = static_cast<long long>(familySum(m, "commserd_rows_stored_total"));
    auto const skipped = static_cast<long long>(familySum(m, "commserd_lines_skipped_total"));
    long long const errors = sample(m, "commserd_log_records_total{level=\"error\"}");
    long long const warnings = sample(m, "commserd_log_records_total{level=\"warn\"}");
    std::vector<std::string> const dbs = databases(m);
    auto const dbFigure = [&](const char* family, const std::string& name) {
        return sample(m, std::string(family) + "{database=\"" + name + "\"}");
    };

    if (json) {
        std::cout << "{\"healthy\":" << (healthy ? "true" : "false") << ",\"problems\":[";
        for (size_t i = 0; i < problems.size(); ++i) {
            std::cout << (i ? "," : "") << jsonString(problems[i]);
        }
        std::cout << "],\"sessions\":{\"connected\":" << connected
                  << ",\"keyExchanged\":" << exchanged << ",\"registered\":" << registered
                  << "},\"uploads\":" << uploads << ",\"rowsStored\":" << rows
                  << ",\"linesSkipped\":" << skipped << ",\"databases\":{";
        for (size_t i = 0; i < dbs.size(); ++i) {
            std::cout << (i ? "," : "") << jsonString(dbs[i])
                      << ":{\"up\":" << (dbFigure("commserd_db_up", dbs[i]) ? "true" : "false")
                      << ",\"queuedTasks\":" << dbFigure("commserd_db_queued_tasks", dbs[i])
                      << ",\"queuedBytes\":" << dbFigure("commserd_db_queued_bytes", dbs[i]) << "}";
        }
        std::cout << "},\"errors\":" << errors << ",\"warnings\":" << warnings << "}" << std::endl;
    } else {
        std::cout << "comm-serd at " << where << ": " << (healthy ? "healthy" : "NOT healthy")
                  << std::endl;
        for (const auto& problem : problems) std::cout << "  " << problem << std::endl;
        std::cout << "sessions: " << connected << " connected, " << exchanged << " key exchanged, "
                  << registered << " registered" << std::endl;
        std::cout << "uploads: " << uploads << ", rows stored: " << rows
                  << ", lines skipped: " << skipped << std::endl;
        for (const auto& name : dbs) {
            std::cout << "database " << name << ": "
                      << (dbFigure("commserd_db_up", name) ? "up" : "DOWN") << ", "
                      << dbFigure("commserd_db_queued_tasks", name) << " tasks queued ("
                      << dbFigure("commserd_db_queued_bytes", name) << " bytes)" << std::endl;
        }
        std::cout << "log records since start: " << errors << " errors, " << warnings << " warnings"
                  << std::endl;
    }
    return healthy ? 0 : 1;
}

// ---- /sessions: a JSON array of flat objects (strings, numbers, true/false) ----

struct JsonReader {
    const std::string& text;
    size_t pos = 0;

    void space() {
        while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    }
    bool eat(char c) {
        space();
        if (pos < text.size() && text[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }
    static void appendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    bool string(std::string* out) {
        if (!eat('"')) return false;
        while (pos < text.size() && text[pos] != '"') {
            char c = text[pos++];
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (pos >= text.size()) return false;
            c = text[pos++];
            switch (c) {
                case 'n':
                    *out += '\n';
                    break;
                case 't':
                    *out += '\t';
                    break;
                case 'r':
                    *out += '\r';
                    break;
                case 'b':
                    *out += '\b';
                    break;
                case 'f':
                    *out += '\f';
                    break;
                case 'u': {
                    if (pos + 4 > text.size()) return false;
                    unsigned code = 0;
                    for (int k = 0; k < 4; ++k) {
                        char const h = text[pos++];
                        if (!std::isxdigit(static_cast<unsigned char>(h))) return false;
                        code = code * 16 +
                               static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(h))
                                                         ? h - '0'
                                                         : std::tolower(h) - 'a' + 10);
                    }
                    appendUtf8(*out, code);
                    break;
                }
                default:
                    *out += c;
                    break;  // \" \\ \/
            }
        }
        return eat('"');
    }
    // A scalar as text: a string's value, or the literal (number, true, false, null).
    bool value(std::string* out) {
        space();
        if (pos < text.size() && text[pos] == '"') return string(out);
        while (pos < text.size() && (std::isalnum(static_cast<unsigned char>(text[pos])) ||
                                     text[pos] == '-' || text[pos] == '.')) {
            *out += text[pos++];
        }
        return !out->empty();
    }
};

bool parseSessions(const std::string& body, std::vector<std::map<std::string, std::string>>* rows) {
    JsonReader in{body};
    if (!in.eat('[')) return false;
    if (in.eat(']')) return true;
    do {
        if (!in.eat('{')) return false;
        std::map<std::string, std::string> row;
        if (!in.eat('}')) {
            do {
                std::string key;
                std::string value;
                if (!in.string(&key) || !in.eat(':') || !in.value(&value)) return false;
                row[key] = value;
            } while (in.eat(','));
            if (!in.eat('}')) return false;
        }
        rows->push_back(std::move(row));
    } while (in.eat(','));
    return in.eat(']');
}

// Text an agent reported, made safe for a terminal: control characters shown as "?".
std::string printable(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return text.empty() ? "-" : text;
}

int hosts(const std::string& host, int port, const std::string& where, bool json) {
    std::string error;
    auto result = adminGet(host, port, "/sessions", &error);
    if (!result || (*result)->status != 200) {
        std::cerr << "tak-console: comm-serd's admin endpoint does not answer at " << where << ": "
                  << (error.empty() ? "no sessions" : error) << std::endl;
        return 3;
    }
    if (json) {
        std::cout << (*result)->body;
        return 0;
    }
    std::vector<std::map<std::string, std::string>> rows;
    if (!parseSessions((*result)->body, &rows)) {
        std::cerr << "tak-console: the admin endpoint at " << where
                  << " sent sessions that cannot be read" << std::endl;
        return 3;
    }
    std::cout << std::left << std::setw(20) << "MAC"
              << " " << std::setw(22) << "PEER"
              << " " << std::setw(21) << "CONNECTED SINCE"
              << " " << std::setw(4) << "KEY"
              << " "
              << "AUTHORIZED" << std::endl;
    for (auto& row : rows) {
        std::cout << std::left << std::setw(20) << printable(row["mac"]) << " " << std::setw(22)
                  << printable(row["peer"]) << " " << std::setw(21)
                  << printable(row["connectedSince"]) << " " << std::setw(4)
                  << (row["keyExchanged"] == "true" ? "yes" : "no") << " "
                  << (row["authorized"] == "true"
                          ? "yes"
                          : (row["registered"] == "true" ? "refused" : "not yet"))
                  << std::endl;
    }
    std::cout << rows.size() << (rows.size() == 1 ? " session" : " sessions") << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    int port = 7400;
    bool json = false;
    bool verbose = false;
    std::string admin = "127.0.0.1:7401";
    std::string adminHost;
    int adminPort = 0;
    TakCommandLine commandLine("tak-console", kUsage);
    commandLine.text("--host", &host)
        .integer("--port", &port, 1, 65535)
        .flag("--json", &json)
        .flag("--verbose", &verbose)
        .option("--admin", "HOST:PORT", [&admin](const std::string& value) {
            std::string h;
            int p = 0;
            if (!splitAddress(value, &h, &p)) return false;
            admin = value;
            return true;
        });
    if (auto const status = commandLine.parse(argc, argv)) return *status;
    std::vector<std::string> const& args = commandLine.positional();
    if (args.empty()) {
        return commandLine.fail("a command is required: notify, hostinfo, auth, status or hosts");
    }
    std::string const& command = args[0];
    if (command == "notify") {
        if (args.size() != 1) return commandLine.fail("notify takes no argument");
    } else if (command == "hostinfo") {
        if (args.size() != 2) return commandLine.fail("usage: tak-console hostinfo MAC");
    } else if (command == "auth") {
        if (args.size() != 3 || (args[2] != "on" && args[2] != "off")) {
            return commandLine.fail("usage: tak-console auth MAC on|off");
        }
    } else if (command == "status" || command == "hosts") {
        if (args.size() != 1) return commandLine.fail(command + " takes no argument");
        (void)splitAddress(admin, &adminHost, &adminPort);
        return command == "status" ? status(adminHost, adminPort, admin, json)
                                   : hosts(adminHost, adminPort, admin, json);
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
