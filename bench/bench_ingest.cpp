// System-log ingest through the daemon, beside plain clients storing the same rows on the same
// server:
//   daemon           agents upload system-log lines (100 per upload by default); lines stored
//                    per second, from the first upload sent to the last row committed
//   prepared/line    one plain client, the daemon's statement: prepared once per upload,
//                    executed once per line, one commit per upload
//   multi-row        one plain client, one multi-row INSERT (and commit) per upload
//
//   bench_ingest [--db-port P] [--agents 50] [--uploads 10] [--lines 100] [--keep]
//
// Starts build/bin/comm-serd (next to this program) in a temporary directory with a fresh key
// (tak-keygen) against the MariaDB on 127.0.0.1:P (default: TAK_TEST_DB_PORT, else 3306; user
// tak), e.g. the private one of scripts/mariadb.sh. It empties auditEvent_dev.systemLog_kernelInfo
// and removes the registry rows of its agents ("bench-..."). It reports figures and never fails
// on timing; it fails only when the daemon or the server cannot be used. --keep keeps the
// daemon's directory (logs).
#include <arpa/inet.h>
#include <fcntl.h>
#include <mysql.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Tak.SystemLog.pb.h"
#include "agent/TakAgentClient.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Tak::Business::MessageData;

namespace {

struct Options {
    unsigned int dbPort = 3306;
    int agents = 50;
    int uploads = 10;
    int lines = 100;
    bool keep = false;
};

constexpr int kItems = 5;

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

int freePort() {
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    ::close(fd);
    return port;
}

// A child process, killed and reaped when the object goes.
class Child {
public:
    Child(const std::vector<std::string>& argv, const fs::path& dir, const fs::path& out) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::string const dirText = dir.string();
        std::string const outText = out.string();
        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int const fd = open(outText.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || chdir(dirText.c_str()) != 0) _exit(126);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Child() { stop(SIGKILL); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return m_pid > 0; }
    // Exit status, once ended.
    int wait() {
        int status = 0;
        if (m_pid > 0) waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }
    void stop(int sig) {
        if (m_pid <= 0) return;
        kill(m_pid, sig);
        wait();
    }

private:
    pid_t m_pid = -1;
};

// A plain client on the audit database, autocommit on.
class Client {
public:
    explicit Client(unsigned int port) {
        mysql_init(&m_mysql);
        m_ok = mysql_real_connect(&m_mysql, "127.0.0.1", "tak", "kertowan582", "auditEvent_dev",
                                  port, nullptr, 0) != nullptr;
    }
    ~Client() { mysql_close(&m_mysql); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool ok() const { return m_ok; }
    MYSQL* handle() { return &m_mysql; }
    std::string error() { return mysql_error(&m_mysql); }
    bool exec(const std::string& sql) {
        if (mysql_real_query(&m_mysql, sql.data(), sql.size()) != 0) return false;
        if (mysql_field_count(&m_mysql) != 0) mysql_free_result(mysql_store_result(&m_mysql));
        return true;
    }
    long long number(const std::string& sql) {
        if (mysql_real_query(&m_mysql, sql.data(), sql.size()) != 0) return -1;
        MYSQL_RES* res = mysql_store_result(&m_mysql);
        if (res == nullptr) return -1;
        long long value = -1;
        if (MYSQL_ROW row = mysql_fetch_row(res); row && row[0]) value = std::atoll(row[0]);
        mysql_free_result(res);
        return value;
    }
    std::string escape(const std::string& text) {
        std::string out(text.size() * 2 + 1, '\0');
        out.resize(mysql_real_escape_string(&m_mysql, out.data(), text.data(), text.size()));
        return out;
    }

private:
    MYSQL m_mysql{};
    bool m_ok = false;
};

std::string macOf(int agent) {
    char mac[32];
    std::snprintf(mac, sizeof mac, "bench-%03d", agent);
    return mac;
}

// The lines of one upload.
std::vector<std::vector<std::string>> uploadLines(int agent, int upload, int lines) {
    std::vector<std::vector<std::string>> out;
    for (int i = 0; i < lines; ++i) {
        long long const stamp = 1700000000LL + upload * lines + i;
        out.push_back({std::to_string(stamp), "kernel", "host-" + std::to_string(agent), "warning",
                       "usb 1-1: device descriptor read/64, error -71 #" + std::to_string(i)});
    }
    return out;
}

bool waitForText(const fs::path& file, const std::string& text, std::chrono::seconds timeout) {
    auto const end = Clock::now() + timeout;
    while (Clock::now() < end) {
        std::ifstream in(file);
        std::stringstream s;
        s << in.rdbuf();
        if (s.str().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Lines per second through the daemon; negative on failure.
double runDaemon(const Options& o, const fs::path& dir, Client& db) {
    fs::path const bin = fs::read_symlink("/proc/self/exe").parent_path();
    fs::create_directories(dir / "config");
    {
        Child keygen({(bin / "tak-keygen").string(), "--dir", (dir / "config").string()}, dir,
                     dir / "keygen.txt");
        if (!keygen.started() || keygen.wait() != 0) {
            std::fprintf(stderr, "bench_ingest: tak-keygen failed\n");
            return -1;
        }
    }
    TakSm2Key::Point point;
    if (!TakAgentClient::readServerPoint((dir / "config" / "scert-pub.hex").string(), point)) {
        std::fprintf(stderr, "bench_ingest: no public key from tak-keygen\n");
        return -1;
    }
    int const port = freePort();
    {
        std::ofstream ini(dir / "config" / "config.ini");
        ini << "[IPInfo]\nIP = 127.0.0.1\nPORT = " << port << "\n\n[Rpc]\nPort = " << freePort()
            << "\n\n[Log]\nDir = " << (dir / "logs").string()
            << "/\n\n[Database]\nPort = " << o.dbPort << "\n";
    }
    Child daemon({(bin / "comm-serd").string()}, dir, dir / "stdout.txt");
    if (!daemon.started() ||
        !waitForText(dir / "stdout.txt", "\nserver listen on port:", std::chrono::seconds(10))) {
        std::fprintf(stderr, "bench_ingest: the daemon did not start (see %s)\n",
                     (dir / "stdout.txt").c_str());
        return -1;
    }

    long long const total = static_cast<long long>(o.agents) * o.uploads * o.lines;
    std::atomic<int> failed{0};
    std::atomic<int> answers{0};
    Clock::time_point t0;
    std::barrier ready(o.agents + 1, [&t0]() noexcept { t0 = Clock::now(); });
    std::vector<std::thread> agents;
    for (int i = 0; i < o.agents; ++i) {
        agents.emplace_back([&, i] {
            TakAgentClient agent;
            agent.setServerPoint(point);
            std::string const mac = macOf(i);
            std::vector<std::string> payloads;
            for (int u = 0; u < o.uploads; ++u)
                payloads.push_back(TakAgentClient::systemLogData(uploadLines(i, u, o.lines)));
            MessageData m;
            bool ok = agent.connect("127.0.0.1", port) && agent.handshake() &&
                      agent.sendDeviceInfo(mac) != 0 && agent.receive(m, 10000);
            if (!ok) ++failed;
            ready.arrive_and_wait();
            if (!ok) return;
            for (const auto& payload : payloads) {
                if (agent.sendAuditUpload(Tak::PolicyNotify::auditUpType_kernelInfo, mac,
                                          payload) == 0) {
                    ++failed;
                    return;
                }
            }
            int answered = 0;
            while (answered < o.uploads && agent.receive(m, 60000)) {
                if (m.ndatatype() == Tak::ComDefine::PackDataAsr) ++answered;
            }
            answers += answered;
        });
    }
    ready.arrive_and_wait();
    long long stored = 0;
    while (failed.load() == 0 && secondsSince(t0) < 600) {
        stored = db.number("select count(*) from systemLog_kernelInfo");
        if (stored >= total) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    double const elapsed = secondsSince(t0);
    for (auto& t : agents) t.join();
    daemon.stop(SIGTERM);
    if (failed.load() != 0 || stored < total) {
        std::fprintf(stderr, "bench_ingest: %d agents failed; %lld of %lld lines stored\n",
                     failed.load(), stored, total);
        return -1;
    }
    std::printf(
        "daemon: %d agents x %d uploads x %d lines = %lld lines in %.3f s "
        "(%d answers)\n",
        o.agents, o.uploads, o.lines, total, elapsed, answers.load());
    return static_cast<double>(total) / elapsed;
}

// The daemon's statement on a plain client: per upload, prepare once, execute per line, commit.
double runPrepared(const Options& o, Client& db) {
    if (mysql_autocommit(db.handle(), 0) != 0) return -1;
    std::string sql = "insert into systemLog_kernelInfo values(null, ?, ";
    for (int i = 0; i < kItems; ++i) sql += "?,";
    sql.pop_back();
    sql += " )";
    auto const t0 = Clock::now();
    for (int a = 0; a < o.agents; ++a) {
        for (int u = 0; u < o.uploads; ++u) {
            auto lines = uploadLines(a, u, o.lines);
            std::string mac = macOf(a);
            MYSQL_STMT* stmt = mysql_stmt_init(db.handle());
            if (mysql_stmt_prepare(stmt, sql.data(), sql.size()) != 0) {
                std::fprintf(stderr, "bench_ingest: %s\n", mysql_stmt_error(stmt));
                mysql_stmt_close(stmt);
                return -1;
            }
            for (auto& items : lines) {
                long long first = std::atoll(items[0].c_str());
                MYSQL_BIND bind[kItems + 1] = {};
                bind[0].buffer_type = MYSQL_TYPE_STRING;
                bind[0].buffer = mac.data();
                bind[0].buffer_length = mac.size();
                bind[1].buffer_type = MYSQL_TYPE_LONGLONG;
                bind[1].buffer = &first;
                for (int k = 1; k < kItems; ++k) {
                    bind[k + 1].buffer_type = MYSQL_TYPE_STRING;
                    bind[k + 1].buffer = items[k].data();
                    bind[k + 1].buffer_length = items[k].size();
                }
                if (mysql_stmt_bind_param(stmt, bind) != 0 || mysql_stmt_execute(stmt) != 0) {
                    std::fprintf(stderr, "bench_ingest: %s\n", mysql_stmt_error(stmt));
                    mysql_stmt_close(stmt);
                    return -1;
                }
            }
            mysql_commit(db.handle());
            mysql_stmt_close(stmt);
        }
    }
    double const elapsed = secondsSince(t0);
    (void)mysql_autocommit(db.handle(), 1);
    return static_cast<double>(o.agents) * o.uploads * o.lines / elapsed;
}

// One multi-row INSERT per upload, committed by itself (autocommit).
double runMultiRow(const Options& o, Client& db) {
    auto const t0 = Clock::now();
    for (int a = 0; a < o.agents; ++a) {
        std::string const mac = db.escape(macOf(a));
        for (int u = 0; u < o.uploads; ++u) {
            std::string sql = "insert into systemLog_kernelInfo values ";
            bool firstRow = true;
            for (const auto& items : uploadLines(a, u, o.lines)) {
                sql += firstRow ? "(null, '" : ", (null, '";
                firstRow = false;
                sql += mac + "', " + std::to_string(std::atoll(items[0].c_str()));
                for (int k = 1; k < kItems; ++k) sql += ", '" + db.escape(items[k]) + "'";
                sql += ")";
            }
            if (!db.exec(sql)) {
                std::fprintf(stderr, "bench_ingest: %s\n", db.error().c_str());
                return -1;
            }
        }
    }
    return static_cast<double>(o.agents) * o.uploads * o.lines / secondsSince(t0);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const char* port = std::getenv("TAK_TEST_DB_PORT")) o.dbPort = std::atoi(port);
    for (int i = 1; i < argc; ++i) {
        std::string const a = argv[i];
        auto next = [&]() { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (a == "--db-port") {
            o.dbPort = static_cast<unsigned int>(next());
        } else if (a == "--agents") {
            o.agents = next();
        } else if (a == "--uploads") {
            o.uploads = next();
        } else if (a == "--lines") {
            o.lines = next();
        } else if (a == "--keep") {
            o.keep = true;
        } else {
            std::fprintf(stderr,
                         "usage: bench_ingest [--db-port P] [--agents N] [--uploads K] "
                         "[--lines L] [--keep]\n");
            return 2;
        }
    }
    if (o.agents <= 0 || o.uploads <= 0 || o.lines <= 0) return 2;

    Client db(o.dbPort);
    if (!db.ok()) {
        std::fprintf(stderr, "bench_ingest: cannot reach MariaDB on 127.0.0.1:%u: %s\n", o.dbPort,
                     db.error().c_str());
        return 1;
    }
    char pattern[] = "/tmp/tak-bench-ingest-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    fs::path const dir = pattern;
    auto const cleanUp = [&] {
        (void)db.exec("TRUNCATE TABLE systemLog_kernelInfo");
        (void)db.exec("delete from security_dev.asset_auth_record where macAddr like 'bench-%'");
    };

    cleanUp();
    double const daemonRate = runDaemon(o, dir, db);
    if (o.keep) {
        std::printf("daemon directory kept: %s\n", dir.c_str());
    } else {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    cleanUp();
    if (daemonRate < 0) return 1;
    double const preparedRate = runPrepared(o, db);
    cleanUp();
    double const multiRate = runMultiRow(o, db);
    cleanUp();
    if (preparedRate < 0 || multiRate < 0) return 1;

    std::printf("lines/s  daemon %.0f   prepared/line client %.0f   multi-row INSERT %.0f\n",
                daemonRate, preparedRate, multiRate);
    std::printf("ratio    multi-row / daemon %.2f   prepared/line / daemon %.2f\n",
                multiRate / daemonRate, preparedRate / daemonRate);
    return 0;
}
