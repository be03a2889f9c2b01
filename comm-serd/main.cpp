#include <signal.h>
#include <sys/resource.h>
#include <sysexits.h>

#include <chrono>
#include <iostream>
#include <memory>

#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/TakManagerFactory.h"
#include "comm-serd/TakSignalWaiter.h"
#include "comm-serd/business/TakBsDeviceInfo.h"
#include "comm-serd/db/TakDbDefine.h"
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
    auto db = factory.getDbManager();
    (void)db->init();  // a database that is down is logged and connected in the background
    // Before any agent can register: no device is online when the daemon starts.
    TakBsDeviceInfo::queueOfflineReset(db->getDBConn(g_strSecurityDbName));

    auto rpc = factory.getRpcManager();
    rpc->init();
    rpc->start();

    serveInit();

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
    rpc.reset();
    tcp.reset();
    db.reset();
    factory.clear();
    if (status == 0) TAK_LOG_INFO("comm-serd stopped");
    TakLog::instance().shutdownLog();
    return status;
}
