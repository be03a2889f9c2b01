#include "log/TakNanoQueueBuffer.h"

#include <sched.h>

namespace TakNanolog {

namespace {

void cpuRelax() { __builtin_ia32_pause(); }

class SpinLock {
public:
    explicit SpinLock(std::atomic_flag& flag) : m_flag(flag) {
        while (m_flag.test_and_set(std::memory_order_acquire)) cpuRelax();
    }
    ~SpinLock() { m_flag.clear(std::memory_order_release); }
    SpinLock(SpinLock const&) = delete;
    SpinLock& operator=(SpinLock const&) = delete;

private:
    std::atomic_flag& m_flag;
};

}  // namespace

QueueBuffer::QueueBuffer(uint32_t spare_blocks)
    : m_spare_target(spare_blocks),
      m_current_write_buffer(nullptr),
      m_write_index(0),
      m_current_read_buffer(nullptr),
      m_read_index(0) {
    for (uint32_t i = 0; i < m_spare_target; ++i) m_spares.push_back(preparedBlock());
    // The first block is the first spare taken, or a new one touched here.
    if (m_spares.empty()) m_spares.push_back(preparedBlock());
    setup_next_write_buffer();
}

std::unique_ptr<Buffer> QueueBuffer::preparedBlock() {
    auto block = std::make_unique<Buffer>();
    block->prefault();
    return block;
}

void QueueBuffer::setup_next_write_buffer() {
    std::unique_ptr<Buffer> next;
    {
        SpinLock lock(m_flag);
        if (!m_spares.empty()) {
            next = std::move(m_spares.back());
            m_spares.pop_back();
        }
    }
    // No spare ready: a fresh mapping, all zeros; its pages are faulted in as it is written.
    if (!next) next = std::make_unique<Buffer>();
    Buffer* const block = next.get();
    {
        SpinLock lock(m_flag);
        m_buffers.push(std::move(next));
    }
    m_current_write_buffer.store(block, std::memory_order_release);
    m_write_index.store(0, std::memory_order_release);
}

bool QueueBuffer::push(TakNanoLogLine&& logline) {
    for (;;) {
        uint32_t const write_index = m_write_index.fetch_add(1, std::memory_order_acq_rel);
        if (write_index < Buffer::size) {
            Buffer* const block = m_current_write_buffer.load(std::memory_order_acquire);
            // The last claim installs the next block before its own record is copied, so the
            // other producers wait as briefly as possible.
            bool const full = block->countClaim();
            if (full) setup_next_write_buffer();
            block->push(std::move(logline), write_index);
            return full;
        }
        // The block is full and the next one is being installed.
        for (unsigned spins = 0; m_write_index.load(std::memory_order_acquire) >= Buffer::size;
             ++spins) {
            if (spins < 1024) {
                cpuRelax();
            } else {
                sched_yield();  // the installing thread may have been preempted
            }
        }
    }
}

Buffer* QueueBuffer::get_next_read_buffer() {
    SpinLock lock(m_flag);
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
            SpinLock lock(m_flag);
            done = std::move(m_buffers.front());
            m_buffers.pop();
        }
        // Every slot has been read and no producer touches the block any more: it becomes a
        // spare, or is given back when there are enough.
        done->reset();
        {
            SpinLock lock(m_flag);
            if (m_spares.size() < m_spare_target) m_spares.push_back(std::move(done));
        }
        // A block not kept is unmapped here, outside the lock.
    }
    return true;
}

void QueueBuffer::prepare() {
    while (spares() < m_spare_target) {
        std::unique_ptr<Buffer> block = preparedBlock();  // outside the lock: this takes a while
        SpinLock lock(m_flag);
        m_spares.push_back(std::move(block));
    }
}

uint32_t QueueBuffer::spares() {
    SpinLock lock(m_flag);
    return static_cast<uint32_t>(m_spares.size());
}

}  // namespace TakNanolog
