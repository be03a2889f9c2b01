#include "comm-serd/TakRpcManager.h"

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TSimpleServer.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TServerSocket.h>

#include <chrono>
#include <exception>

#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/TakManagerFactory.h"
#include "comm-serd/TakServiceNotifier.h"
#include "comm-serd/notifyServiceHandler.h"
#include "log/TakNanolog.h"
#include "notifyService.h"

using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::server::TSimpleServer;
using apache::thrift::transport::TBufferedTransportFactory;
using apache::thrift::transport::TServerSocket;

namespace {

// Says when the server socket listens: serve() calls it once the port is open.
class ListenReport : public apache::thrift::server::TServerEventHandler {
public:
    explicit ListenReport(int port) : m_port(port) {}
    void preServe() override {
        TAK_LOG_INFO("rpc server listen on port:" << m_port);
        TakServiceNotifier::instance().consoleListenerOpen(m_port);
    }

private:
    int m_port;
};

}  // namespace

TakRpcManager::TakRpcManager() = default;

TakRpcManager::~TakRpcManager() { stop(); }

void TakRpcManager::init() {
    m_handler = std::make_shared<notifyServiceHandler>(
        TakManagerFactory::getInstance().getSessionManager());
    m_port = TakGlobalInfoManager::getInstance().getRpcPort();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_server = makeServer();
}

std::shared_ptr<TSimpleServer> TakRpcManager::makeServer() {
    auto processor = std::make_shared<tak::rpc::notify::notifyServiceProcessor>(m_handler);
    auto server = std::make_shared<TSimpleServer>(
        processor, std::make_shared<TServerSocket>(m_port),
        std::make_shared<TBufferedTransportFactory>(), std::make_shared<TBinaryProtocolFactory>());
    server->setServerEventHandler(std::make_shared<ListenReport>(m_port));
    return server;
}

void TakRpcManager::start() {
    if (m_thread || !m_handler) return;
    m_thread = std::make_shared<std::thread>(&TakRpcManager::doWork, this);
}

void TakRpcManager::doWork() {
    bool reported = false;
    for (;;) {
        std::shared_ptr<TSimpleServer> server;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) return;
            if (!m_server) m_server = makeServer();
            server = m_server;
            m_serving = true;
        }
        std::string failure;
        try {
            server->serve();
        } catch (const std::exception& e) {
            failure = e.what();
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_serving = false;
        if (m_stopping) return;
        m_server.reset();               // a fresh server socket for the next attempt
        if (failure.empty()) continue;  // serve() returned without a stop: serve again
        if (!reported) {
            TAK_LOG_ERROR("rpc server cannot serve on port:" << static_cast<int32_t>(m_port)
                                                             << failure << "retrying every 5 s");
            TakServiceNotifier::instance().status("console port " + std::to_string(m_port) +
                                                  " cannot be opened (" + failure +
                                                  "), retrying every 5 s");
            reported = true;
        }
        m_cond.wait_for(lock, std::chrono::seconds(5), [this] { return m_stopping; });
    }
}

void TakRpcManager::stop() {
    if (!m_thread) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_cond.notify_all();
    // A stop that reaches the server before it listens is lost, so repeat it until the serving
    // thread has ended.
    for (int i = 0; i < 100; ++i) {
        std::shared_ptr<TSimpleServer> server;
        bool serving = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            server = m_server;
            serving = m_serving;
        }
        if (!serving) break;
        if (server) server->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (m_thread->joinable()) m_thread->join();
    m_thread.reset();
}
