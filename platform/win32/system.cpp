// Heap check and system error texts on Windows, from the C library.

// The standard C functions used here are the platform's own; the Microsoft
// compiler's advice to use its _s variants does not apply.
#define _CRT_SECURE_NO_WARNINGS
#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "platform/PLATFORM.h"
#include "platform/win32/WIN32DETAIL.h"

namespace platform {

namespace win32 {

heap_state heap_state_from(int heapchk_result) {
    switch (heapchk_result) {
        case _HEAPEMPTY:
            return heap_state::empty;
        case _HEAPOK:
            return heap_state::ok;
        case _HEAPBADBEGIN:
            return heap_state::bad_begin;
        case _HEAPBADNODE:
            return heap_state::bad_node;
        case _HEAPBADPTR:
            return heap_state::bad_pointer;
        case _HEAPEND:
            return heap_state::end;
        default:
            return heap_state::other;
    }
}

}  // namespace win32

heap_state check_heap() {
    return win32::heap_state_from(_heapchk());
}

// Windows gives large pages only to privileged processes: no hint to give.
void advise_large_block(void*, size_t) {}

// The C library's table of messages ends at _sys_nerr; strerror answers
// numbers beyond it with a general "Unknown error", which the report then
// shows as a bare number instead.
const char* system_error_text(int number) {
    if (number <= 0 || number >= _sys_nerr)
        return nullptr;
    return std::strerror(number);
}

}  // namespace platform
