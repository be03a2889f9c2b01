// Bytes from a console connection into the generated notifyServiceProcessor: the binary
// protocol on a memory transport, with the limits of the daemon's console port, the daemon's
// own handler (notifyServiceHandler) and a registry that records what it is asked. Messages are
// processed one after another, as the server does, until the input ends or the processor gives
// up on the connection. Checked:
// - no allocation made while processing is larger than the largest message the port takes:
//   sizes announced in the input are never allocated on trust;
// - what the processor writes back is well-formed: one REPLY per call that reached the handler,
//   carrying that call's result, and an EXCEPTION (unknown method) for any other name.

#include <sanitizer/allocator_interface.h>
#include <thrift/TApplicationException.h>
#include <thrift/TConfiguration.h>
#include <thrift/TOutput.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "Tak.HostInfo.pb.h"
#include "comm-serd/ITakSessionManager.h"
#include "comm-serd/notifyServiceHandler.h"
#include "notifyService.h"

namespace {

using apache::thrift::TApplicationException;
using apache::thrift::TConfiguration;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::protocol::TMessageType;
using apache::thrift::transport::TMemoryBuffer;
namespace notify = tak::rpc::notify;

// The limits of the daemon's console port.
constexpr int kMaxMessageBytes = 1 << 20;
constexpr int32_t kMaxStringBytes = 64 << 10;
constexpr int32_t kMaxContainerItems = 64 << 10;

void check(bool ok) {
    if (!ok) std::abort();
}

// The largest allocation made while g_watching is set.
std::atomic<bool> g_watching{false};
std::atomic<size_t> g_largest{0};

void onMalloc(const volatile void*, size_t size) {
    if (!g_watching.load(std::memory_order_relaxed)) return;
    size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
    }
}
void onFree(const volatile void*) {}

// Records the calls and answers them: host figures of 8 GiB memory with 2 GiB free and no disk
// figures; authorization succeeds for a MAC of even length.
class RecordingRegistry final : public ITakSessionManager {
public:
    void addSession(uint64_t, std::shared_ptr<TakSocketChannel>) override {}
    void closeAll() override {}
    void policyNotify() override { ++notifies; }
    bool synGetHostInfo(const std::string& mac, Tak::HostInfo::ResourceInfoAsr& out) override {
        hostQueries.push_back(mac);
        out.set_ncpurate(42);
        out.set_ntotalmem(8ull << 30);
        out.set_nfreemem(2ull << 30);
        return true;
    }
    bool hostAuth(const std::string& mac, bool auth) override {
        auths.emplace_back(mac, auth);
        return mac.size() % 2 == 0;
    }

    int notifies = 0;
    std::deque<std::string> hostQueries;
    std::deque<std::pair<std::string, bool>> auths;
};

std::shared_ptr<TConfiguration> portLimits() {
    return std::make_shared<TConfiguration>(kMaxMessageBytes, kMaxMessageBytes);
}

// The protocol of the port, with its limits.
std::shared_ptr<TBinaryProtocol> limitedProtocol(std::shared_ptr<TMemoryBuffer> buffer) {
    return std::make_shared<TBinaryProtocol>(std::move(buffer), kMaxStringBytes, kMaxContainerItems,
                                             false, true);
}

// Reads the processor's output and matches it with the recorded calls.
void checkReplies(const std::string& output, RecordingRegistry& registry) {
    auto buffer = std::make_shared<TMemoryBuffer>(
        reinterpret_cast<uint8_t*>(const_cast<char*>(output.data())),
        static_cast<uint32_t>(output.size()));
    // Without limits: the reply to an unknown method quotes a name of up to the string limit.
    auto protocol = std::make_shared<TBinaryProtocol>(buffer);
    while (buffer->available_read() > 0) {
        std::string name;
        TMessageType type;
        int32_t seqid = 0;
        protocol->readMessageBegin(name, type, seqid);
        if (type == apache::thrift::protocol::T_EXCEPTION) {
            TApplicationException error;
            error.read(protocol.get());
            check(error.getType() == TApplicationException::UNKNOWN_METHOD);
            check(name != "notifyPolicy" && name != "getDeviceHostInfo" && name != "authDevice");
        } else {
            check(type == apache::thrift::protocol::T_REPLY);
            if (name == "notifyPolicy") {
                notify::notifyService_notifyPolicy_presult result;
                result.read(protocol.get());
                check(registry.notifies-- > 0);
            } else if (name == "getDeviceHostInfo") {
                notify::STHostInfo info;
                notify::notifyService_getDeviceHostInfo_presult result;
                result.success = &info;
                result.read(protocol.get());
                check(result.__isset.success && !registry.hostQueries.empty());
                registry.hostQueries.pop_front();
                check(info.fCpuUse == 42 && info.fMemoryUse == 0.25 && std::isnan(info.fDiskUse));
            } else if (name == "authDevice") {
                notify::ERpcReturnValue::type value = notify::ERpcReturnValue::rpcRet_succeed;
                notify::notifyService_authDevice_presult result;
                result.success = &value;
                result.read(protocol.get());
                check(result.__isset.success && !registry.auths.empty());
                const auto [mac, auth] = registry.auths.front();
                registry.auths.pop_front();
                const auto expected = mac.size() % 2 == 0 ? notify::ERpcReturnValue::rpcRet_succeed
                                      : auth ? notify::ERpcReturnValue::rpcRet_authFailed
                                             : notify::ERpcReturnValue::rpcRet_cancelAuthFailed;
                check(value == expected);
            } else {
                check(false);
            }
        }
        protocol->readMessageEnd();
    }
    // Every call was answered.
    check(registry.notifies == 0 && registry.hostQueries.empty() && registry.auths.empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The library reports a message of the wrong type on standard error; the fuzzer sends many.
    apache::thrift::GlobalOutput.setOutputFunction([](const char*) {});
    __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto registry = std::make_shared<RecordingRegistry>();
    auto handler = std::make_shared<notifyServiceHandler>(
        std::static_pointer_cast<ITakSessionManager>(registry));
    notify::notifyServiceProcessor processor(handler);

    auto input =
        std::make_shared<TMemoryBuffer>(const_cast<uint8_t*>(data), static_cast<uint32_t>(size),
                                        TMemoryBuffer::OBSERVE, portLimits());
    auto output = std::make_shared<TMemoryBuffer>(portLimits());
    auto inProtocol = limitedProtocol(input);
    auto outProtocol = limitedProtocol(output);

    g_largest = 0;
    g_watching = true;
    while (input->available_read() > 0) {
        try {
            if (!processor.process(inProtocol, outProtocol, nullptr)) break;
        } catch (const apache::thrift::TException&) {
            break;  // the server closes the connection
        }
    }
    g_watching = false;
    check(g_largest.load() <= static_cast<size_t>(kMaxMessageBytes));

    checkReplies(output->getBufferAsString(), *registry);
    return 0;
}
