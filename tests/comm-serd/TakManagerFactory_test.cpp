#include "comm-serd/TakManagerFactory.h"

#include "comm-serd/TakGlobalInfoManager.h"
#include "support/TakTempDir.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Names = std::vector<std::string>;

class TakManagerFactoryTest : public testing::Test {
protected:
    void SetUp() override { factory().clear(); }
    void TearDown() override { factory().clear(); }
    static TakManagerFactory& factory() { return TakManagerFactory::getInstance(); }
};

// A TCP port that nothing listened on a moment ago.
int freePort() {
    int const fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    bool const bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

}  // namespace

TEST_F(TakManagerFactoryTest, EachGetterCreatesOnceAndNamesTheObject) {
    auto const db = factory().getDbManager();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(factory().getDbManager(), db);
    EXPECT_EQ(factory().getThreadManager(), factory().getThreadManager());
    EXPECT_EQ(factory().getRpcManager(), factory().getRpcManager());
    EXPECT_EQ(factory().getTcpServerManager(), factory().getTcpServerManager());
    EXPECT_EQ(factory().getSessionManager(), factory().getSessionManager());

    for (const char* name :
         {"TakDbManager", "ThreadManager", "RpcManager", "TcpServerManager", "SessionManager"}) {
        auto const object = factory().getObject(std::string(name));
        ASSERT_NE(object, nullptr) << name;
        EXPECT_EQ(object->getName(), name);
    }
    EXPECT_EQ(std::dynamic_pointer_cast<ITakDbManager>(factory().getObject("TakDbManager")), db);
    EXPECT_EQ(factory().getObject("Unknown"), nullptr);
    EXPECT_EQ(factory().getObject("takdbmanager"), nullptr);  // byte for byte
    EXPECT_EQ(factory().cachedNames().size(), 5u);
}

TEST_F(TakManagerFactoryTest, FirstSessionManagerBringsTheThreadManagerFirst) {
    ASSERT_NE(factory().getSessionManager(), nullptr);
    EXPECT_EQ(factory().cachedNames(), (Names{"ThreadManager", "SessionManager"}));
}

TEST_F(TakManagerFactoryTest, CacheOrderAfterStartUp) {
    // The start-up sequence of the daemon, through the interfaces only, on a configuration whose
    // agent port is a free one. Whether the database answers does not change the order.
    TakTempDir dir;
    dir.writeFile("config/config.ini",
                  "[IPInfo]\nPORT = " + std::to_string(freePort()) + "\n[Database]\nPort = 1\n");
    EXPECT_TRUE(TakGlobalInfoManager::getInstance().loadConfigFrom(dir.path().string()).empty());
    // Port 1: nothing listens there.
    EXPECT_EQ(factory().getDbManager()->init().code(), TakStatus::ECode::Refused);
    auto const rpc = factory().getRpcManager();
    rpc->init();
    auto const tcp = factory().getTcpServerManager();
    EXPECT_EQ(tcp->init(), 0);
    EXPECT_EQ(factory().cachedNames(), (Names{"TakDbManager", "RpcManager", "ThreadManager",
                                              "SessionManager", "TcpServerManager"}));
    EXPECT_TRUE(TakGlobalInfoManager::getInstance().loadConfigFrom("/nonexistent").empty());
}

TEST_F(TakManagerFactoryTest, ConcurrentFirstCallsCreateEachManagerOnce) {
    constexpr int kThreads = 8;
    std::atomic<bool> go{false};
    std::vector<std::shared_ptr<ITakSessionManager>> sessions(kThreads);
    std::vector<std::shared_ptr<ITakThreadManager>> pools(kThreads);
    std::vector<std::shared_ptr<ITakDbManager>> dbs(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            // Half start with the session manager, which asks for the thread manager itself.
            if (i % 2 == 0) sessions[i] = factory().getSessionManager();
            pools[i] = factory().getThreadManager();
            if (i % 2 == 1) sessions[i] = factory().getSessionManager();
            dbs[i] = factory().getDbManager();
        });
    }
    go.store(true);
    for (auto& t : threads) t.join();
    for (int i = 1; i < kThreads; ++i) {
        EXPECT_EQ(sessions[i], sessions[0]);
        EXPECT_EQ(pools[i], pools[0]);
        EXPECT_EQ(dbs[i], dbs[0]);
    }
    Names const names = factory().cachedNames();
    EXPECT_EQ(names.size(), 3u);
    // Whoever came first, the thread manager is cached before the session manager.
    auto const position = [&names](const std::string& name) {
        return std::find(names.begin(), names.end(), name) - names.begin();
    };
    EXPECT_LT(position("ThreadManager"), position("SessionManager"));
}

TEST_F(TakManagerFactoryTest, GetObjectNeedsASharedOwner) {
    ITakObject plain;
    EXPECT_THROW(plain.getObject(), std::bad_weak_ptr);
    auto const shared = std::make_shared<ITakObject>();
    EXPECT_EQ(shared->getObject(), shared);
}

TEST_F(TakManagerFactoryTest, ClearReleasesTheManagers) {
    std::weak_ptr<ITakThreadManager> const pool = factory().getThreadManager();
    std::weak_ptr<ITakSessionManager> const sessions = factory().getSessionManager();
    factory().clear();
    EXPECT_TRUE(pool.expired());
    EXPECT_TRUE(sessions.expired());
    EXPECT_TRUE(factory().cachedNames().empty());
}
