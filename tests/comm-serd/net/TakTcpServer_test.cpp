#include "comm-serd/net/TakTcpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A blocking client socket on 127.0.0.1.
class Client {
public:
    explicit Client(int port) : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        timeval tv{5, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Client() { closeNow(); }
    bool connected() const { return m_connected; }
    void send(const std::string& s) {
        ASSERT_EQ(::send(m_fd, s.data(), s.size(), 0), (ssize_t)s.size());
    }
    // Reads exactly n bytes, or fewer when the peer closes or the read times out.
    std::string read(size_t n) {
        std::string out;
        char buf[4096];
        while (out.size() < n) {
            ssize_t r = ::recv(m_fd, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) break;
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }
    // True when the peer has closed the connection.
    bool peerClosed() {
        char c;
        return ::recv(m_fd, &c, 1, 0) == 0;
    }
    void closeNow() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    int fd() const { return m_fd; }
    // This end's address as the server sees it: "127.0.0.1:port".
    std::string localAddr() const {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        return "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    }

private:
    int m_fd;
    bool m_connected = false;
};

// Runs a task on the loop twice over and waits for it: what the loop was going to do when the
// test got here (a ready read, a queued close callback) has been done by then.
bool loopRoundTrips(TakEventLoop& loop) {
    for (int i = 0; i < 2; ++i) {
        auto done = std::make_shared<std::promise<void>>();
        auto future = done->get_future();
        loop.post([done] { done->set_value(); });
        if (future.wait_for(5s) != std::future_status::ready) return false;
    }
    return true;
}

// Waits until the socket holds at least bytes unread.
bool unreadBytes(int fd, int bytes) {
    auto const deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
        int unread = 0;
        if (::ioctl(fd, FIONREAD, &unread) == 0 && unread >= bytes) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pollfd p{fd, POLLIN, 0};
        // Readable wakes this at once for the first bytes; later ones are a short wait apart.
        (void)::poll(&p, 1, unread > 0 ? 1 : 100);
    }
}

// Collects what the server's callbacks see.
struct Events {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<std::shared_ptr<TakSocketChannel>> channels;
    std::string received;
    int closes = 0;
    std::set<std::thread::id> closeThreads;
    bool closedOnOwnLoop = true;

    template <typename Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, timeout, pred);
    }
};

class TakTcpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.setThreadNum(2);
        server.setMaxOutputBytes(maxOutput);
        server.setKeepAlive(60, 10, 6);
        ASSERT_GE(server.createsocket(0, "127.0.0.1"), 0) << server.lastError();
        port = server.listenPort();
        server.setConnectionCallback([this](const std::shared_ptr<TakSocketChannel>& channel) {
            auto* ch = channel.get();
            channel->setReadCallback([this](const char* data, size_t n) {
                std::lock_guard<std::mutex> lock(events.mutex);
                events.received.append(data, n);
                events.cond.notify_all();
            });
            channel->setCloseCallback([this, ch] {
                std::lock_guard<std::mutex> lock(events.mutex);
                ++events.closes;
                if (!ch->loop().isInLoopThread()) events.closedOnOwnLoop = false;
                events.cond.notify_all();
            });
            std::lock_guard<std::mutex> lock(events.mutex);
            events.channels.push_back(channel);
            events.cond.notify_all();
        });
        server.start();
    }
    // The server's callbacks touch the fixture's events: they end before its members go. The
    // connections are the fixture's to close, as they are the daemon's.
    void TearDown() override {
        closeAll();
        server.stop();
    }
    void closeAll() {
        std::lock_guard<std::mutex> lock(events.mutex);
        for (auto& channel : events.channels) channel->close(true);
    }
    // Runs fn on the channel's loop and returns its result.
    template <typename Fn>
    auto onLoop(const std::shared_ptr<TakSocketChannel>& channel, Fn fn) {
        std::promise<decltype(fn())> result;
        channel->loop().post([&] { result.set_value(fn()); });
        return result.get_future().get();
    }

    // The server's channel of a client (connections on different loops arrive in any order).
    std::shared_ptr<TakSocketChannel> channelOf(const Client& client) {
        std::shared_ptr<TakSocketChannel> found;
        events.waitFor([&] {
            for (auto& c : events.channels) {
                if (c->peeraddr() == client.localAddr()) found = c;
            }
            return found != nullptr;
        });
        return found;
    }

    std::shared_ptr<TakSocketChannel> waitChannel(size_t index) {
        EXPECT_TRUE(events.waitFor([&] { return events.channels.size() > index; }));
        std::lock_guard<std::mutex> lock(events.mutex);
        return events.channels.size() > index ? events.channels[index] : nullptr;
    }

    uint64_t maxOutput = 1024 * 1024;
    TakTcpServer server;
    int port = 0;
    Events events;
};

TEST_F(TakTcpServerTest, DeliversBytesAndSendsFromAnyThread) {
    Client client(port);
    ASSERT_TRUE(client.connected());
    auto channel = waitChannel(0);
    ASSERT_TRUE(channel);
    EXPECT_EQ(channel->peeraddr().rfind("127.0.0.1:", 0), 0u) << channel->peeraddr();
    EXPECT_TRUE(channel->isConnected());

    client.send("hello");
    EXPECT_TRUE(events.waitFor([&] { return events.received == "hello"; }));

    // Sends from several threads arrive whole and in the order of each thread.
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i)
                channel->send(std::string(100, static_cast<char>('a' + t)));
        });
    }
    for (auto& w : writers) w.join();
    std::string all = client.read(4 * 100 * 100);
    ASSERT_EQ(all.size(), 40000u);
    for (size_t i = 0; i < all.size(); i += 100) {
        EXPECT_EQ(all.substr(i, 100), std::string(100, all[i])) << "block at " << i << " is torn";
    }
}

TEST_F(TakTcpServerTest, AcceptedConnectionsProbeAnIdlePeer) {
    // A host that vanishes leaves a half-open connection: keepalive probes find it out.
    Client client(port);
    auto channel = channelOf(client);
    ASSERT_TRUE(channel);
    auto option = [&](int level, int name) {
        int value = -1;
        socklen_t len = sizeof value;
        EXPECT_EQ(::getsockopt(channel->fd(), level, name, &value, &len), 0);
        return value;
    };
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 60);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 6);
}

TEST_F(TakTcpServerTest, PausedReadingTakesNothingNewUntilResumed) {
    Client client(port);
    auto channel = channelOf(client);
    ASSERT_TRUE(channel);
    channel->pauseReading();
    // The read armed before the pause still completes.
    client.send("first");
    ASSERT_TRUE(events.waitFor([&] { return events.received == "first"; }));
    client.send("second");
    // The bytes wait in the server's socket and the loop has run past them: not read.
    ASSERT_TRUE(unreadBytes(channel->fd(), 6));
    ASSERT_TRUE(loopRoundTrips(channel->loop()));
    {
        std::lock_guard<std::mutex> lock(events.mutex);
        EXPECT_EQ(events.received, "first");
    }
    channel->resumeReading();
    EXPECT_TRUE(events.waitFor([&] { return events.received == "firstsecond"; }));
    // What a peer sends before it closes while reading is paused is read, and its close
    // noticed, once reading resumes.
    channel->pauseReading();
    client.send("third");
    client.closeNow();
    channel->resumeReading();
    EXPECT_TRUE(events.waitFor([&] { return events.closes == 1; }));
    EXPECT_EQ(events.received, "firstsecondthird");
}

TEST_F(TakTcpServerTest, CloseCallbackRunsOnceOnItsLoopWhicheverSideCloses) {
    Client a(port), b(port);
    auto first = channelOf(a);
    auto second = channelOf(b);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(server.connectionNum(), 2u);

    a.closeNow();  // the peer closes
    EXPECT_TRUE(events.waitFor([&] { return events.closes == 1; }));
    second->close(true);  // the server closes
    second->close(true);
    EXPECT_TRUE(b.peerClosed());
    EXPECT_TRUE(events.waitFor([&] { return events.closes == 2; }));
    // A second close callback would have been queued on the loops by now.
    ASSERT_TRUE(loopRoundTrips(first->loop()));
    ASSERT_TRUE(loopRoundTrips(second->loop()));
    std::lock_guard<std::mutex> lock(events.mutex);
    EXPECT_EQ(events.closes, 2);
    EXPECT_TRUE(events.closedOnOwnLoop);
    EXPECT_EQ(server.connectionNum(), 0u);
    EXPECT_FALSE(first->isConnected());
    EXPECT_EQ(onLoop(second, [&] { return second->write("x"); }), -1);
}

TEST_F(TakTcpServerTest, ConnectionsAreSpreadOverTheWorkerLoops) {
    Client a(port), b(port);
    auto first = waitChannel(0);
    auto second = waitChannel(1);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(server.workerCount(), 2u);
    EXPECT_NE(&first->loop(), &second->loop());
}

TEST_F(TakTcpServerTest, AgentThatStopsReadingIsCutOffAtTheOutputBound) {
    Client client(port);
    auto channel = waitChannel(0);
    ASSERT_TRUE(channel);
    // The client never reads: the socket buffers fill, then the queue, then the bound closes it.
    std::string block(64 * 1024, 'x');
    int taken = 0;
    onLoop(channel, [&] {
        for (int i = 0; i < 200 && channel->write(block) > 0; ++i) ++taken;
        return 0;
    });
    EXPECT_LT(taken, 200);
    EXPECT_TRUE(events.waitFor([&] { return events.closes == 1; }));
    EXPECT_LE(channel->pendingOutputBytes(), maxOutput);
}

TEST_F(TakTcpServerTest, StopRunsTheCloseCallbacksOfWhatTheOwnerClosedFirst) {
    Client a(port), b(port);
    ASSERT_TRUE(waitChannel(1));
    server.stopAccepting();
    Client late(port);  // refused or never accepted
    closeAll();
    server.stop();
    EXPECT_EQ(events.closes, 2);
    EXPECT_EQ(events.channels.size(), 2u);
    EXPECT_EQ(server.connectionNum(), 0u);
    EXPECT_TRUE(a.peerClosed());
}

TEST_F(TakTcpServerTest, ConnectionIdsAreNeverReused) {
    std::set<uint64_t> ids;
    for (size_t i = 0; i < 4; ++i) {
        Client client(port);
        auto channel = waitChannel(i);
        ASSERT_TRUE(channel);
        ids.insert(channel->id());
        client.closeNow();
        EXPECT_TRUE(events.waitFor([&] { return events.closes == static_cast<int>(i + 1); }));
    }
    EXPECT_EQ(ids.size(), 4u);  // although the descriptors are reused
}

TEST(TakTcpServerListen, PortInUseIsReportedWithItsReason) {
    TakTcpServer first;
    ASSERT_GE(first.createsocket(0, "127.0.0.1"), 0);
    TakTcpServer second;
    int const fd = second.createsocket(first.listenPort(), "127.0.0.1");
    EXPECT_LT(fd, 0);
    EXPECT_FALSE(second.lastError().empty());
}

TEST(TakEventLoopTimers, OneShotRepeatAndKill) {
    TakEventLoopThread thread;
    thread.start(true);
    std::atomic<int> once{0}, repeated{0}, killed{0};
    std::promise<void> repeatsDone;
    thread.loop().setTimer(10, [&](TakTimerID) { ++once; });
    thread.loop().setTimer(
        5,
        [&](TakTimerID) {
            if (++repeated == 3) repeatsDone.set_value();
        },
        3);
    TakTimerID const id = thread.loop().setTimer(50, [&](TakTimerID) { ++killed; });
    thread.loop().killTimer(id);
    // A timer due after the killed one: once it has fired, the killed one would have too.
    std::promise<void> pastKilled;
    thread.loop().setTimer(60, [&](TakTimerID) { pastKilled.set_value(); });
    EXPECT_EQ(repeatsDone.get_future().wait_for(2s), std::future_status::ready);
    ASSERT_EQ(pastKilled.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(once.load(), 1);
    EXPECT_EQ(repeated.load(), 3);
    EXPECT_EQ(killed.load(), 0);
}

}  // namespace
