#pragma once

#include <memory>
#include <string>
#include <vector>

#include "comm-serd/ITakManagerFactory.h"
#include "comm-serd/ITakObject.h"

// Creates every manager once, caches it under a fixed name and hands it out by interface. The
// factory lock (the recursive ITakObject mutex) is held from look-up to insertion, so a manager's
// constructor may ask the factory for another manager on the same thread.
class TakManagerFactory : public ITakManagerFactory, public ITakObject {
public:
    static constexpr const char* kDbManagerName = "TakDbManager";
    static constexpr const char* kThreadManagerName = "ThreadManager";
    static constexpr const char* kSessionManagerName = "SessionManager";
    static constexpr const char* kTcpServerManagerName = "TcpServerManager";
    static constexpr const char* kRpcManagerName = "RpcManager";

    static TakManagerFactory& getInstance();

    // The first cached object with this name, or an empty pointer.
    std::shared_ptr<ITakObject> getObject(const std::string& name);
    using ITakObject::getObject;

    std::shared_ptr<ITakDbManager> getDbManager() override;
    std::shared_ptr<ITakThreadManager> getThreadManager() override;
    std::shared_ptr<ITakSessionManager> getSessionManager() override;
    std::shared_ptr<ITakTcpServerManager> getTcpServerManager() override;
    std::shared_ptr<ITakRpcManager> getRpcManager() override;

    // Names of the cached objects in creation order.
    std::vector<std::string> cachedNames();
    // Drops every cached manager (the managers stop as their last references go). For the
    // orderly stop and for tests; in operation the cache lives until the process ends.
    void clear();

    TakManagerFactory() = default;

private:
    // The cached object of this name, or a new one from make() (run under the factory lock).
    template <typename Interface, typename Concrete, typename Make>
    std::shared_ptr<Interface> getOrCreate(const char* name, Make make);
    template <typename Interface, typename Concrete>
    std::shared_ptr<Interface> getOrCreate(const char* name) {
        return getOrCreate<Interface, Concrete>(name, [] { return std::make_shared<Concrete>(); });
    }

    std::vector<std::shared_ptr<ITakObject>> m_objects;  // guarded by m_mutex
};
