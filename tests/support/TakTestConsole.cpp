#include "support/TakTestConsole.h"

#include <thrift/transport/TTransportException.h>

#include <algorithm>
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
    // The daemon's console port may not listen yet, and nothing tells this process when it
    // does: try again after pauses from 5 ms doubling up to 200 ms, for about 5 s in all.
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::chrono::milliseconds pause(5);
    for (;;) {
        try {
            m_transport->open();
            return;
        } catch (const apache::thrift::transport::TTransportException&) {
            if (std::chrono::steady_clock::now() >= deadline) throw;
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(200));
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
