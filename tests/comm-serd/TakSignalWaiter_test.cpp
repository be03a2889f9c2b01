#include "comm-serd/TakSignalWaiter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

// Counts the calls of the waiter's functions and lets the test wait for a count.
class Calls {
public:
    void add(int& counter) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++counter;
        }
        m_cond.notify_all();
    }
    bool waitFor(int const& counter, int value) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::seconds(10), [&] { return counter >= value; });
    }
    int get(int const& counter) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return counter;
    }

    int hangups = 0;
    int stops = 0;
    int lastStop = 0;

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
};

}  // namespace

// The signals go to the whole process (kill, not raise): the waiter's thread takes them, as in the
// daemon, where every thread blocks them.
TEST(TakSignalWaiterTest, SighupCallsTheHangupFunctionEveryTimeAndNeverStops) {
    Calls calls;
    TakSignalWaiter waiter;
    waiter.start(
        [&calls](int sig) {
            calls.lastStop = sig;
            calls.add(calls.stops);
        },
        [&calls] { calls.add(calls.hangups); });

    for (int n = 1; n <= 3; ++n) {
        ASSERT_EQ(kill(getpid(), SIGHUP), 0);
        ASSERT_TRUE(calls.waitFor(calls.hangups, n)) << n;
    }
    EXPECT_EQ(calls.get(calls.stops), 0);
    EXPECT_EQ(waiter.received(), 0);

    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    ASSERT_TRUE(calls.waitFor(calls.stops, 1));
    EXPECT_EQ(calls.lastStop, SIGTERM);
    EXPECT_EQ(waiter.received(), SIGTERM);
    // While the daemon stops, SIGHUP still starts a new file.
    ASSERT_EQ(kill(getpid(), SIGHUP), 0);
    ASSERT_TRUE(calls.waitFor(calls.hangups, 4));
}
