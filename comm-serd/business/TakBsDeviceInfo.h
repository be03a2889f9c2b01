#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Tak.PolicyNotify.pb.h"
#include "comm-serd/business/ITakBsService.h"
#include "comm-serd/business/TakReportedMacs.h"

// Keeps the device registry in step with the agent: registers the device it reports, admits or
// refuses it, marks it offline when the session closes, and records the errors the agent
// returns for pushed policies.
//
// All database work runs on the security connection's worker, in the order queued. Tasks carry
// copies of what they store and a weak reference to the session (a task whose session has gone
// writes its row and closes nothing); none refers to the service itself.
//
// A device row is online only while a session holds it: each registration writes the row with
// a new id, and the offline update of a closing session touches only the rows whose id one of
// its own registrations wrote. So a device that has reconnected on another session (which wrote
// a newer row) is not shown offline when its old connection closes.
class TakBsDeviceInfo : public ITakBsService {
public:
    // Closes the owning session's connection (asynchronously); holds the session weakly, so a
    // task whose session has gone closes nothing.
    using CloseSession = std::function<void()>;
    // Task id of the start-up offline reset: no session has it.
    static constexpr uint64_t kNoSessionTaskId = 0;

    // id is the owning session's connection id (never reused), which its database tasks carry:
    // close() drops those still queued and queues the offline update under the same id, behind
    // a registration the worker has already started, so a device is never left shown online
    // after it has gone. ownMacs (may be null) receives every MAC address the agent reports.
    TakBsDeviceInfo(uint64_t id, CloseSession closeSession, std::string peerAddr,
                    std::shared_ptr<TakDbConn> db,
                    std::shared_ptr<TakReportedMacs> ownMacs = nullptr);
    ~TakBsDeviceInfo() override;

    void processBs(const Tak::Business::Businessdata& bs) override;
    // Drops the session's queued tasks and queues the offline update of the device last
    // reported (nothing is run on the calling thread). Device information arriving afterwards
    // is dropped.
    void close() override;
    void processErr(const std::string& data) override;
    bool isHasMac(const std::vector<std::string>& macs) override;

    std::string mac();

    // What the latest decided registration of this session did.
    enum class EAdmission { Pending, Admitted, Refused };
    EAdmission admission();

    // Queues, as the first task of the security connection, the reset of every device row to
    // offline: the daemon is the only writer of onlineState, and no session exists yet. Runs
    // once the database is reachable; the count is logged at INFO.
    static void queueOfflineReset(const std::shared_ptr<TakDbConn>& conn);

private:
    // MAC -> the id of the row this session's latest registration of it wrote. Touched only by
    // this service's tasks, which all run on the security worker.
    using WrittenRows = std::map<std::string, std::string>;

    // The session's admission, shared with its registration tasks. The session counts as
    // registered (TakMetrics::sessionsRegistered) from its first admission to close(), once.
    class Admission {
    public:
        // A registration was committed: admitted or refused.
        void decided(bool admitted);
        // The service closes.
        void close();
        EAdmission state();

    private:
        std::mutex m_mutex;
        EAdmission m_state = EAdmission::Pending;  // guarded by m_mutex
        bool m_counted = false;                    // guarded by m_mutex
        bool m_closed = false;                     // guarded by m_mutex
    };

    void _processDeviceInfo(const std::string& data);

    // The tasks run on the worker and reach the tables through TakDeviceStore and
    // TakPolicyStore.
    // The registration task: admission and the device's row.
    static void registerDevice(TakDbConn& conn, const Tak::PolicyNotify::DeviceInfoUp& info,
                               const std::string& peerAddr, const CloseSession& closeSession,
                               WrittenRows& written, Admission& admission);
    // The offline update of the rows this session wrote, on the worker.
    static void markOffline(TakDbConn& conn, const WrittenRows& written);
    static void updateOnlineState(TakDbConn& conn, const std::string& mac, const std::string& id);
    // The error task: the policy's processState becomes 3 with the text.
    static void savePolicyError(TakDbConn& conn, const std::string& errMsg, int policyId);

    CloseSession m_closeSession;
    const std::string m_peerAddr;
    const std::shared_ptr<TakReportedMacs> m_ownMacs;
    const std::shared_ptr<WrittenRows> m_written = std::make_shared<WrittenRows>();
    const std::shared_ptr<Admission> m_admission = std::make_shared<Admission>();
    std::mutex m_macMutex;  // guards m_mac, m_registering and m_closed
    std::string m_mac;
    bool m_registering = false;  // a registration was queued
    bool m_closed = false;
};
