#include "comm-serd/TakManagerFactory.h"

#include "comm-serd/TakGlobalInfoManager.h"
#include "comm-serd/TakRpcManager.h"
#include "comm-serd/TakTcpServerManager.h"
#include "comm-serd/TakThreadManager.h"
#include "comm-serd/business/TakBsDefine.h"
#include "comm-serd/db/TakDbManager.h"
#include "comm-serd/session/TakSessionManager.h"

TakManagerFactory& TakManagerFactory::getInstance() {
    // The factory is an ITakObject too and so lives in a shared_ptr.
    static std::shared_ptr<TakManagerFactory> instance = std::make_shared<TakManagerFactory>();
    return *instance;
}

std::shared_ptr<ITakObject> TakManagerFactory::getObject(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    for (auto const& object : m_objects) {
        if (object->getName() == name) return object;
    }
    return nullptr;
}

template <typename Interface, typename Concrete, typename Make>
std::shared_ptr<Interface> TakManagerFactory::getOrCreate(const char* name, Make make) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (auto found = getObject(name)) return std::dynamic_pointer_cast<Interface>(found);
    std::shared_ptr<Concrete> created = make();
    created->setName(name);
    m_objects.push_back(created);
    return created;
}

std::shared_ptr<ITakDbManager> TakManagerFactory::getDbManager() {
    return getOrCreate<ITakDbManager, TakDbManager>(kDbManagerName);
}
std::shared_ptr<ITakThreadManager> TakManagerFactory::getThreadManager() {
    return getOrCreate<ITakThreadManager, TakThreadManager>(kThreadManagerName);
}
std::shared_ptr<ITakSessionManager> TakManagerFactory::getSessionManager() {
    return getOrCreate<ITakSessionManager, TakSessionManager>(kSessionManagerName, [this] {
        TakGlobalInfoManager& config = TakGlobalInfoManager::getInstance();
        TakSessionManager::STDeps deps;
        deps.pool = getThreadManager();
        deps.connection = [this](const std::string& name) {
            return getDbManager()->getDBConn(name);
        };
        deps.session.ownId = g_bsDeviceId;
        deps.session.limits.maxPlainFrameBytes = config.getMaxPlainFrameBytes();
        deps.session.limits.maxFrameBytes = config.getMaxFrameBytes();
        deps.keyPath = config.getConfigDir() + "/scert.dat";
        deps.handshakeLimit = std::chrono::seconds(config.getHandshakeSeconds());
        return std::make_shared<TakSessionManager>(std::move(deps));
    });
}
std::shared_ptr<ITakTcpServerManager> TakManagerFactory::getTcpServerManager() {
    return getOrCreate<ITakTcpServerManager, TakTcpServerManager>(kTcpServerManagerName, [this] {
        return std::make_shared<TakTcpServerManager>([this] { return getSessionManager(); });
    });
}
std::shared_ptr<ITakRpcManager> TakManagerFactory::getRpcManager() {
    return getOrCreate<ITakRpcManager, TakRpcManager>(kRpcManagerName, [this] {
        return std::make_shared<TakRpcManager>([this] { return getSessionManager(); });
    });
}

std::vector<std::string> TakManagerFactory::cachedNames() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::vector<std::string> names;
    for (auto const& object : m_objects) names.push_back(object->getName());
    return names;
}

void TakManagerFactory::clear() {
    std::vector<std::shared_ptr<ITakObject>> objects;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        objects.swap(m_objects);
    }
    // Released outside the lock, newest first, so that a manager goes before those it uses.
    while (!objects.empty()) objects.pop_back();
}
