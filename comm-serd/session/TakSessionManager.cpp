#include "comm-serd/session/TakSessionManager.h"

#include "comm-serd/TakManagerFactory.h"

TakSessionManager::TakSessionManager()
    : m_threadManager(TakManagerFactory::getInstance().getThreadManager()) {}

void TakSessionManager::addSession(int, std::shared_ptr<TakSocketChannel>) {}
void TakSessionManager::policyNotify() {}
bool TakSessionManager::synGetHostInfo(const std::string&, Tak::HostInfo::ResourceInfoAsr&) {
    return true;
}
bool TakSessionManager::hostAuth(const std::string&, bool) { return false; }
