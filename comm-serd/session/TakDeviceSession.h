#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm-serd/business/ITakBsService.h"
#include "comm-serd/business/TakReportedMacs.h"
#include "comm-serd/session/TakBaseSession.h"

// The agent session: dispatches each request by module, command and addressed service to a
// business service of its own, created on first use.
//
// Back-pressure: uploads are answered before they are stored. While this session's uploads
// wait in an audit queue that is over its bound ([Limits] MaxQueuedBytes), the session stops
// reading from its agent (TCP then holds the agent back) and reads again once the queue is
// below the bound. Nothing answered is dropped.
//
// Locks: the service lock guards the services and the closed flag; nothing else is taken while
// it is held except the services' own locks.
class TakDeviceSession : public TakBaseSession {
public:
    // Told the MAC address the agent reports in its device information (strand).
    using MacListener = std::function<void(uint64_t id, const std::string& mac)>;

    // The database connections may be null (a database that could not be opened: the
    // services log that and skip their database work).
    TakDeviceSession(uint64_t id, std::shared_ptr<TakSocketChannel> channel,
                     std::shared_ptr<ITakThreadManager> pool, const STSettings& settings,
                     std::shared_ptr<TakDbConn> securityConn, std::shared_ptr<TakDbConn> auditConn,
                     MacListener onMac = nullptr);
    ~TakDeviceSession() override;

    void doWork(std::shared_ptr<Tak::Business::MessageData> message) override;
    // Closes the device-information service, which records the device as offline.
    void close() override;
    // Adds the device's MAC address and registration. Takes the service lock.
    STSessionInfo describe() override;

protected:
    void afterChunk() override;

private:
    // Pauses reading while uploads of this session wait in a queue over its bound. Any thread.
    void holdReadingForUploads();
    void resumeReadingAfterHold();

    // requires: m_serviceMutex held
    void createDeviceService();
    void createAuditService();

    std::mutex m_serviceMutex;
    std::map<std::string, std::shared_ptr<ITakBsService>> m_services;  // guarded by m_serviceMutex
    // close() has run: device information handled later (its job was queued before the close)
    // is dropped, as a registration then would outlast the offline update. Guarded by
    // m_serviceMutex.
    bool m_closed = false;

    // Bytes of this session's uploads queued and not yet stored.
    const std::shared_ptr<std::atomic<uint64_t>> m_uploadBytesWaiting =
        std::make_shared<std::atomic<uint64_t>>(0);
    const std::shared_ptr<TakDbConn> m_securityConn;
    const std::shared_ptr<TakDbConn> m_auditConn;
    const MacListener m_onMac;
    // The MAC addresses the agent has reported: its uploads and resets are taken for these only.
    const std::shared_ptr<TakReportedMacs> m_reportedMacs = std::make_shared<TakReportedMacs>();
    std::atomic<bool> m_readingHeld{false};
};
