#include <signal.h>
#include <sys/resource.h>
#include <sysexits.h>

#include <iostream>
#include <memory>

#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/TakManagerFactory.h"
#include "comm-serd/TakSignalWaiter.h"
#include "log/TakLog.h"
#include "protobuf/TakProtoRegistry.h"

namespace {

void serveInit() { TAK_LOG_INFO("tcpserver init"); }

}  // namespace

int main() {
    // A configuration the daemon would misread stops it before anything starts: no log file, no
    // database connection, no listener.
    TakGlobalInfoManager& config = TakGlobalInfoManager::getInstance();
    std::vector<STConfigError> const problems = config.loadConfig();
    if (!problems.empty()) {
        for (const auto& problem : problems) {
            std::cerr << "comm-serd: configuration error: " << problem.describe() << std::endl;
        }
        return EX_CONFIG;
    }

    // Before any thread starts: SIGTERM and SIGINT go to the signal-waiting thread only.
    TakSignalWaiter signals;
    signal(SIGPIPE, SIG_IGN);
    // Thousands of agents need as many descriptors as the system allows this process.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    TakLog::instance().initLog(true, config.getLogDir());
    takRegisterProtoDescriptors();

    TakManagerFactory& factory = TakManagerFactory::getInstance();
    factory.getDbManager()->init();

    auto rpc = factory.getRpcManager();
    rpc->init();
    // "tcpserver init" is the first INFO record of a run: logged before the RPC thread starts,
    // which logs its listening port as soon as it has one.
    serveInit();
    rpc->start();

    auto tcp = factory.getTcpServerManager();
    // A weak reference: the stop function lives until main returns and must not keep the TCP
    // manager (and the managers it holds) past factory.clear(), where they stop while the log
    // is still written.
    signals.start([weakTcp = std::weak_ptr<ITakTcpServerManager>(tcp)](int sig) {
        TAK_LOG_INFO("stopping on signal" << TakLog::instance().signalName(sig));
        if (auto server = weakTcp.lock()) server->stopServe();
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
