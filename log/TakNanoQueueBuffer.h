#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <queue>
#include <vector>

#include "log/TakNanoBuffer.h"
#include "log/TakNanoBufferBase.h"

namespace TakNanolog {

// The lossless, unbounded queue: a chain of 8 MiB blocks. Producers claim a slot with one atomic
// increment; the writer thread reads the slots in claim order.
//
// A producer must never take a page fault for the queue's memory (a first touch of a page costs
// microseconds, far more than the rest of a log statement). So the first block is touched when
// the queue is made, and the queue keeps spare blocks, touched in advance, for the producers to
// switch to when a block fills: the writer thread keeps the spares topped up (prepare()), and
// the blocks it has read go back among the spares. Only when producers fill blocks faster than
// the writer can prepare them does a producer map a fresh block, whose pages the producers then
// fault in as they write. Memory beyond the spares is given back once it has been read.
class QueueBuffer : public BufferBase {
public:
    static constexpr uint32_t kDefaultSpares = 1;

    explicit QueueBuffer(uint32_t spare_blocks = kDefaultSpares);
    ~QueueBuffer() override = default;
    QueueBuffer(QueueBuffer const&) = delete;
    QueueBuffer& operator=(QueueBuffer const&) = delete;

    bool push(TakNanoLogLine&& logline) override;
    bool try_pop(TakNanoLogLine& logline) override;
    void prepare() override;
    // Spare blocks ready now. Any thread.
    uint32_t spares();

private:
    void setup_next_write_buffer();
    Buffer* get_next_read_buffer();
    static std::unique_ptr<Buffer> preparedBlock();

    uint32_t const m_spare_target;
    std::queue<std::unique_ptr<Buffer>> m_buffers;  // guarded by m_flag; oldest first
    std::vector<std::unique_ptr<Buffer>> m_spares;  // guarded by m_flag; empty and touched
    alignas(64) std::atomic<Buffer*> m_current_write_buffer;
    alignas(64) std::atomic<uint32_t> m_write_index;
    alignas(64) std::atomic_flag m_flag = ATOMIC_FLAG_INIT;
    alignas(64) Buffer* m_current_read_buffer;  // writer thread only
    uint32_t m_read_index;                      // writer thread only
};

}  // namespace TakNanolog
