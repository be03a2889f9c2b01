#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

// Polls the condition until it holds or the time is up; true when it held. For state that
// another process owns and that tells nobody when it changes (a row of MariaDB, an answer of the
// daemon's HTTP endpoint, a port that listens): inside the test process, wait on the event
// itself (a future, a condition variable, a sync point) instead. The pauses between looks start
// at 1 ms and double up to maxPause, so a condition that holds soon is seen soon and a slow one
// is not asked about too often.
template <typename Condition>
bool takEventually(Condition condition,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10),
                   std::chrono::milliseconds maxPause = std::chrono::milliseconds(10)) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    std::chrono::milliseconds pause(1);
    while (!condition()) {
        auto const now = std::chrono::steady_clock::now();
        if (now > deadline) return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            pause, deadline - now + std::chrono::milliseconds(1)));
        pause = std::min(pause * 2, std::max(maxPause, std::chrono::milliseconds(1)));
    }
    return true;
}
