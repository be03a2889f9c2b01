#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Collects the text of every log record (all levels) while an instance lives. Records come
// through the logger's echo callback, which is installed once per process on first use (and
// never swapped while other threads may log). Only one instance is meant to live at a time.
// With TAK_TEST_SHOW_LOG set in the environment, the records are printed when it goes.
class TakLogCapture {
public:
    TakLogCapture();
    ~TakLogCapture();
    TakLogCapture(const TakLogCapture&) = delete;
    TakLogCapture& operator=(const TakLogCapture&) = delete;

    std::vector<std::string> records();
    // Records whose text contains every one of the given pieces.
    size_t count(std::string_view text, std::string_view also = {});
    bool contains(std::string_view text, std::string_view also = {}) {
        return count(text, also) != 0;
    }
    // Waits until a record holds text; false on time-out.
    bool waitFor(std::string_view text, std::chrono::milliseconds timeout);
    void clear();
};
