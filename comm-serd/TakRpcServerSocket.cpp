#include "comm-serd/TakRpcServerSocket.h"

#include <thrift/TConfiguration.h>

#include "comm-serd/TakLockGuard.h"
#include "log/TakNanolog.h"

using apache::thrift::TConfiguration;
using apache::thrift::transport::TServerSocket;
using apache::thrift::transport::TSocket;
using apache::thrift::transport::TTransport;
using apache::thrift::transport::TTransportException;

TakRpcServerSocket::TakRpcServerSocket(const std::string& address, int port, int maxConnections,
                                       STRpcCallLimits limits)
    : TServerSocket(address, port),
      m_maxConnections(maxConnections),
      m_limits(limits),
      // Thrift's own check of the sizes a message announces (lists, sets, maps) uses the same
      // bound as the connection's count of bytes.
      m_configuration(std::make_shared<TConfiguration>(static_cast<int>(limits.maxCallBytes))) {}

std::shared_ptr<TSocket> TakRpcServerSocket::createSocket(THRIFT_SOCKET fd) {
    auto connection = std::make_shared<TakRpcConnection>(
        fd, pChildInterruptSockReader_, m_configuration, m_limits, shared_from_this());
    TakLockGuard lock(m_mutex);
    m_open.insert(connection.get());
    return connection;
}

std::shared_ptr<TTransport> TakRpcServerSocket::acceptImpl() {
    std::shared_ptr<TTransport> accepted = TServerSocket::acceptImpl();
    auto connection = std::static_pointer_cast<TakRpcConnection>(accepted);
    size_t const open = openConnections();
    if (open > static_cast<size_t>(m_maxConnections)) {
        TAK_LOG_WARN("console connection refused, already"
                     << static_cast<uint64_t>(open - 1)
                     << "open ([Rpc] MaxConnections):" << connection->peer());
        connection->close();
        // The server takes this as a client that went away and accepts the next one.
        throw TTransportException(TTransportException::CLIENT_DISCONNECT, "too many consoles");
    }
    return accepted;
}

void TakRpcServerSocket::shutdownConnections() {
    TakLockGuard lock(m_mutex);
    for (TakRpcConnection* connection : m_open) connection->shutdownNow();
}

void TakRpcServerSocket::forget(TakRpcConnection* connection) {
    TakLockGuard lock(m_mutex);
    m_open.erase(connection);
}

size_t TakRpcServerSocket::openConnections() {
    TakLockGuard lock(m_mutex);
    return m_open.size();
}
