#include "log/TakNanoQueueBuffer.h"

#include <sched.h>

#include <algorithm>

#include "comm-serd/TakLockGuard.h"

namespace TakNanolog {

QueueBuffer::QueueBuffer(uint32_t spare_blocks, uint32_t reserve_blocks)
    : m_spare_target(spare_blocks) {
    uint32_t const prepared = std::max(spare_blocks, reserve_blocks);
    for (uint32_t i = 0; i < prepared; ++i) m_spares.push_back(preparedBlock());
    // The first block is the first spare taken, or a new one touched here.
    if (m_spares.empty()) m_spares.push_back(preparedBlock());
    setup_next_write_buffer(0);
}

std::unique_ptr<Buffer> QueueBuffer::preparedBlock() {
    auto block = std::make_unique<Buffer>();
    block->prefault();
    return block;
}

void QueueBuffer::setup_next_write_buffer(uint32_t sequence) {
    std::unique_ptr<Buffer> next;
    {
        TakLockGuard lock(m_lock);
        if (!m_spares.empty()) {
            next = std::move(m_spares.back());
            m_spares.pop_back();
        }
    }
    // No spare ready: a fresh mapping, all zeros; its pages are faulted in as it is written.
    if (!next) next = std::make_unique<Buffer>();
    next->install(sequence);
    Buffer* const block = next.get();
    {
        TakLockGuard lock(m_lock);
        m_buffers.push_back(std::move(next));
    }
    m_by_sequence[sequence % kTable].store(block, std::memory_order_release);
    // Claims of the full block that came after its last slot are lost with this store: their
    // producers wait in waitForNextBlock() and claim again.
    m_claim.store(static_cast<uint64_t>(sequence) << 32, std::memory_order_release);
}

void QueueBuffer::waitForNextBlock(uint32_t sequence) {
    for (unsigned spins = 0;
         static_cast<uint32_t>(m_claim.load(std::memory_order_acquire) >> 32) == sequence;
         ++spins) {
        if (spins < 1024) {
            cpuRelax();
        } else {
            sched_yield();  // the installing thread may have been preempted
        }
    }
}

Buffer* QueueBuffer::find(uint32_t sequence) {
    // The block cannot have been read to the end (the caller's slot in it is still empty), so it
    // is still queued.
    TakLockGuard lock(m_lock);
    for (auto const& block : m_buffers) {
        if (block->sequence() == sequence) return block.get();
    }
    __builtin_trap();  // unreachable
}

Buffer* QueueBuffer::get_next_read_buffer() {
    TakLockGuard lock(m_lock);
    return m_buffers.empty() ? nullptr : m_buffers.front().get();
}

bool QueueBuffer::try_pop(TakNanoLogLine& logline) {
    if (m_current_read_buffer == nullptr) m_current_read_buffer = get_next_read_buffer();
    Buffer* read_buffer = m_current_read_buffer;
    if (read_buffer == nullptr) return false;
    if (!read_buffer->try_pop(logline, m_read_index)) return false;
    if (++m_read_index == Buffer::size) {
        m_read_index = 0;
        m_current_read_buffer = nullptr;
        std::unique_ptr<Buffer> done;
        {
            TakLockGuard lock(m_lock);
            done = std::move(m_buffers.front());
            m_buffers.pop_front();
        }
        // Every slot has been read and emptied, and no producer touches the block any more: it
        // becomes a spare, or is given back when there are enough.
        done->reset();
        {
            TakLockGuard lock(m_lock);
            if (m_spares.size() < m_spare_target) m_spares.push_back(std::move(done));
        }
        // A block not kept is unmapped here, outside the lock.
    }
    return true;
}

void QueueBuffer::prepare() {
    while (spares() < m_spare_target) {
        std::unique_ptr<Buffer> block = preparedBlock();  // outside the lock: this takes a while
        TakLockGuard lock(m_lock);
        m_spares.push_back(std::move(block));
    }
}

uint32_t QueueBuffer::spares() {
    TakLockGuard lock(m_lock);
    return static_cast<uint32_t>(m_spares.size());
}

}  // namespace TakNanolog
