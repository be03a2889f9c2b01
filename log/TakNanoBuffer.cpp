#include "log/TakNanoBuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

namespace TakNanolog {

namespace {

constexpr size_t kBytes = static_cast<size_t>(Buffer::size) * 256;
constexpr size_t kHugePage = 2 * 1024 * 1024;

// kBytes of zeroed memory on a 2 MiB boundary, marked for transparent huge pages where the
// system offers them on request: a block then takes 4 page faults (or TLB entries) instead of
// 2048, which matters most when producers outrun the spare blocks and write into a new one.
void* mapBlock() {
    size_t const length = kBytes + kHugePage;
    void* memory =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    uintptr_t const start = reinterpret_cast<uintptr_t>(memory);
    uintptr_t const aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned != start) munmap(memory, aligned - start);
    size_t const tail = start + length - (aligned + kBytes);
    if (tail != 0) munmap(reinterpret_cast<void*>(aligned + kBytes), tail);
    void* const block = reinterpret_cast<void*>(aligned);
    madvise(block, kBytes, MADV_HUGEPAGE);  // a hint; without huge pages the block works as well
    return block;
}

}  // namespace

Buffer::Buffer() {
    // Anonymous memory reads as zeros: every slot's state is 0 (empty).
    m_slots = static_cast<Slot*>(mapBlock());
}

Buffer::~Buffer() {
    // Records written and not read (a queue destroyed before it was drained) own heap buffers.
    for (uint32_t i = 0; !m_drained && i < size; ++i) {
        if (m_slots[i].state.load(std::memory_order_acquire) != 0) recordAt(i)->~TakNanoLogLine();
    }
    munmap(m_slots, kBytes);
}

TakNanoLogLine* Buffer::recordAt(uint32_t index) {
    return std::launder(reinterpret_cast<TakNanoLogLine*>(m_slots[index].record));
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

void Buffer::prefault() {
    static size_t const page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t const slotsPerPage = page >= sizeof(Slot) ? page / sizeof(Slot) : 1;
    for (size_t i = 0; i < size; i += slotsPerPage) {
        m_slots[i].state.fetch_or(0, std::memory_order_relaxed);
    }
}

}  // namespace TakNanolog
