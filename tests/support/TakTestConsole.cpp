#include "support/TakTestConsole.h"

#include <thrift/transport/TTransportException.h>

#include <chrono>
#include <thread>

using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TMemoryBuffer;
using apache::thrift::transport::TSocket;

TakTestConsole::TakTestConsole(int port, int recvTimeoutMs, const std::string& host)
    : m_socket(std::make_shared<TSocket>(host, port)),
      m_transport(std::make_shared<TBufferedTransport>(m_socket)),
      m_protocol(std::make_shared<TBinaryProtocol>(m_transport)),
      m_client(m_protocol) {
    m_socket->setRecvTimeout(recvTimeoutMs);
    for (int attempt = 0;; ++attempt) {
        try {
            m_transport->open();
            return;
        } catch (const apache::thrift::transport::TTransportException&) {
            if (attempt >= 50) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

std::string TakTestConsole::callBytes(
    const std::string& method, int32_t seqid,
    const std::function<void(apache::thrift::protocol::TProtocol&)>& args) {
    auto buffer = std::make_shared<TMemoryBuffer>();
    TBinaryProtocol p(buffer);
    p.writeMessageBegin(method, apache::thrift::protocol::T_CALL, seqid);
    args(p);
    p.writeMessageEnd();
    return buffer->getBufferAsString();
}

std::string TakTestConsole::notifyPolicyBytes(int32_t seqid) {
    return callBytes("notifyPolicy", seqid, [](apache::thrift::protocol::TProtocol& p) {
        p.writeStructBegin("notifyPolicy_args");
        p.writeFieldStop();
        p.writeStructEnd();
    });
}
