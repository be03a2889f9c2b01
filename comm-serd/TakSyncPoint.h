#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

// Named points that the daemon's threads pass through, for tests: a test installs a callback on
// a point and learns that a thread has got there (a database task has started, the pool has
// passed an idle time-out, the log writer is about to sleep), or holds the thread there until
// it is ready. Only a build with the CMake option TAK_SYNC_POINTS (the test builds) compiles
// the points in; otherwise TAK_SYNC_POINT expands to nothing.
//
//   TAK_SYNC_POINT("TakDbConn::runTask:start");
//
// A point without a callback costs one atomic load. A callback runs on the thread that passes
// the point, with whatever locks that thread holds there (the place of each point says which):
// it must not take those locks, and it must not remove its own point.
class TakSyncPoint {
public:
    using Callback = std::function<void()>;

    static TakSyncPoint& instance();

    // Installs the callback of a point, replacing the one it had (after that one's running
    // calls have returned).
    void setCallback(const std::string& name, Callback callback);
    // Removes the callback of a point; returns once no thread runs it any more, so that what it
    // refers to may go.
    void clearCallback(const std::string& name);
    // Called by the points: runs the callback of the point, if it has one.
    void process(std::string_view name);

private:
    struct Entry {
        Callback callback;
        int running = 0;
    };
    void waitIdle(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Entry>& entry);

    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::unordered_map<std::string, std::shared_ptr<Entry>> m_entries;
    std::atomic<size_t> m_count{0};
};

#ifdef TAK_SYNC_POINTS
#define TAK_SYNC_POINT(name) TakSyncPoint::instance().process(name)
#else
#define TAK_SYNC_POINT(name) static_cast<void>(0)
#endif
