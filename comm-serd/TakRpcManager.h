#pragma once

#include "comm-serd/ITakObject.h"
#include "comm-serd/ITakRpcManager.h"

// Placeholder until the console RPC lands.
class TakRpcManager : public ITakRpcManager, public ITakObject {
public:
    void init() override;
    void start() override;
    void stop() override;
};
