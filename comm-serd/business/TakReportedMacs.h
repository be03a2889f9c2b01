#pragma once

#include <mutex>
#include <set>
#include <string>

// The MAC addresses one session's agent has reported in its device information. An agent acts
// only for its own device: its uploads and resets are taken only for one of these.
// Thread-safe; its lock is a leaf (nothing else is taken while it is held).
class TakReportedMacs {
public:
    void add(const std::string& mac);
    bool contains(const std::string& mac);

private:
    std::mutex m_mutex;
    std::set<std::string> m_macs;  // guarded by m_mutex
};
