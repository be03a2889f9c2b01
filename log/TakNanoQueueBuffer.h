#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "comm-serd/TakThreadAnnotations.h"
#include "log/TakNanoBuffer.h"
#include "log/TakNanoBufferBase.h"
#include "log/TakNanoSpinLock.h"

namespace TakNanolog {

// The lossless, unbounded queue: a chain of 8 MiB blocks. A producer claims a slot with one
// atomic increment of a word that holds both the write block's sequence number and the next
// index in it, so the claim itself names the block; the writer thread reads the slots in claim
// order.
//
// A producer must never take a page fault for the queue's memory (a first touch of a page costs
// microseconds, far more than the rest of a log statement). So the first block is touched when
// the queue is made, and the queue keeps spare blocks, touched in advance, for the producers to
// switch to when a block fills: the writer thread keeps the spares topped up (prepare()), and
// the blocks it has read go back among the spares. Only when producers fill blocks faster than
// the writer can prepare them does a producer map a fresh block, whose pages the producers then
// fault in as they write. Memory beyond the spares is given back once it has been read.
class QueueBuffer final : public BufferBase {
public:
    static constexpr uint32_t kDefaultSpares = 1;

    // Keeps spare_blocks spares; prepares max(spare_blocks, reserve_blocks) at once, so that a
    // burst known in advance finds its memory touched (the extra ones are used up once).
    explicit QueueBuffer(uint32_t spare_blocks = kDefaultSpares, uint32_t reserve_blocks = 0);
    ~QueueBuffer() override = default;
    QueueBuffer(QueueBuffer const&) = delete;
    QueueBuffer& operator=(QueueBuffer const&) = delete;

    bool push(TakNanoLogLine&& logline) override {
        for (;;) {
            uint64_t const claim = m_claim.fetch_add(1, std::memory_order_acq_rel);
            uint32_t const sequence = static_cast<uint32_t>(claim >> 32);
            uint32_t const index = static_cast<uint32_t>(claim);
            if (index < Buffer::size) {
                Buffer* block = m_by_sequence[sequence % kTable].load(std::memory_order_acquire);
                if (block->sequence() != sequence) block = find(sequence);
                // The last claim installs the next block before its own record is copied, so
                // the other producers wait as briefly as possible.
                bool const full = index == Buffer::size - 1;
                if (full) setup_next_write_buffer(sequence + 1);
                block->push(std::move(logline), index);
                return full;
            }
            waitForNextBlock(sequence);
        }
    }
    bool try_pop(TakNanoLogLine& logline) override;
    void prepare() override;

private:
    // Spare blocks ready now.
    uint32_t spares();
    // Blocks by sequence number, modulo kTable: the entry of a block is overwritten only by a
    // block installed kTable blocks later. A producer that finds such a later block in its entry
    // (it was held up that long between its claim and its look) looks among the queued blocks.
    // The table shares the claim's cache line, so a claim finds its block without another miss.
    static constexpr uint32_t kTable = 4;

    void setup_next_write_buffer(uint32_t sequence);
    void waitForNextBlock(uint32_t sequence);
    Buffer* find(uint32_t sequence);
    Buffer* get_next_read_buffer();
    static std::unique_ptr<Buffer> preparedBlock();

    uint32_t const m_spare_target;
    std::deque<std::unique_ptr<Buffer>> m_buffers TAK_GUARDED_BY(m_lock);  // oldest first
    std::vector<std::unique_ptr<Buffer>> m_spares TAK_GUARDED_BY(m_lock);  // empty and touched
    // The write block's sequence number (high 32 bits) and the next free index in it.
    alignas(64) std::atomic<uint64_t> m_claim{0};
    std::array<std::atomic<Buffer*>, kTable> m_by_sequence{};
    alignas(64) SpinLock m_lock;
    alignas(64) Buffer* m_current_read_buffer = nullptr;  // writer thread only
    uint32_t m_read_index = 0;                            // writer thread only
};

}  // namespace TakNanolog
