#pragma once

#include <chrono>
#include <thread>

// Polls the condition until it holds or the time is up; true when it held.
template <typename Condition>
bool takEventually(Condition condition,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10),
                   std::chrono::milliseconds poll = std::chrono::milliseconds(5)) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(poll);
    }
    return true;
}
