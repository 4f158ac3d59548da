// Heap check, large blocks and system error texts on POSIX systems.
#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "platform/PLATFORM.h"

namespace platform {

// glibc offers no heap consistency check that only reads the heap; a heap
// that the program is still running on counts as consistent.
heap_state check_heap() {
    return heap_state::ok;
}

void advise_large_block(void* block, size_t size) {
#if defined(__linux__)
    // First touches of fresh memory cost a page fault per 4 KiB, and on a
    // virtual machine each one can cost microseconds: a 64 MiB picture then
    // spends more time faulting than converting. Large pages (where the
    // block spans them) and populating the range in one call, before the
    // caller fills it anyway, take that to a few milliseconds. Both are
    // hints: kernels without them refuse with EINVAL, and nothing changes.
    constexpr int populate_write = 23;  // MADV_POPULATE_WRITE, Linux 5.14
    constexpr size_t large_page = 2u << 20;
    constexpr size_t worth_a_call = 64u << 10;
    constexpr uintptr_t page = 4096;
    if (block == nullptr || size < worth_a_call)
        return;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(page - 1);
    if (end <= start)
        return;
    void* const range = reinterpret_cast<void*>(start);
    if (size >= large_page)
        madvise(range, end - start, MADV_HUGEPAGE);
    madvise(range, end - start, populate_write);
#else
    (void)block;
    (void)size;
#endif
}

const char* system_error_text(int number) {
    if (number <= 0)
        return nullptr;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    // Null for numbers outside the library's table, unlike strerror().
    return strerrordesc_np(number);
#else
    const char* text = std::strerror(number);
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0)
        return nullptr;
    return text;
#endif
}

}  // namespace platform
