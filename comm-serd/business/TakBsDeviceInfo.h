#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm-serd/business/ITakBsService.h"

class TakBaseSession;

// Keeps the device registry in step with the agent: registers the device it reports, admits or
// refuses it, marks it offline when the session closes, and records the errors the agent
// returns for pushed policies.
class TakBsDeviceInfo : public ITakBsService {
public:
    TakBsDeviceInfo(int id, std::weak_ptr<TakBaseSession> session, std::string peerAddr,
                    std::shared_ptr<TakDbConn> db);
    ~TakBsDeviceInfo() override;

    void processBs(const Tak::Business::Businessdata& bs) override;
    void close() override;
    void processErr(const std::string& data) override;
    bool isHasMac(const std::vector<std::string>& macs) override;

    std::string mac();

private:
    void _processDeviceInfo(const std::string& data);

    std::weak_ptr<TakBaseSession> m_session;
    const std::string m_peerAddr;
    std::mutex m_macMutex;
    std::string m_mac;  // guarded by m_macMutex
};
