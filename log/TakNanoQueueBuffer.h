#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <queue>

#include "log/TakNanoBuffer.h"
#include "log/TakNanoBufferBase.h"

namespace TakNanolog {

// The lossless, unbounded queue: a chain of 8 MiB blocks. Producers claim a slot with one atomic
// increment; the writer thread reads the slots in claim order. The block the writer has just
// read is kept as the next write block, so that producers in steady state write into memory
// that is already mapped instead of paying a page fault every 16 records.
class QueueBuffer : public BufferBase {
public:
    QueueBuffer();
    ~QueueBuffer() override = default;
    QueueBuffer(QueueBuffer const&) = delete;
    QueueBuffer& operator=(QueueBuffer const&) = delete;

    void push(TakNanoLogLine&& logline) override;
    bool try_pop(TakNanoLogLine& logline) override;

private:
    void setup_next_write_buffer();
    Buffer* get_next_read_buffer();

    std::queue<std::unique_ptr<Buffer>> m_buffers;  // guarded by m_flag
    std::unique_ptr<Buffer> m_spare;                // guarded by m_flag; empty, ready for reuse
    std::atomic<Buffer*> m_current_write_buffer;
    Buffer* m_current_read_buffer;  // writer thread only
    std::atomic<uint32_t> m_write_index;
    std::atomic_flag m_flag = ATOMIC_FLAG_INIT;
    uint32_t m_read_index;  // writer thread only
};

}  // namespace TakNanolog
