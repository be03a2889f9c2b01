#include "log/TakNanoQueueBuffer.h"

namespace TakNanolog {

namespace {

class SpinLock {
public:
    explicit SpinLock(std::atomic_flag& flag) : m_flag(flag) {
        while (m_flag.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~SpinLock() { m_flag.clear(std::memory_order_release); }
    SpinLock(SpinLock const&) = delete;
    SpinLock& operator=(SpinLock const&) = delete;

private:
    std::atomic_flag& m_flag;
};

}  // namespace

QueueBuffer::QueueBuffer()
    : m_current_write_buffer(nullptr),
      m_current_read_buffer(nullptr),
      m_write_index(0),
      m_read_index(0) {
    setup_next_write_buffer();
}

void QueueBuffer::setup_next_write_buffer() {
    std::unique_ptr<Buffer> next;
    {
        SpinLock lock(m_flag);
        next = std::move(m_spare);
    }
    if (!next) next = std::make_unique<Buffer>();
    m_current_write_buffer.store(next.get(), std::memory_order_release);
    SpinLock lock(m_flag);
    m_buffers.push(std::move(next));
    m_write_index.store(0, std::memory_order_release);
}

void QueueBuffer::push(TakNanoLogLine&& logline) {
    for (;;) {
        uint32_t const write_index = m_write_index.fetch_add(1, std::memory_order_acq_rel);
        if (write_index < Buffer::size) {
            if (m_current_write_buffer.load(std::memory_order_acquire)
                    ->push(std::move(logline), write_index)) {
                setup_next_write_buffer();
            }
            return;
        }
        // The block is full and the next one is being installed.
        while (m_write_index.load(std::memory_order_acquire) >= Buffer::size) {
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
        // Every slot has been read and no producer touches the block any more.
        done->reset();
        SpinLock lock(m_flag);
        if (!m_spare) m_spare = std::move(done);
    }
    return true;
}

}  // namespace TakNanolog
