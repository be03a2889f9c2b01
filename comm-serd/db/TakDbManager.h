#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "comm-serd/ITakDbManager.h"
#include "comm-serd/ITakObject.h"

// Placeholder until the database layer lands: opens nothing.
class TakDbManager : public ITakDbManager, public ITakObject {
public:
    int init() override;
    std::shared_ptr<TakDbConn> getDBConn(const std::string& name) override;
};
