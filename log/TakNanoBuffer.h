#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "log/TakNanoLogLine.h"

namespace TakNanolog {

// One 8 MiB block of the log queue: 32768 slots of 256 bytes, each holding its own write state
// (0 empty, 1 written) beside one record.
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

    // The block's place in the queue's sequence of blocks. Set by the thread that installs the
    // block as the write block, before it publishes it.
    uint32_t sequence() const { return m_sequence; }
    void install(uint32_t sequence) {
        m_sequence = sequence;
        m_drained = false;
    }

    // Moves the record into the claimed slot and publishes it. Once the reader sees the slot
    // written, the producer no longer touches the block.
    void push(TakNanoLogLine&& logline, uint32_t write_index) {
        // Bring a slot a little ahead into the cache for writing: a claim's atomic increment
        // waits for the stores before it, and stores into memory not in the cache are slow.
        constexpr uint32_t kAhead = 8;
        if (write_index + kAhead < size) {
            char const* ahead = reinterpret_cast<char const*>(&m_slots[write_index + kAhead]);
            __builtin_prefetch(ahead, 1, 3);
            __builtin_prefetch(ahead + 64, 1, 3);
        }
        Slot& slot = m_slots[write_index];
        new (slot.record) TakNanoLogLine(std::move(logline));
        slot.state.store(1, std::memory_order_release);
    }
    // Moves the record out of the slot if it has been written, and empties the slot.
    bool try_pop(TakNanoLogLine& logline, uint32_t read_index);
    // Marks a block whose every slot has been read: it is ready for reuse. Reader only.
    void reset() { m_drained = true; }
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
    uint32_t m_sequence = 0;
    // Every slot is empty: never used since it was mapped, or read to the end.
    bool m_drained = true;
};

}  // namespace TakNanolog
