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
#if defined(MADV_HUGEPAGE)
    // Only blocks that span whole large pages gain; the advice must cover
    // whole pages of the block's own mapping, so the range is rounded inwards.
    constexpr size_t large_page = 2u << 20;
    constexpr uintptr_t page = 4096;
    if (block == nullptr || size < 2 * large_page)
        return;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(page - 1);
    if (end > start)
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
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
