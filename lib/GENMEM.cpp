// GENMEM: allocation that never returns empty-handed, the heap status word
// and the memory figures.
#include "lib/GENMEM.h"

#include <cstring>

#include "lib/GENERR.h"
#include "lib/GENUTIL.h"
#include "platform/PLATFORM.h"

namespace {

bool genmem_registered = false;

// Null means the C library's malloc.
allocator_fn test_allocator = nullptr;

void* allocate(size_t size) {
    // A block of no bytes must still be a distinct, releasable pointer;
    // malloc(0) may give null, which would read as a failure.
    if (size == 0)
        size = 1;
    return test_allocator != nullptr ? test_allocator(size) : std::malloc(size);
}

}  // namespace

char* create_ptr(const char* text) {
    if (text == nullptr)
        return nullptr;
    const size_t length = std::strlen(text);
    // The figure in the report is a 32-bit count like every other size here.
    const auto reported = static_cast<unsigned>(length + 1);
    auto* block = static_cast<char*>(allocate(length + 1));
    if (block == nullptr) {
        err_table.fatal_error(4, "GENMEM - create_ptr(): *temp_ptr (%u)", reported);
    }
    std::memcpy(block, text, length + 1);
    return block;
}

void* create_ptr(uint32_t size) {
    void* block = allocate(size);
    if (block == nullptr) {
        err_table.critical_error("Could not allocate memory for pointer!",
                                 "GENMEM - create_ptr(): *temp_ptr (%u)",
                                 static_cast<unsigned>(size));
    }
    platform::advise_large_block(block, size);
    std::memset(block, 0, size);
    return block;
}

const char* get_heap_status() {
    switch (platform::check_heap()) {
        case platform::heap_state::empty:
            return "Empty";
        case platform::heap_state::ok:
            return "OK";
        case platform::heap_state::bad_begin:
            return "Bad (invalid start)";
        case platform::heap_state::bad_node:
            return "Bad (invalid node)";
        case platform::heap_state::bad_pointer:
            return "Corrupt (bad pointer)";
        case platform::heap_state::end:
        case platform::heap_state::other:
            break;
    }
    return "Undefined";
}

uint32_t get_used_mem() {
    return 0;
}
uint32_t get_free_mem() {
    return 0;
}
uint32_t get_total_mem() {
    return 0;
}

void set_allocator_for_testing(allocator_fn allocator) {
    test_allocator = allocator;
}

void genmem_register() {
    if (genmem_registered)
        return;
    genmem_registered =
        program_registry.add_program("GENMEM", "0.2a", ostrel_author_credit, "28 November 1998");
}
