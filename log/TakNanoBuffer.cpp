#include "log/TakNanoBuffer.h"

#include <cstdlib>
#include <new>

namespace TakNanolog {

Buffer::Buffer() : m_buffer(static_cast<Item*>(std::malloc(size * sizeof(Item)))) {
    if (m_buffer == nullptr) throw std::bad_alloc();
    for (auto& state : m_write_state) state.store(0, std::memory_order_relaxed);
}

Buffer::~Buffer() { destroyWritten(); }

void Buffer::destroyWritten() {
    // Slots are written in any order by concurrent producers, so look at each one.
    for (uint32_t i = 0; i < size; ++i) {
        if (m_write_state[i].load(std::memory_order_acquire) != 0) m_buffer[i].~Item();
    }
}

void Buffer::reset() {
    destroyWritten();
    for (auto& state : m_write_state) state.store(0, std::memory_order_relaxed);
}

bool Buffer::push(TakNanoLogLine&& logline, uint32_t write_index) {
    new (&m_buffer[write_index]) Item(std::move(logline));
    // Count first, publish last: the reader may finish (and recycle or free) the block as soon
    // as it sees the last slot, so nothing of the block may be touched after that store.
    bool const full = m_write_state[size].fetch_add(1, std::memory_order_acq_rel) + 1 == size;
    m_write_state[write_index].store(1, std::memory_order_release);
    return full;
}

bool Buffer::try_pop(TakNanoLogLine& logline, uint32_t read_index) {
    if (m_write_state[read_index].load(std::memory_order_acquire) == 0) return false;
    logline = std::move(m_buffer[read_index].logline);
    return true;
}

}  // namespace TakNanolog
