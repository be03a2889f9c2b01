#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/TakManagerFactory.h"
#include "comm-serd/TakSignalWaiter.h"
#include "log/TakLog.h"
#include "protobuf/TakProtoRegistry.h"

namespace {

// The status of a start with a configuration value that is not valid (EX_CONFIG).
constexpr int kBadConfiguration = 78;

void serveInit() { TAK_LOG_INFO("tcpserver init"); }

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

int main() {
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

    TakGlobalInfoManager& config = TakGlobalInfoManager::getInstance();
    if (!config.loadConfig()) return kBadConfiguration;
    TakLog::instance().initLog(config.getLogConsole(), config.getLogDir());
    TakNanolog::setLevel(config.getLogLevel());
    takRegisterProtoDescriptors();

    TakManagerFactory& factory = TakManagerFactory::getInstance();
    factory.getDbManager()->init();

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

    rpc->stop();
    rpc.reset();
    tcp.reset();
    factory.clear();
    if (status == 0) TAK_LOG_INFO("comm-serd stopped");
    TakLog::instance().shutdownLog();
    return status;
}
