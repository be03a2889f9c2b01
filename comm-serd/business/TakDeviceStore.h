#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Tak.PolicyNotify.pb.h"
#include "comm-serd/db/TakDbPreStatement.h"
#include "comm-serd/db/TakStatus.h"

class TakDbConn;

// The statements on the device registry (security_dev.asset_auth_record): registration, the
// offline update of a closing session, the start-up reset, authorization, and the lookups of
// registration, policy distribution and authorization.
//
// A store is made for one piece of work on the connection handed in, which must outlive it:
// inside a task of the security connection's worker, or on a thread that may use the
// connection directly (policy pass, host authorization). It keeps no state between uses
// apart from the registration statement. Every text from an agent or the console is escaped for
// that connection or bound as a parameter. Failures are logged by the connection or the
// statement; the statuses tell the caller what happened.
class TakDeviceStore {
public:
    // What the registry holds for one MAC address.
    struct STDeviceRow {
        bool exists = false;
        bool authorized = false;  // authState = 1
    };

    explicit TakDeviceStore(TakDbConn& conn);

    // ---- the statement texts (tests and the fuzz target check their escaping) ----
    // The lookup of a device's row.
    std::string lookupSql(const std::string& mac);
    // The registration: the id, the two times, the system version and the two states are its
    // placeholders; the MAC, local address, peer address and host name are spliced in.
    std::string registrationSql(const Tak::PolicyNotify::DeviceInfoUp& info,
                                const std::string& peerAddr);
    // The offline update of the row with this id.
    std::string offlineSql(const std::string& mac, const std::string& id);
    // The hosts of a policy group.
    std::string groupHostsSql(const std::string& group);

    // ---- registration ----
    // The number of authorized devices (0 when it could not be read).
    int authorizedCount();
    // The row of a MAC address (none when it could not be read).
    STDeviceRow lookup(const std::string& mac);
    // Prepares the registration of the device with this row id and time (both times), and binds
    // them and the system version; the statement lives with the store.
    TakStatus prepareRegistration(const Tak::PolicyNotify::DeviceInfoUp& info,
                                  const std::string& peerAddr, const std::string& id,
                                  const std::string& now);
    // Writes the device's row (replace into) with these states; not committed. After a failed
    // prepareRegistration it fails as well (logged).
    TakStatus executeRegistration(int onlineState, int authState);
    // Commits the registration. (The store's destruction commits it as well.)
    TakStatus commitRegistration();

    // ---- online state ----
    // The row this id was written with goes offline; committed.
    TakStatus markOffline(const std::string& mac, const std::string& id);
    // Every row goes offline (at start-up, before any session exists); committed. *changed
    // receives the number of rows that were online.
    TakStatus resetAllOffline(uint64_t* changed);

    // ---- policy distribution ----
    // The MAC addresses of the group's online hosts; none when the group has no host row (or
    // the rows could not be read).
    std::optional<std::vector<std::string>> onlineMacsOfGroup(const std::string& group);

    // ---- authorization ----
    // Sets authState of the MAC address's rows (1: approved, 0: revoked) and commits.
    TakStatus setAuthorized(const std::string& mac, bool authorized);

private:
    TakDbConn& m_conn;
    TakDbPreStatement m_registration;
    // The registration's bound values: they stay alive and unchanged until it executes.
    std::string m_id;
    std::string m_now;
    std::string m_version;
    int m_online = 0;
    int m_auth = 0;
};
