#include "comm-serd/session/TakDeviceSession.h"

#include "comm-serd/TakManagerFactory.h"
#include "comm-serd/business/TakBsAuditInfo.h"
#include "comm-serd/business/TakBsDefine.h"
#include "comm-serd/business/TakBsDeviceInfo.h"
#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "log/TakNanolog.h"

using Tak::Business::Businessdata;
using Tak::Business::MessageData;
namespace ComDefine = Tak::ComDefine;

TakDeviceSession::TakDeviceSession(int fd, std::shared_ptr<TakSocketChannel> channel)
    : TakBaseSession(fd, std::move(channel)),
      m_securityConn(
          TakManagerFactory::getInstance().getDbManager()->getDBConn(g_strSecurityDbName)),
      m_auditConn(TakManagerFactory::getInstance().getDbManager()->getDBConn(g_strAuditDbName)) {}

TakDeviceSession::~TakDeviceSession() = default;

bool TakDeviceSession::isHasMac(const std::vector<std::string>& macs) {
    std::lock_guard<std::mutex> lock(m_serviceMutex);
    auto it = m_services.find(g_bsDeviceId);
    return it != m_services.end() && it->second->isHasMac(macs);
}

void TakDeviceSession::close() {
    std::lock_guard<std::mutex> lock(m_serviceMutex);
    m_closed = true;
    auto it = m_services.find(g_bsDeviceId);
    if (it != m_services.end()) it->second->close();
}

STSessionInfo TakDeviceSession::describe() {
    STSessionInfo info = TakBaseSession::describe();
    std::lock_guard<std::mutex> lock(m_serviceMutex);
    auto it = m_services.find(g_bsDeviceId);
    if (it == m_services.end()) return info;
    if (auto device = std::dynamic_pointer_cast<TakBsDeviceInfo>(it->second)) {
        info.mac = device->mac();
        auto const admission = device->admission();
        info.registered = admission != TakBsDeviceInfo::EAdmission::Pending;
        info.authorized = admission == TakBsDeviceInfo::EAdmission::Admitted;
    }
    return info;
}

void TakDeviceSession::createDeviceService() {
    if (m_services.count(g_bsDeviceId)) return;
    auto self = std::static_pointer_cast<TakBaseSession>(shared_from_this());
    m_services[g_bsDeviceId] =
        std::make_shared<TakBsDeviceInfo>(m_fd, self, peerAddr(), m_securityConn, m_reportedMacs);
}

void TakDeviceSession::createAuditService() {
    if (m_services.count(g_bsAuditId)) return;
    m_services[g_bsAuditId] = std::make_shared<TakBsAuditInfo>(
        m_fd, peerAddr(), takAuditTableNames(), m_auditConn, m_reportedMacs, m_uploadBytesWaiting);
}

void TakDeviceSession::doWork(std::shared_ptr<MessageData> message) {
    if (message->ndatatype() == ComDefine::PackDataErr) {
        std::lock_guard<std::mutex> lock(m_serviceMutex);
        auto it = m_services.find(g_bsDeviceId);
        if (it != m_services.end()) it->second->processErr(message->bybusinessdata());
        return;
    }
    if (message->ndatatype() != ComDefine::PackDataReq) return;

    Businessdata business;
    business.ParsePartialFromString(message->bybusinessdata());
    if (business.nmoduletype() != ComDefine::Module_Policy) {
        TAK_LOG_ERROR("moduleType is not Module_Policy"
                      << "peer:" << peerAddr());
        return;
    }

    switch (business.moduledata().ncommandid()) {
        case ComDefine::policy_deviceInfoUp: {
            std::lock_guard<std::mutex> lock(m_serviceMutex);
            if (m_closed) {
                TAK_LOG_DEBUG("device information after close dropped, peer:" << peerAddr());
                return;
            }
            createDeviceService();
            break;
        }
        case ComDefine::policy_auditUp:
        case ComDefine::policy_auditReset: {
            {
                std::lock_guard<std::mutex> lock(m_serviceMutex);
                createAuditService();
            }
            // The agent is answered before its upload is stored.
            sendEmptyAnswer(message, business);
            break;
        }
        default:
            break;
    }

    std::lock_guard<std::mutex> lock(m_serviceMutex);
    auto it = message->strtosessionid().empty() ? m_services.end()
                                                : m_services.find(message->strtosessionid());
    if (it == m_services.end()) {
        TAK_LOG_ERROR("serviceid is empty"
                      << "peer:" << peerAddr() << "service:" << message->strtosessionid());
        return;
    }
    it->second->processBs(business);
    if (business.moduledata().ncommandid() == ComDefine::policy_auditUp) holdReadingForUploads();
}

void TakDeviceSession::afterChunk() { holdReadingForUploads(); }

void TakDeviceSession::holdReadingForUploads() {
    if (!m_channel || !m_auditConn || m_uploadBytesWaiting->load() == 0) return;
    if (!m_auditConn->overQueuedLimit() || m_readingHeld.exchange(true)) return;
    m_channel->pauseReading();
    TAK_LOG_DEBUG("audit queue over its bound, reading paused:" << peerAddr() << "queued bytes:"
                                                                << m_auditConn->queuedBytes());
    std::weak_ptr<TakBaseSession> weak =
        std::static_pointer_cast<TakBaseSession>(shared_from_this());
    m_auditConn->whenBelowQueuedLimit([weak] {
        if (auto self = weak.lock()) static_cast<TakDeviceSession&>(*self).resumeReadingAfterHold();
    });
}

void TakDeviceSession::resumeReadingAfterHold() {
    m_readingHeld.store(false);
    m_channel->resumeReading();
}
