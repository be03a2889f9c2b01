#pragma once

#include "log/TakNanoLogLine.h"

namespace TakNanolog {

// The queue between the logging threads and the writer thread.
class BufferBase {
public:
    virtual ~BufferBase() = default;
    // Any thread. True when this record filled a block: the writer should then prepare memory
    // for the blocks to come (prepare()).
    virtual bool push(TakNanoLogLine&& logline) = 0;
    // The writer thread only.
    virtual bool try_pop(TakNanoLogLine& logline) = 0;
    // The writer thread only: readies memory for the next blocks, off the logging threads.
    virtual void prepare() {}
};

}  // namespace TakNanolog
