#include "log/TakNanoBuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>

namespace TakNanolog {

namespace {

constexpr size_t kBytes = static_cast<size_t>(Buffer::size) * 256;

}  // namespace

Buffer::Buffer() {
    void* memory =
        mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    // Anonymous memory reads as zeros: every slot's state is 0 (empty).
    m_slots = static_cast<Slot*>(memory);
}

Buffer::~Buffer() {
    // Records written and not read (a queue destroyed before it was drained) own heap buffers.
    // Slots are claimed from index 0 up, and a block that was read to the end has been reset.
    uint32_t const claimed = std::min(m_claimed.load(std::memory_order_acquire), size);
    for (uint32_t i = 0; i < claimed; ++i) {
        if (m_slots[i].state.load(std::memory_order_acquire) != 0) recordAt(i)->~TakNanoLogLine();
    }
    munmap(m_slots, kBytes);
}

TakNanoLogLine* Buffer::recordAt(uint32_t index) {
    return std::launder(reinterpret_cast<TakNanoLogLine*>(m_slots[index].record));
}

bool Buffer::countClaim() { return m_claimed.fetch_add(1, std::memory_order_acq_rel) + 1 == size; }

void Buffer::push(TakNanoLogLine&& logline, uint32_t write_index) {
    Slot& slot = m_slots[write_index];
    new (slot.record) TakNanoLogLine(std::move(logline));
    slot.state.store(1, std::memory_order_release);
}

bool Buffer::try_pop(TakNanoLogLine& logline, uint32_t read_index) {
    Slot& slot = m_slots[read_index];
    if (slot.state.load(std::memory_order_acquire) == 0) return false;
    TakNanoLogLine* record = recordAt(read_index);
    logline = std::move(*record);
    record->~TakNanoLogLine();
    slot.state.store(0, std::memory_order_relaxed);
    return true;
}

void Buffer::reset() {
    // Every slot was emptied as it was read; only the count remains.
    m_claimed.store(0, std::memory_order_relaxed);
}

void Buffer::prefault() {
    static size_t const page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t const slotsPerPage = page >= sizeof(Slot) ? page / sizeof(Slot) : 1;
    for (size_t i = 0; i < size; i += slotsPerPage) {
        m_slots[i].state.fetch_or(0, std::memory_order_relaxed);
    }
}

}  // namespace TakNanolog
