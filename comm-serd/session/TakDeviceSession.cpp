#include "comm-serd/session/TakDeviceSession.h"

#include "comm-serd/business/TakBsAuditInfo.h"
#include "comm-serd/business/TakBsDefine.h"
#include "comm-serd/business/TakBsDeviceInfo.h"
#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "log/TakNanolog.h"

using Tak::Business::Businessdata;
using Tak::Business::MessageData;
namespace ComDefine = Tak::ComDefine;

TakDeviceSession::TakDeviceSession(uint64_t id, std::shared_ptr<TakSocketChannel> channel,
                                   std::shared_ptr<ITakThreadManager> pool,
                                   const STSettings& settings,
                                   std::shared_ptr<TakDbConn> securityConn,
                                   std::shared_ptr<TakDbConn> auditConn, MacListener onMac)
    : TakBaseSession(id, std::move(channel), std::move(pool), settings),
      m_securityConn(std::move(securityConn)),
      m_auditConn(std::move(auditConn)),
      m_onMac(std::move(onMac)) {}

TakDeviceSession::~TakDeviceSession() = default;

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
    std::weak_ptr<TakBaseSession> weak = self();
    TakBsDeviceInfo::CloseSession closeSession = [weak] {
        if (auto session = weak.lock()) session->closeSession();
    };
    m_services[g_bsDeviceId] = std::make_shared<TakBsDeviceInfo>(
        m_id, std::move(closeSession), peerAddr(), m_securityConn, m_reportedMacs);
}

void TakDeviceSession::createAuditService() {
    if (m_services.count(g_bsAuditId)) return;
    m_services[g_bsAuditId] = std::make_shared<TakBsAuditInfo>(
        m_id, peerAddr(), takAuditTableNames(), m_auditConn, m_reportedMacs, m_uploadBytesWaiting);
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
    switch (business.moduledata().ncommandid()) {
        case ComDefine::policy_auditUp:
            holdReadingForUploads();
            break;
        case ComDefine::policy_deviceInfoUp:
            if (m_onMac && it->first == g_bsDeviceId) {
                if (auto device = std::dynamic_pointer_cast<TakBsDeviceInfo>(it->second)) {
                    m_onMac(m_id, device->mac());
                }
            }
            break;
        default:
            break;
    }
}

void TakDeviceSession::afterChunk() { holdReadingForUploads(); }

void TakDeviceSession::holdReadingForUploads() {
    if (!m_channel || !m_auditConn || m_uploadBytesWaiting->load() == 0) return;
    if (!m_auditConn->overQueuedLimit() || m_readingHeld.exchange(true)) return;
    m_channel->pauseReading();
    TAK_LOG_DEBUG("audit queue over its bound, reading paused:" << peerAddr() << "queued bytes:"
                                                                << m_auditConn->queuedBytes());
    std::weak_ptr<TakBaseSession> weak = self();
    m_auditConn->whenBelowQueuedLimit([weak] {
        if (auto self = weak.lock()) static_cast<TakDeviceSession&>(*self).resumeReadingAfterHold();
    });
}

void TakDeviceSession::resumeReadingAfterHold() {
    m_readingHeld.store(false);
    m_channel->resumeReading();
}
