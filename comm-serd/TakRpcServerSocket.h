#pragma once

#include <thrift/transport/TServerSocket.h>

#include <memory>
#include <set>
#include <string>

#include "comm-serd/TakMutex.h"
#include "comm-serd/TakRpcConnection.h"
#include "comm-serd/TakThreadAnnotations.h"

// The console's listening socket. Every accepted connection is a TakRpcConnection with the call
// limits, and at most maxConnections are open at a time: one more is accepted, logged (WARN with
// its peer) and closed at once, so that the console behind it gets an immediate end of
// connection instead of waiting unseen in the listen queue. The table of open connections lets
// a stop cut them all, whatever they are blocked in.
//
// Always owned by a shared_ptr (the connections keep their server socket alive).
class TakRpcServerSocket : public apache::thrift::transport::TServerSocket,
                           public std::enable_shared_from_this<TakRpcServerSocket> {
public:
    // An empty address listens on every interface.
    TakRpcServerSocket(const std::string& address, int port, int maxConnections,
                       STRpcCallLimits limits);

    // Shuts every open connection down (see TakRpcConnection::shutdownNow).
    void shutdownConnections();
    // Called by a connection that closes.
    void forget(TakRpcConnection* connection);
    size_t openConnections();

protected:
    std::shared_ptr<apache::thrift::transport::TTransport> acceptImpl() override;
    std::shared_ptr<apache::thrift::transport::TSocket> createSocket(THRIFT_SOCKET fd) override;

private:
    int const m_maxConnections;
    STRpcCallLimits const m_limits;
    std::shared_ptr<apache::thrift::TConfiguration> m_configuration;
    TakMutex m_mutex;  // a leaf lock
    std::set<TakRpcConnection*> m_open TAK_GUARDED_BY(m_mutex);
};
