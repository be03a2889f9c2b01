#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "log/TakNanoLogLine.h"

namespace TakNanolog {

// One 8 MiB block of the log queue: 32768 slots of 256 bytes, each with a write state, and the
// count of written slots.
class Buffer {
public:
    static constexpr uint32_t size = 32768;

    struct Item {
        explicit Item(TakNanoLogLine&& line) : logline(std::move(line)) {}
        char padding[256 - sizeof(TakNanoLogLine)];
        TakNanoLogLine logline;
    };
    static_assert(sizeof(Item) == 256, "one record takes one 256-byte slot");

    Buffer();
    ~Buffer();
    Buffer(Buffer const&) = delete;
    Buffer& operator=(Buffer const&) = delete;

    // Moves the record into the claimed slot; true when this made the block full. The slot is
    // published last: once the reader sees it, the producer no longer touches the block.
    bool push(TakNanoLogLine&& logline, uint32_t write_index);
    // Moves the record out of the slot if it has been written.
    bool try_pop(TakNanoLogLine& logline, uint32_t read_index);
    // Makes a block whose every slot has been read empty again, for reuse. Reader only.
    void reset();

private:
    void destroyWritten();

    struct FreeDeleter {
        void operator()(Item* p) const { std::free(p); }
    };
    std::unique_ptr<Item[], FreeDeleter> m_buffer;  // raw slot memory, one malloc
    std::atomic<uint32_t> m_write_state[size + 1];
};

}  // namespace TakNanolog
