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
