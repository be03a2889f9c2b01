#include "comm-serd/notifyServiceHandler.h"

#include <thrift/TApplicationException.h>

#include "Tak.HostInfo.pb.h"
#include "comm-serd/TakLockGuard.h"
#include "log/TakNanolog.h"

using tak::rpc::notify::ERpcReturnValue;
using tak::rpc::notify::STHostInfo;

notifyServiceHandler::notifyServiceHandler(std::weak_ptr<ITakSessionManager> sessionManager)
    : m_sessionManager(std::move(sessionManager)) {}

void notifyServiceHandler::stop() { m_stopping.store(true); }

void notifyServiceHandler::throwIfStopping() {
    if (m_stopping.load()) {
        throw apache::thrift::TApplicationException(
            apache::thrift::TApplicationException::INTERNAL_ERROR, "comm-serd is stopping");
    }
}

void notifyServiceHandler::notifyPolicy() {
    TakLockGuard lock(m_callMutex);  // the call's turn
    throwIfStopping();
    if (auto manager = m_sessionManager.lock()) manager->policyNotify();
}

void notifyServiceHandler::getDeviceHostInfo(STHostInfo& result, const std::string& mac) {
    TakLockGuard lock(m_callMutex);  // the call's turn
    throwIfStopping();
    result.fCpuUse = 0;
    result.fMemoryUse = 0;
    result.fDiskUse = 0;
    Tak::HostInfo::ResourceInfoAsr figures;
    if (auto manager = m_sessionManager.lock()) manager->synGetHostInfo(mac, figures);
    // No answer leaves the figures at 0, so the shares are 0/0: NaN tells the console "unknown".
    result.fCpuUse = static_cast<double>(figures.ncpurate());
    result.fMemoryUse =
        static_cast<double>(figures.nfreemem()) / static_cast<double>(figures.ntotalmem());
    result.fDiskUse =
        static_cast<double>(figures.nfreedisk()) / static_cast<double>(figures.ntotaldisk());
}

ERpcReturnValue::type notifyServiceHandler::authDevice(const std::string& mac, const bool auth) {
    TakLockGuard lock(m_callMutex);  // the call's turn
    throwIfStopping();
    TAK_LOG_DEBUG("authDevice:" << mac << static_cast<int32_t>(auth ? 1 : 0));
    bool ok = false;
    if (auto manager = m_sessionManager.lock()) ok = manager->hostAuth(mac, auth);
    if (ok) return ERpcReturnValue::rpcRet_succeed;
    return auth ? ERpcReturnValue::rpcRet_authFailed : ERpcReturnValue::rpcRet_cancelAuthFailed;
}
