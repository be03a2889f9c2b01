#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

// Counts the passes of a thread through one named sync point of the daemon's code
// (TAK_SYNC_POINT) while it lives, and lets the test wait for them. An optional action runs on
// the passing thread after the pass is counted: it may hold that thread at the point (wait on a
// future the test sets), with the locks the thread holds there. The destructor removes the
// callback and returns once no thread runs it any more.
// Needs a build with -DTAK_SYNC_POINTS=ON (the default of the test builds); without it the
// constructor fails the test with that message.
class TakSyncPointCounter {
public:
    explicit TakSyncPointCounter(std::string name, std::function<void()> action = {});
    ~TakSyncPointCounter();
    TakSyncPointCounter(const TakSyncPointCounter&) = delete;
    TakSyncPointCounter& operator=(const TakSyncPointCounter&) = delete;

    int count();
    // Waits until the point has been passed n times since the counter was made; false when the
    // time ran out first.
    [[nodiscard]] bool waitFor(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the next pass after the ones counted so far.
    [[nodiscard]] bool waitForNext(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    std::string m_name;
    std::function<void()> m_action;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_count = 0;
};
