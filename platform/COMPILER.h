// Compiler differences that headers need. Kept beside the platform layer so
// the rest of the code stays free of conditional compilation.
#pragma once

#if defined(__MINGW32__)
// MinGW's stdio is set to the C99 printf family (see CMakeLists.txt), so the
// checks are those of gnu_printf.
#define OSTREL_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#elif defined(__GNUC__) || defined(__clang__)
#define OSTREL_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define OSTREL_PRINTF(fmt_index, first_arg)
#endif

// The number of trailing zero bits of a non-zero 64-bit value (one
// instruction where the compiler offers it).
#include <cstdint>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
inline int count_trailing_zeros(uint64_t value) {
    unsigned long index;
    _BitScanForward64(&index, value);
    return static_cast<int>(index);
}
#elif defined(__GNUC__) || defined(__clang__)
inline int count_trailing_zeros(uint64_t value) {
    return __builtin_ctzll(value);
}
#else
inline int count_trailing_zeros(uint64_t value) {
    int count = 0;
    for (; (value & 1) == 0; value >>= 1)
        ++count;
    return count;
}
#endif
