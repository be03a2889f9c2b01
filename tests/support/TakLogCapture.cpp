#include "support/TakLogCapture.h"

#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "log/TakNanolog.h"

namespace {

struct Sink {
    std::mutex mutex;
    std::condition_variable cond;
    bool active = false;               // guarded by mutex
    std::vector<std::string> records;  // guarded by mutex
};

Sink& sink() {
    // Never destroyed: logging threads may outlive the test's statics.
    static Sink& s = *new Sink;
    return s;
}

void installOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        TakNanolog::loglevel.store(0);
        TakNanolog::m_callback = [](std::string text) {
            Sink& s = sink();
            {
                std::lock_guard<std::mutex> lock(s.mutex);
                if (!s.active) return;
                s.records.push_back(std::move(text));
            }
            s.cond.notify_all();
        };
    });
}

}  // namespace

TakLogCapture::TakLogCapture() {
    installOnce();
    Sink& s = sink();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.records.clear();
    s.active = true;
}

TakLogCapture::~TakLogCapture() {
    Sink& s = sink();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (std::getenv("TAK_TEST_SHOW_LOG") != nullptr) {
        for (const auto& record : s.records) std::cerr << record;
    }
    s.active = false;
    s.records.clear();
}

std::vector<std::string> TakLogCapture::records() {
    Sink& s = sink();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.records;
}

size_t TakLogCapture::count(std::string_view text, std::string_view also) {
    Sink& s = sink();
    std::lock_guard<std::mutex> lock(s.mutex);
    size_t n = 0;
    for (const auto& record : s.records) {
        if (record.find(text) != std::string::npos &&
            (also.empty() || record.find(also) != std::string::npos)) {
            ++n;
        }
    }
    return n;
}

bool TakLogCapture::waitFor(std::string_view text, std::chrono::milliseconds timeout) {
    Sink& s = sink();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.cond.wait_for(lock, timeout, [&] {
        for (const auto& record : s.records) {
            if (record.find(text) != std::string::npos) return true;
        }
        return false;
    });
}

void TakLogCapture::clear() {
    Sink& s = sink();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.records.clear();
}
