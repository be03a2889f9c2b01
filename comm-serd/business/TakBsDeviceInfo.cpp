#include "comm-serd/business/TakBsDeviceInfo.h"

#include <algorithm>

#include "Tak.PolicyNotify.pb.h"
#include "comm-serd/session/TakBaseSession.h"
#include "log/TakNanolog.h"

TakBsDeviceInfo::TakBsDeviceInfo(int id, std::weak_ptr<TakBaseSession> session,
                                 std::string peerAddr, std::shared_ptr<TakDbConn> db)
    : m_session(std::move(session)), m_peerAddr(std::move(peerAddr)) {
    m_id = id;
    m_dbConn = std::move(db);
    m_handlers[Tak::ComDefine::policy_deviceInfoUp] = [this](const std::string& data) {
        _processDeviceInfo(data);
    };
}

TakBsDeviceInfo::~TakBsDeviceInfo() = default;

void TakBsDeviceInfo::processBs(const Tak::Business::Businessdata& bs) { runHandler(bs); }

std::string TakBsDeviceInfo::mac() {
    std::lock_guard<std::mutex> lock(m_macMutex);
    return m_mac;
}

bool TakBsDeviceInfo::isHasMac(const std::vector<std::string>& macs) {
    std::lock_guard<std::mutex> lock(m_macMutex);
    return std::find(macs.begin(), macs.end(), m_mac) != macs.end();
}

void TakBsDeviceInfo::_processDeviceInfo(const std::string& data) {
    Tak::PolicyNotify::DeviceInfoUp info;
    info.ParsePartialFromString(data);
    std::lock_guard<std::mutex> lock(m_macMutex);
    m_mac = info.strmacaddr();
}

void TakBsDeviceInfo::close() { TAK_LOG_DEBUG("close bsDeviceInfo"); }

void TakBsDeviceInfo::processErr(const std::string&) {}
