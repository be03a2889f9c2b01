#pragma once

#include <chrono>
#include <condition_variable>
#include <string>

#include "Tak.HostInfo.pb.h"
#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"

// One console query of a host's figures: the agent's answer and the wait for it. The session
// runs answer() on a pool thread when the agent's answer arrives; the console's thread waits in
// waitFor(). The caller holds the query by shared_ptr and the answer callback by weak_ptr, so a
// late answer finds nothing to write into. Thread-safe; its lock is a leaf.
class TakHostQuery {
public:
    // The commandData of the agent's answer, a ResourceInfoAsr: fields it lacks, or that do not
    // parse, read 0. Only the first answer counts.
    void answer(const std::string& data);
    // Waits up to timeout for the answer: true with its figures copied into out, false (out
    // untouched) when none came in time.
    bool waitFor(std::chrono::milliseconds timeout, Tak::HostInfo::ResourceInfoAsr& out);

private:
    TakMutex m_mutex;
    std::condition_variable m_answered;
    bool m_hasAnswer TAK_GUARDED_BY(m_mutex) = false;
    Tak::HostInfo::ResourceInfoAsr m_figures TAK_GUARDED_BY(m_mutex);
};
