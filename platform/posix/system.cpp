// Heap check and system error texts on POSIX systems.
#include <cstring>

#include "platform/PLATFORM.h"

namespace platform {

// glibc offers no heap consistency check that only reads the heap; a heap
// that the program is still running on counts as consistent.
heap_state check_heap() {
    return heap_state::ok;
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
