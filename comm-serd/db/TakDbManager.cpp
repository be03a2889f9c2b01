#include "comm-serd/db/TakDbManager.h"

int TakDbManager::init() { return 0; }

std::shared_ptr<TakDbConn> TakDbManager::getDBConn(const std::string&) { return nullptr; }
