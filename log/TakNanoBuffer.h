#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "log/TakNanoLogLine.h"

namespace TakNanolog {

// One 8 MiB block of the log queue: 32768 slots of 256 bytes, each holding its own write state
// (0 empty, 1 written) beside one record, and the count of claimed slots.
//
// The memory is mapped anonymously, so a new block reads as all zeros (every slot empty) without
// being touched; prefault() touches it in advance, so that a producer writing into it later does
// not take a page fault on its logging thread.
class Buffer {
public:
    static constexpr uint32_t size = 32768;

    Buffer();
    ~Buffer();
    Buffer(Buffer const&) = delete;
    Buffer& operator=(Buffer const&) = delete;

    // Counts one claimed slot; true for the claim that takes the block's last slot. A producer
    // counts after it has read the block's address, so when the last slot is claimed, every
    // producer holding a slot of this block has already found it, and the next block can be
    // installed.
    bool countClaim();
    // Moves the record into the claimed slot and publishes it. Once the reader sees the slot
    // written, the producer no longer touches the block.
    void push(TakNanoLogLine&& logline, uint32_t write_index);
    // Moves the record out of the slot if it has been written, and empties the slot.
    bool try_pop(TakNanoLogLine& logline, uint32_t read_index);
    // Makes a block whose every slot has been read ready for reuse. Reader only.
    void reset();
    // Writes to every page of the block without changing what it holds (an atomic no-op on the
    // state of the first slot of each page), so any thread may call it while the block is used.
    void prefault();

private:
    struct Slot {
        std::atomic<uint32_t> state;
        uint32_t unused;
        alignas(8) unsigned char record[sizeof(TakNanoLogLine)];
    };
    static_assert(sizeof(Slot) == 256, "one record takes one 256-byte slot");
    static_assert(alignof(TakNanoLogLine) <= 8, "a record fits the slot's alignment");

    TakNanoLogLine* recordAt(uint32_t index);

    Slot* m_slots;  // size slots, mapped with mmap
    alignas(64) std::atomic<uint32_t> m_claimed{0};
};

}  // namespace TakNanolog
