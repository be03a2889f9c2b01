#include "comm-serd/business/TakBsDeviceInfo.h"

#include <algorithm>
#include <ctime>
#include <optional>

#include "Tak.Base.pb.h"
#include "comm-serd/TakComUtil.h"
#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/TakMetrics.h"
#include "comm-serd/business/TakDeviceStore.h"
#include "comm-serd/business/TakPolicyStore.h"
#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbDefine.h"
#include "log/TakNanolog.h"

namespace {

// The current local time as the registry stores it.
std::string localTimeText() {
    std::time_t const now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    size_t const n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, n);
}

void closeSessionOf(const TakBsDeviceInfo::CloseSession& closeSession) {
    if (closeSession) closeSession();
}

}  // namespace

TakBsDeviceInfo::TakBsDeviceInfo(uint64_t id, CloseSession closeSession, std::string peerAddr,
                                 std::shared_ptr<TakDbConn> db,
                                 std::shared_ptr<TakReportedMacs> ownMacs)
    : m_closeSession(std::move(closeSession)),
      m_peerAddr(std::move(peerAddr)),
      m_ownMacs(std::move(ownMacs)) {
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

TakBsDeviceInfo::EAdmission TakBsDeviceInfo::admission() { return m_admission->state(); }

void TakBsDeviceInfo::Admission::decided(bool admitted) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state = admitted ? EAdmission::Admitted : EAdmission::Refused;
    if (admitted && !m_counted && !m_closed) {
        m_counted = true;
        TakMetrics::instance().sessionsRegistered.add();
    }
}

void TakBsDeviceInfo::Admission::close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return;
    m_closed = true;
    if (m_counted) TakMetrics::instance().sessionsRegistered.sub();
}

TakBsDeviceInfo::EAdmission TakBsDeviceInfo::Admission::state() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

bool TakBsDeviceInfo::isHasMac(const std::vector<std::string>& macs) {
    std::lock_guard<std::mutex> lock(m_macMutex);
    return std::find(macs.begin(), macs.end(), m_mac) != macs.end();
}

void TakBsDeviceInfo::_processDeviceInfo(const std::string& data) {
    // Absent fields read as empty texts; such a message still registers.
    Tak::PolicyNotify::DeviceInfoUp info;
    info.ParsePartialFromString(data);
    {
        std::lock_guard<std::mutex> lock(m_macMutex);
        if (m_closed) {
            // Queued now, the registration would run after the offline update.
            TAK_LOG_DEBUG("device information after close dropped:" << info.strmacaddr()
                                                                    << "peer:" << m_peerAddr);
            return;
        }
        m_mac = info.strmacaddr();
        m_registering = true;
    }
    if (m_ownMacs) m_ownMacs->add(info.strmacaddr());
    if (!m_dbConn) {
        reportNoDatabase(g_strSecurityDbName);
        return;
    }
    std::weak_ptr<TakDbConn> weakConn = m_dbConn;
    m_dbConn->processReq(m_id, STDbTaskInfo{"asset_auth_record", data.size()},
                         [weakConn, info, peerAddr = m_peerAddr, session = m_closeSession,
                          written = m_written, admission = m_admission] {
                             // The worker keeps its connection alive while a task runs.
                             if (auto conn = weakConn.lock())
                                 registerDevice(*conn, info, peerAddr, session, *written,
                                                *admission);
                         });
}

void TakBsDeviceInfo::registerDevice(TakDbConn& conn, const Tak::PolicyNotify::DeviceInfoUp& info,
                                     const std::string& peerAddr, const CloseSession& session,
                                     WrittenRows& written, Admission& admission) {
    // Everything this task changes becomes durable at one commit (or, for a refused device
    // over the limit, at the explicit commit before the session is closed), so its rerun after
    // a lost connection is exact; closing a session twice is harmless.
    TakDeviceStore store(conn);
    int const count = store.authorizedCount();
    TakDeviceStore::STDeviceRow const row = store.lookup(info.strmacaddr());

    std::string const id = TakComUtil::generateUUID();
    // A failed preparation is logged, and the executions below then report it: the branches
    // still refuse what they refuse, and nothing is written or counted.
    store.prepareRegistration(info, peerAddr, id, localTimeText()).ignoreError();

    // The row is this session's once the statement has run (a rerun of the task after a lost
    // connection writes it again, with a new id).
    bool executed = false;
    auto const wrote = [&written, &info, &id, &executed](const TakStatus& status) {
        executed = status.ok();
        if (executed) written[info.strmacaddr()] = id;
    };
    TakMetrics& metrics = TakMetrics::instance();
    TakMetrics::Counter* outcome = &metrics.registrationsAdmitted;
    std::optional<TakStatus> durable;  // set where the task commits before it closes the session
    int const limit = TakGlobalInfoManager::getInstance().getDeviceLimit();
    if (count >= limit && !row.authorized) {
        outcome = &metrics.registrationsOverLimit;
        // The registry is full: the device is recorded, not admitted, then sent away.
        wrote(store.executeRegistration(1, 0));
        durable = store.commitRegistration();
        TAK_LOG_INFO("device limit reached, device refused:" << info.strmacaddr() << "authorized:"
                                                             << count << "limit:" << limit);
        closeSessionOf(session);
    } else if (row.exists && !row.authorized) {
        // Revoked by the console.
        outcome = &metrics.registrationsRevoked;
        TAK_LOG_INFO("device not authorized, refused:" << info.strmacaddr());
        closeSessionOf(session);
        wrote(store.executeRegistration(0, 0));
    } else {
        wrote(store.executeRegistration(1, 1));
    }
    // Counted once durable: a task that lost its connection runs again and counts then.
    if (!durable) durable = store.commitRegistration();
    if (executed && durable->ok()) {
        outcome->add();
        admission.decided(outcome == &metrics.registrationsAdmitted);
    }
}

void TakBsDeviceInfo::close() {
    TAK_LOG_DEBUG("close bsDeviceInfo");
    bool registering = false;
    {
        std::lock_guard<std::mutex> lock(m_macMutex);
        // Closed once: the tasks queued since (error reports) run under the same id and stay.
        if (m_closed) return;
        m_closed = true;
        registering = m_registering;
    }
    m_admission->close();
    if (!m_dbConn) {
        if (registering) reportNoDatabase(g_strSecurityDbName);
        return;
    }
    // Registrations and error reports of this session not yet started go; one the worker has
    // started runs to its end, before the update queued below.
    m_dbConn->stopTaskById(m_id);
    if (!registering) return;
    std::weak_ptr<TakDbConn> weakConn = m_dbConn;
    m_dbConn->processReq(m_id, STDbTaskInfo{"asset_auth_record", 0},
                         [weakConn, written = m_written] {
                             if (auto conn = weakConn.lock()) markOffline(*conn, *written);
                         });
}

void TakBsDeviceInfo::markOffline(TakDbConn& conn, const WrittenRows& written) {
    for (const auto& [mac, id] : written) updateOnlineState(conn, mac, id);
}

void TakBsDeviceInfo::updateOnlineState(TakDbConn& conn, const std::string& mac,
                                        const std::string& id) {
    TakDeviceStore store(conn);
    TAK_LOG_DEBUG(store.offlineSql(mac, id));
    // A failure is logged by the connection. A lost connection reruns the whole task; otherwise
    // the row stays as it is and the session's other rows are still updated.
    store.markOffline(mac, id).ignoreError();
}

void TakBsDeviceInfo::queueOfflineReset(const std::shared_ptr<TakDbConn>& conn) {
    if (!conn) return;
    std::weak_ptr<TakDbConn> weakConn = conn;
    conn->processReq(kNoSessionTaskId, STDbTaskInfo{"asset_auth_record", 0}, [weakConn] {
        auto c = weakConn.lock();
        if (!c) return;
        uint64_t changed = 0;
        // A failure is logged by the connection (a lost connection reruns the task).
        if (TakDeviceStore(*c).resetAllOffline(&changed).ok()) {
            TAK_LOG_INFO("devices marked offline at start-up:" << changed);
        }
    });
}

void TakBsDeviceInfo::processErr(const std::string& data) {
    if (data.empty()) return;
    Tak::Base::MsgError error;
    error.ParsePartialFromString(data);
    TakMetrics::instance().policyAgentErrors.add();
    if (!m_dbConn) {
        reportNoDatabase(g_strSecurityDbName);
        return;
    }
    // After close the report is still stored: nothing drops the session's tasks twice.
    std::weak_ptr<TakDbConn> weakConn = m_dbConn;
    m_dbConn->processReq(
        m_id, STDbTaskInfo{"asset_business_config", data.size()},
        [weakConn, errMsg = error.errmsg(), policyId = static_cast<int>(error.nid())] {
            if (auto conn = weakConn.lock()) savePolicyError(*conn, errMsg, policyId);
        });
}

void TakBsDeviceInfo::savePolicyError(TakDbConn& conn, const std::string& errMsg, int policyId) {
    // A failure is logged by the statement. A lost connection reruns the task; a statement the
    // server refused leaves the row as it was (the agent's report is not stored).
    TakPolicyStore(conn).saveError(policyId, errMsg).ignoreError();
}
