#include "comm-serd/business/TakDeviceStore.h"

#include "comm-serd/db/TakDbConn.h"
#include "comm-serd/db/TakDbResult.h"

TakDeviceStore::TakDeviceStore(TakDbConn& conn) : m_conn(conn) {}

std::string TakDeviceStore::lookupSql(const std::string& mac) {
    return "select * from asset_auth_record where macAddr = '" + m_conn.escapeString(mac) + "'";
}

std::string TakDeviceStore::registrationSql(const Tak::PolicyNotify::DeviceInfoUp& info,
                                            const std::string& peerAddr) {
    return "replace into asset_auth_record (id, create_time, update_time,macAddr, localIpAddr, "
           "netIpAddr, hostName, systemVersion, onlineState, authState) values ( ?,?,?, '" +
           m_conn.escapeString(info.strmacaddr()) + "', '" +
           m_conn.escapeString(info.strlocalipaddr()) + "', '" + m_conn.escapeString(peerAddr) +
           "', '" + m_conn.escapeString(info.strhostname()) + "' ,?,?,?)";
}

std::string TakDeviceStore::offlineSql(const std::string& mac, const std::string& id) {
    return "update asset_auth_record set onlineState = 0  where macAddr = '" +
           m_conn.escapeString(mac) + "' and id = '" + m_conn.escapeString(id) + "' ;";
}

std::string TakDeviceStore::groupHostsSql(const std::string& group) {
    return "select macAddr, onlineState from asset_auth_record where group_id = '" +
           m_conn.escapeString(group) + "'";
}

int TakDeviceStore::authorizedCount() {
    auto res = m_conn.executeQuery(
        "select COUNT(macAddr) as countNum from asset_auth_record where authState = 1");
    return res && res->rowCount() != 0 ? res->getInt("countNum") : 0;
}

TakDeviceStore::STDeviceRow TakDeviceStore::lookup(const std::string& mac) {
    STDeviceRow row;
    if (auto res = m_conn.executeQuery(lookupSql(mac)); res && res->rowCount() != 0) {
        row.exists = true;
        row.authorized = res->getInt("authState") == 1;
    }
    return row;
}

TakStatus TakDeviceStore::prepareRegistration(const Tak::PolicyNotify::DeviceInfoUp& info,
                                              const std::string& peerAddr, const std::string& id,
                                              const std::string& now) {
    TakStatus status = m_registration.init(m_conn, registrationSql(info, peerAddr));
    m_id = id;
    m_now = now;
    m_version = info.strsystemversion();
    m_registration.setParam(0, m_id);
    m_registration.setParam(1, m_now);
    m_registration.setParam(2, m_now);
    m_registration.setParam(3, m_version);
    m_registration.setParam(4, m_online);
    m_registration.setParam(5, m_auth);
    return status;
}

TakStatus TakDeviceStore::executeRegistration(int onlineState, int authState) {
    m_online = onlineState;
    m_auth = authState;
    return m_registration.executeUpdate();
}

TakStatus TakDeviceStore::commitRegistration() { return m_registration.commit(); }

TakStatus TakDeviceStore::markOffline(const std::string& mac, const std::string& id) {
    return m_conn.executeUpdate(offlineSql(mac, id));
}

TakStatus TakDeviceStore::resetAllOffline(uint64_t* changed) {
    return m_conn.executeUpdate(
        "update asset_auth_record set onlineState = 0 where onlineState <> 0", changed);
}

std::optional<std::vector<std::string>> TakDeviceStore::onlineMacsOfGroup(
    const std::string& group) {
    auto hosts = m_conn.executeQuery(groupHostsSql(group));
    if (!hosts || hosts->rowCount() == 0) return std::nullopt;
    std::vector<std::string> macs;
    do {
        if (hosts->getInt("onlineState") == 1 && !hosts->isNull("macAddr")) {
            macs.push_back(hosts->getString("macAddr"));
        }
    } while (hosts->next());
    return macs;
}

TakStatus TakDeviceStore::setAuthorized(const std::string& mac, bool authorized) {
    TakDbPreStatement statement;
    // A failed preparation is what the execution then reports.
    statement.init(m_conn, "update asset_auth_record set authState = ?  where macAddr = ?;")
        .ignoreError();
    int state = authorized ? 1 : 0;
    std::string macValue = mac;
    statement.setParam(0, state);
    statement.setParam(1, macValue);
    // Done only once the new state is durable.
    return statement.executeAndCommit();
}
