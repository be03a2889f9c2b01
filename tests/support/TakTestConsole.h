#pragma once

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "notifyService.h"

// A console connection to the daemon's Thrift service through the generated client, as the
// management console makes it (buffered transport, binary protocol).
class TakTestConsole {
public:
    // Connects at once; the RPC server starts listening on its own thread, a moment after the
    // agents' port, so a refused connection is tried again for up to 5 s. Throws what the last
    // attempt threw.
    explicit TakTestConsole(int port, int recvTimeoutMs = 10000,
                            const std::string& host = "127.0.0.1");

    tak::rpc::notify::notifyServiceClient* operator->() { return &m_client; }
    tak::rpc::notify::notifyServiceClient& client() { return m_client; }
    apache::thrift::protocol::TBinaryProtocol& protocol() { return *m_protocol; }
    void close() { m_transport->close(); }

    // The bytes of one call message as a client writes them (strict binary protocol): the
    // header, then whatever args writes (the argument struct, field stop included).
    static std::string callBytes(
        const std::string& method, int32_t seqid,
        const std::function<void(apache::thrift::protocol::TProtocol&)>& args);
    // notifyPolicy with no argument.
    static std::string notifyPolicyBytes(int32_t seqid = 1);

private:
    std::shared_ptr<apache::thrift::transport::TSocket> m_socket;
    std::shared_ptr<apache::thrift::transport::TBufferedTransport> m_transport;
    std::shared_ptr<apache::thrift::protocol::TBinaryProtocol> m_protocol;
    tak::rpc::notify::notifyServiceClient m_client;
};
