#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "comm-serd/TakActivitySummary.h"
#include "comm-serd/TakAdminServer.h"
#include "comm-serd/TakCommandLine.h"
#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/TakManagerFactory.h"
#include "comm-serd/TakServiceNotifier.h"
#include "comm-serd/TakSignalWaiter.h"
#include "comm-serd/business/TakBsDefine.h"
#include "comm-serd/business/TakBsDeviceInfo.h"
#include "comm-serd/db/TakDbDefine.h"
#include "comm-serd/db/TakStatus.h"
#include "comm-serd/session/TakSessionManager.h"
#include "log/TakLog.h"
#include "protobuf/TakProtoRegistry.h"

namespace {

void serveInit() { TAK_LOG_INFO("tcpserver init"); }

// The sessions of the session manager, if it exists (looked up, never created: the managers
// are created in their start-up order).
std::vector<STSessionInfo> listSessions() {
    auto object =
        TakManagerFactory::getInstance().getObject(TakManagerFactory::kSessionManagerName);
    auto manager = std::dynamic_pointer_cast<TakSessionManager>(object);
    return manager ? manager->sessionList() : std::vector<STSessionInfo>();
}

const char* const kUsage =
    "usage: comm-serd [-c DIR]\n"
    "The central communication server: agents connect on [IPInfo] PORT (7300), the console's\n"
    "Thrift service listens on [Rpc] Port (7400), records go to MySQL on [Database] Port;\n"
    "metrics, health and sessions are served over HTTP on [Admin] Listen (127.0.0.1:7401).\n"
    "\n"
    "options:\n"
    "  -c, --config DIR   the configuration directory: DIR/config.ini and the server key\n"
    "                     DIR/scert.dat (default: config/ under the working directory)\n"
    "  -h, --help         print this help and exit\n"
    "      --version      print the version and exit\n"
    "\n"
    "It runs in the foreground and logs to standard output and to files in [Log] Dir\n"
    "(/var/log/taksecSerd/). SIGTERM or SIGINT stops it in order; SIGHUP starts a new log\n"
    "file. Under systemd"
    "(Type=notify) it reports ready once both listeners are open.\n";

// A daemon started with standard input, output or error closed would hand those numbers to the
// first files and sockets it opens, and the console echo would then write into one of them.
void keepStandardDescriptorsTaken() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int const null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (null >= 0 && null != fd) close(null);  // not the lowest free number: give up
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<std::string> configDir;
    TakCommandLine commandLine("comm-serd", kUsage);
    commandLine.option("-c|--config", "an existing directory", [&configDir](const std::string& v) {
        std::error_code ec;
        if (v.empty() || !std::filesystem::is_directory(v, ec)) return false;
        auto const absolute = std::filesystem::absolute(v, ec);
        configDir = (ec ? std::filesystem::path(v) : absolute).lexically_normal().string();
        while (configDir->size() > 1 && configDir->back() == '/') configDir->pop_back();
        return true;
    });
    if (auto const status = commandLine.parse(argc, argv)) return *status;
    if (!commandLine.positional().empty()) {
        return commandLine.fail("unexpected argument '" + commandLine.positional().front() + "'");
    }

    keepStandardDescriptorsTaken();
    // Before any thread starts: SIGTERM, SIGINT and SIGHUP go to the signal-waiting thread only.
    TakSignalWaiter signals;
    // A write to a pipe or socket whose reader has gone fails with EPIPE instead of ending us.
    signal(SIGPIPE, SIG_IGN);
    // Thousands of agents need as many descriptors as the system allows this process.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    // A configuration the daemon would misread stops it before anything starts: no log file, no
    // database connection, no listener.
    TakGlobalInfoManager& config = TakGlobalInfoManager::getInstance();
    std::vector<STConfigError> const problems =
        configDir ? config.loadConfigDir(*configDir) : config.loadConfig();
    if (!problems.empty()) {
        for (const auto& problem : problems) {
            std::cerr << "comm-serd: configuration error: " << problem.describe() << std::endl;
        }
        return EX_CONFIG;
    }
    TakLog::instance().initLog(config.getLogConsole(), config.getLogDir());
    TakNanolog::setLevel(config.getLogLevel());
    takRegisterProtoDescriptors();

    TakManagerFactory& factory = TakManagerFactory::getInstance();
    auto db = factory.getDbManager();
    if (TakStatus const opened = db->init(); !opened.ok()) {
        // Logged by the connection that failed; it and those after it keep connecting in the
        // background, and the daemon serves the agents meanwhile.
    }
    // Before any agent can register: no device is online when the daemon starts.
    TakBsDeviceInfo::queueOfflineReset(db->getDBConn(g_strSecurityDbName));

    // Every table's figures from the start, at 0: a scraper sees each series before its first
    // upload (a rate over a series that appears later misses its first count).
    for (const auto& [type, table] : takAuditTableNames())
        (void)TakMetrics::instance().table(table);

    // The operators' endpoint, from here to the end of the stop. A failure to listen is logged:
    // the agents matter more.
    STAdminSettings const admin = config.getAdminSettings();
    std::unique_ptr<TakAdminServer> adminServer;
    if (!admin.listen.empty()) {
        adminServer = std::make_unique<TakAdminServer>(
            admin.host, admin.port, std::vector<std::string>{g_strSecurityDbName, g_strAuditDbName},
            &listSessions);
        if (!adminServer->start()) adminServer.reset();
    }
    TakActivitySummary summary(std::chrono::seconds(admin.summarySeconds));
    summary.start();

    auto rpc = factory.getRpcManager();
    rpc->init();
    rpc->start();

    serveInit();

    auto tcp = factory.getTcpServerManager();
    // A weak reference: the stop function lives until main returns and must not keep the TCP
    // manager (and the managers it holds) past factory.clear(), where they stop while the log
    // is still written.
    signals.start(
        [weakTcp = std::weak_ptr<ITakTcpServerManager>(tcp)](int sig) {
            TAK_LOG_INFO("stopping on signal" << TakLog::instance().signalName(sig));
            TakServiceNotifier::instance().stopping();
            if (auto server = weakTcp.lock()) server->stopServe();
        },
        [] {
            TAK_LOG_INFO("SIGHUP: starting a new log file");
            TakLog::instance().rollLogFile();
        });

    int status = 0;
    if (tcp->init() == 0) {
        tcp->startServe();
    } else {
        status = 1;
    }

    // The agents are gone (the listener and every session are closed). What they were told is
    // received is still written: the requests waiting for the worker pool, then what the
    // database queues hold, within the drain limit.
    rpc->stop();
    auto const deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(config.getStopDrainSeconds());
    bool const handled = factory.getThreadManager()->drain(deadline);
    bool const written = db->shutdown(deadline);
    if (status == 0 && !(handled && written)) {
        TAK_LOG_ERROR("stopped before everything received was written; see the records above");
        status = 1;
    }
    summary.stop();
    if (adminServer) adminServer->stop();
    rpc.reset();
    tcp.reset();
    db.reset();
    factory.clear();
    if (status == 0) TAK_LOG_INFO("comm-serd stopped");
    TakLog::instance().shutdownLog();
    return status;
}
