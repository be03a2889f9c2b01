#include "comm-serd/TakRpcManager.h"

#include "comm-serd/TakManagerFactory.h"

void TakRpcManager::init() { TakManagerFactory::getInstance().getSessionManager(); }
void TakRpcManager::start() {}
void TakRpcManager::stop() {}
