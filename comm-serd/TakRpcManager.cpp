#include "comm-serd/TakRpcManager.h"

#include <thrift/TOutput.h>
#include <thrift/TProcessor.h>
#include <thrift/concurrency/ThreadFactory.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/server/TThreadedServer.h>
#include <thrift/transport/TBufferTransports.h>

#include <chrono>
#include <exception>

#include "comm-serd/TakLockGuard.h"
#include "comm-serd/TakMetrics.h"
#include "comm-serd/TakRpcConnection.h"
#include "comm-serd/TakRpcServerSocket.h"
#include "comm-serd/TakServiceNotifier.h"
#include "comm-serd/TakUniqueLock.h"
#include "comm-serd/notifyServiceHandler.h"
#include "log/TakNanolog.h"
#include "notifyService.h"

using apache::thrift::TProcessor;
using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::protocol::TProtocol;
using apache::thrift::protocol::TProtocolException;
using apache::thrift::server::TThreadedServer;
using apache::thrift::transport::TBufferedTransportFactory;
using apache::thrift::transport::TTransportFactory;

namespace {

// Says when the server socket listens: serve() calls it once the port is open.
class ListenReport : public apache::thrift::server::TServerEventHandler {
public:
    ListenReport(int port, std::string bind) : m_port(port), m_bind(std::move(bind)) {}
    void preServe() override {
        if (m_bind.empty()) {
            TAK_LOG_INFO("rpc server listen on port:" << m_port);
        } else {
            TAK_LOG_INFO("rpc server listen on port:" << m_port << m_bind);
        }
        TakServiceNotifier::instance().consoleListenerOpen(m_port);
        TakMetrics::instance().consoleListenerUp.set(1);
    }

private:
    int m_port;
    std::string m_bind;
};

// The generated processor, with a WARN naming the console when a call cannot be read (a size
// beyond the limits, a negative size, bad nesting); the server then closes the connection.
class RefusalReport : public TProcessor {
public:
    explicit RefusalReport(std::shared_ptr<TProcessor> inner) : m_inner(std::move(inner)) {}
    bool process(std::shared_ptr<TProtocol> in, std::shared_ptr<TProtocol> out,
                 void* connectionContext) override {
        try {
            return m_inner->process(in, out, connectionContext);
        } catch (const TProtocolException& e) {
            auto const connection = std::dynamic_pointer_cast<TakRpcConnection>(in->getTransport());
            TAK_LOG_WARN("console call refused, connection closed:"
                         << (connection ? connection->peer() : std::string("unknown"))
                         << std::string(e.what()));
            throw;
        }
    }

private:
    std::shared_ptr<TProcessor> m_inner;
};

// Thrift's own diagnostics (a connection reset, a failed send) go to the log, not to stderr.
void thriftOutput(const char* message) { TAK_LOG_DEBUG("thrift:" << std::string(message)); }

}  // namespace

TakRpcManager::TakRpcManager(std::function<std::shared_ptr<ITakSessionManager>()> sessions)
    : m_sessions(std::move(sessions)) {}

TakRpcManager::~TakRpcManager() { stop(); }

void TakRpcManager::init() {
    apache::thrift::GlobalOutput.setOutputFunction(&thriftOutput);
    m_handler = std::make_shared<notifyServiceHandler>(m_sessions ? m_sessions() : nullptr);
    m_settings = TakGlobalInfoManager::getInstance().getRpcSettings();
    TakLockGuard lock(m_mutex);
    makeServer();
}

void TakRpcManager::makeServer() {
    STRpcCallLimits limits;
    limits.callTimeout = std::chrono::seconds(m_settings.callTimeoutSeconds);
    limits.maxCallBytes = kMaxCallBytes;
    m_serverSocket = std::make_shared<TakRpcServerSocket>(m_settings.bind, m_settings.port,
                                                          m_settings.maxConnections, limits);
    auto protocols = std::make_shared<TBinaryProtocolFactory>(kMaxStringBytes,
                                                              kMaxContainerElements, false, true);
    // Calls are read straight from the connection, which counts their bytes and time (see
    // TakRpcConnection); replies are buffered and sent whole.
    m_server = std::make_shared<TThreadedServer>(
        std::make_shared<RefusalReport>(
            std::make_shared<tak::rpc::notify::notifyServiceProcessor>(m_handler)),
        m_serverSocket, std::make_shared<TTransportFactory>(),
        std::make_shared<TBufferedTransportFactory>(), protocols, protocols,
        std::make_shared<apache::thrift::concurrency::ThreadFactory>(false));
    m_server->setServerEventHandler(
        std::make_shared<ListenReport>(m_settings.port, m_settings.bind));
}

void TakRpcManager::start() {
    if (m_thread || !m_handler) return;
    m_thread = std::make_shared<std::thread>(&TakRpcManager::doWork, this);
}

void TakRpcManager::doWork() {
    bool reported = false;
    for (;;) {
        std::shared_ptr<TThreadedServer> server;
        {
            TakLockGuard lock(m_mutex);
            if (m_stopping) return;
            if (!m_server) makeServer();
            server = m_server;
            m_serving = true;
        }
        std::string failure;
        try {
            // Returns once stopped, after every connection's thread has ended and been joined.
            server->serve();
        } catch (const std::exception& e) {
            failure = e.what();
        }
        TakMetrics::instance().consoleListenerUp.set(0);
        TakUniqueLock lock(m_mutex);
        m_serving = false;
        if (m_stopping) return;
        m_server.reset();  // a fresh server socket for the next attempt
        m_serverSocket.reset();
        if (failure.empty()) continue;  // serve() returned without a stop: serve again
        if (!reported) {
            TAK_LOG_ERROR("rpc server cannot serve on port:"
                          << static_cast<int32_t>(m_settings.port) << failure
                          << "retrying every 5 s");
            TakServiceNotifier::instance().status(
                "console port " + std::to_string(m_settings.port) + " cannot be opened (" +
                failure + "), retrying every 5 s");
            reported = true;
        }
        m_cond.wait_for(lock.native(), std::chrono::seconds(5),
                        [this]() TAK_REQUIRES(m_mutex) { return m_stopping; });
    }
}

void TakRpcManager::stop() {
    if (!m_thread) return;
    {
        TakLockGuard lock(m_mutex);
        m_stopping = true;
    }
    m_cond.notify_all();
    m_handler->stop();
    // A stop that reaches the server before it listens is lost, so repeat it until the serving
    // thread has ended. Each round also cuts the connections the server waits for: a console
    // that sends nothing, or takes no reply, would otherwise hold its thread until its time-out.
    for (int i = 0; i < 100; ++i) {
        std::shared_ptr<TThreadedServer> server;
        std::shared_ptr<TakRpcServerSocket> socket;
        bool serving = false;
        {
            TakLockGuard lock(m_mutex);
            server = m_server;
            socket = m_serverSocket;
            serving = m_serving;
        }
        if (!serving) break;
        if (server) server->stop();
        if (socket) socket->shutdownConnections();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (m_thread->joinable()) m_thread->join();
    m_thread.reset();
}
