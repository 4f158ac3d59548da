// GENMEM: allocation that never returns empty-handed, and the heap status
// words and memory figures that the log and the critical error report print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// Blocks from create_ptr are released with std::free; owned_ptr holds one.
struct create_ptr_deleter {
    void operator()(void* block) const noexcept { std::free(block); }
};
template <class T>
using owned_ptr = std::unique_ptr<T, create_ptr_deleter>;

// String form: a new copy of `text`, or nullptr for a null text (err_code is
// left alone). An allocation failure ends the run through fatal_error(4).
char* create_ptr(const char* text);

// Size form: `size` zero bytes (a distinct block also for 0). An allocation
// failure ends the run through critical_error.
void* create_ptr(uint32_t size);

// Typed helpers around the two forms, so owners never hold a raw block.
inline owned_ptr<char> copy_text(const char* text) { return owned_ptr<char>(create_ptr(text)); }
inline owned_ptr<uint8_t> create_bytes(uint32_t size) {
    return owned_ptr<uint8_t>(static_cast<uint8_t*>(create_ptr(size)));
}

// "OK", "Empty", "Bad (invalid start)", "Bad (invalid node)",
// "Corrupt (bad pointer)" or "Undefined"; a constant text.
const char* get_heap_status();

// The memory figures of the log and the report; 0 on every platform we run on.
uint32_t get_used_mem();
uint32_t get_free_mem();
uint32_t get_total_mem();

// Tests replace the allocator to see what a failed allocation does; nullptr
// restores the C library's.
using allocator_fn = void* (*)(size_t);
void set_allocator_for_testing(allocator_fn allocator);

// Start-up registration of the module (called by the library's start-up).
void genmem_register();
