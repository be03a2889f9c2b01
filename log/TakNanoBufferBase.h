#pragma once

#include "log/TakNanoLogLine.h"

namespace TakNanolog {

// The queue between the logging threads and the writer thread.
class BufferBase {
public:
    virtual ~BufferBase() = default;
    // Any thread.
    virtual void push(TakNanoLogLine&& logline) = 0;
    // The writer thread only.
    virtual bool try_pop(TakNanoLogLine& logline) = 0;
};

}  // namespace TakNanolog
