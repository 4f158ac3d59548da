// The processor's part of the run-length code: what the fast encoder and
// decoder of PCXRLE.cpp learn about 64 bytes at once.
//
// Three builds of the same operations: `portable`, with 64-bit words and
// plain loops, for every processor; `sse2`, with the SSE2 instructions that
// every x86-64 processor has (no run-time check needed); and `avx2`, with
// the 32-byte AVX2 instructions, for the processors that report them at run
// time (GCC and Clang only: the functions carry their own target). The
// codec calls them through three names:
// - `baseline`: sse2 where the build has SSE2, else portable;
// - `wide`: avx2 where the build can have it, else baseline; used only
//   where wide_available() says the processor runs it. Code that uses it is
//   built through OSTREL_PCX_WIDE_CODE, which gives it the AVX2 target and
//   takes every function it calls into it;
// - `portable`.
// Every build there is gets compiled, and the tests hold each to the plain
// rules. This header is the only place in the codec that asks which
// processor or compiler it is built for.
//
// A mask has bit i for byte p[i]: the lowest bit is the first byte. The
// loops over a block's four 16-byte parts are written out by the compiler
// (GCC and Clang read the unroll pragma), so every shift is a constant.
#pragma once

#include <cstdint>
#include <cstring>

#include "pcx/PCXRLE.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define OSTREL_PCX_SSE2 1
#else
#define OSTREL_PCX_SSE2 0
#endif

#if OSTREL_PCX_SSE2 && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define OSTREL_PCX_AVX2 1
#define OSTREL_PCX_AVX2_CODE __attribute__((target("avx2")))
#define OSTREL_PCX_WIDE_CODE __attribute__((target("avx2"), flatten))
#else
#define OSTREL_PCX_AVX2 0
#define OSTREL_PCX_WIDE_CODE
#endif

namespace pcx_simd {

// Bytes of one mask.
constexpr int block = 64;
// Bytes one copy or fill stores.
constexpr int chunk = 16;

using pcx_rle::run_flag;

// What the encoder writes for one block of pixels, pixel by pixel: where a
// unit ends, its two bytes (the count byte or the pixel itself, then the
// pixel) and how far the output moves (2 for a counted unit, 1 for a lone
// pixel below 0xC0); elsewhere a step of 0. The caller stores each pair and
// moves by its step, so that the next pair overwrites what a step left out.
// `sums` are the steps of each 16 pixels: the four parts can be stored
// without waiting for one another.
constexpr int parts = block / chunk;

struct encode_steps {
    uint8_t pairs[2 * block];
    uint8_t steps[block];
    uint32_t sums[parts];
};

// What the decoder writes for one block of input, byte by byte: the value
// of the byte's unit and the pixels it adds (1 for a literal, the count for
// a run byte, 0 for a run's value byte). The caller stores each value as
// one 8-byte word, so this way serves only runs of up to 8.
constexpr uint32_t word_run = 8;

struct decode_steps {
    uint8_t values[block];
    uint8_t steps[block];
    uint32_t sums[parts];
};

// --- Plain 64-bit words ----------------------------------------------------------

struct portable {
    static constexpr uint64_t low_bits = 0x0101010101010101ull;   // bit 0 of every byte
    static constexpr uint64_t high_bits = 0x8080808080808080ull;  // bit 7 of every byte

    // True where the first byte of a word in memory is its lowest; compilers
    // fold the test to a constant.
    static bool little_endian() {
        const uint16_t probe = 1;
        uint8_t first;
        std::memcpy(&first, &probe, 1);
        return first == 1;
    }

    static uint64_t byte_swap(uint64_t v) {
        v = (v & 0x00FF00FF00FF00FFull) << 8 | (v >> 8 & 0x00FF00FF00FF00FFull);
        v = (v & 0x0000FFFF0000FFFFull) << 16 | (v >> 16 & 0x0000FFFF0000FFFFull);
        return v << 32 | v >> 32;
    }

    // One load (and, on a big-endian machine, a swap): byte i of the memory
    // is bits 8i to 8i+7.
    static uint64_t load_le64(const uint8_t* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return little_endian() ? v : byte_swap(v);
    }

    // Bit 7 set in exactly the bytes that are 0. Adding 0x7F to the low
    // seven bits sets bit 7 unless they are all 0, and cannot carry into the
    // next byte.
    static uint64_t zero_bytes(uint64_t v) {
        return ~(((v & ~high_bits) + ~high_bits) | v | ~high_bits);
    }

    // The bit 7s of a word's eight bytes as bits 0 to 7: the multiplier
    // moves the bit of byte j to bit 56 + j, and no two products meet there.
    static uint64_t byte_bits(uint64_t mask) { return ((mask >> 7) * 0x0102040810204080ull) >> 56; }

    // Bit i: p[i] == p[i + 1]. Reads p[0] to p[64].
    static uint64_t equal_to_next(const uint8_t* p) {
        uint64_t mask = 0;
        for (int i = 0; i < block; i += 8)
            mask |= byte_bits(zero_bytes(load_le64(p + i) ^ load_le64(p + i + 1))) << i;
        return mask;
    }

    // Bit i: p[i] >= 0xC0 (its top two bits set). Reads p[0] to p[63].
    static uint64_t run_bytes(const uint8_t* p) {
        uint64_t mask = 0;
        for (int i = 0; i < block; i += 8) {
            const uint64_t v = load_le64(p + i);
            mask |= byte_bits(v & (v << 1) & high_bits) << i;
        }
        return mask;
    }

    static void copy(uint8_t* to, const uint8_t* from) { std::memcpy(to, from, chunk); }

    static void fill(uint8_t* to, uint8_t value) {
        const uint64_t repeated = low_bits * value;
        std::memcpy(to, &repeated, 8);
        std::memcpy(to + 8, &repeated, 8);
    }

    // The byte-by-byte ways of the codec (steps_of_pixels, steps_of_units)
    // cost more than they save without vector instructions, and there is no
    // byte shuffle for expand_units.
    static constexpr bool has_steps = false;
    static constexpr bool has_expand = false;
};

// --- SSE2 ------------------------------------------------------------------------

#if OSTREL_PCX_SSE2
struct sse2 {
    static __m128i load(const uint8_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }

    static void store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

    static uint64_t bits(__m128i v) {
        return static_cast<uint32_t>(_mm_movemask_epi8(v)) & 0xFFFFu;
    }

    static __m128i splat(uint8_t v) { return _mm_set1_epi8(static_cast<char>(v)); }

    // 0xFF in the bytes that are 0xC0 or above. A byte and itself doubled
    // both have bit 7 set exactly when its bits 7 and 6 are.
    static __m128i run_byte_lanes(__m128i v) {
        return _mm_cmplt_epi8(_mm_and_si128(v, _mm_add_epi8(v, v)), _mm_setzero_si128());
    }

    // 0xFF in byte j of lanes[j / 16] where bit j of the mask is set. Each
    // byte of the mask is copied over eight bytes (by unpacking it with
    // itself three times), and each of those keeps its own bit.
    static void lanes_of_mask(uint64_t mask, __m128i lanes[4]) {
        const __m128i m = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&mask));
        const __m128i twice = _mm_unpacklo_epi8(m, m);
        const __m128i low = _mm_unpacklo_epi16(twice, twice);
        const __m128i high = _mm_unpackhi_epi16(twice, twice);
        const __m128i bit =
            _mm_set_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
        lanes[0] = _mm_cmpeq_epi8(_mm_and_si128(_mm_unpacklo_epi32(low, low), bit), bit);
        lanes[1] = _mm_cmpeq_epi8(_mm_and_si128(_mm_unpackhi_epi32(low, low), bit), bit);
        lanes[2] = _mm_cmpeq_epi8(_mm_and_si128(_mm_unpacklo_epi32(high, high), bit), bit);
        lanes[3] = _mm_cmpeq_epi8(_mm_and_si128(_mm_unpackhi_epi32(high, high), bit), bit);
    }

    // The sum of the 16 bytes (two sums of eight from SAD against 0).
    static uint32_t sum_of_bytes(__m128i v) {
        const __m128i sums = _mm_sad_epu8(v, _mm_setzero_si128());
        return static_cast<uint32_t>(_mm_cvtsi128_si32(sums) +
                                     _mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }

    // Byte 15 of v in every byte.
    static __m128i spread_last(__m128i v) {
        v = _mm_unpackhi_epi8(v, v);
        v = _mm_shufflehi_epi16(v, 0xFF);
        return _mm_shuffle_epi32(v, 0xFF);
    }

    // Bit i: p[i] == p[i + 1]. Reads p[0] to p[64].
    static uint64_t equal_to_next(const uint8_t* p) {
        uint64_t mask = 0;
#pragma GCC unroll 4
        for (int i = 0; i < block; i += chunk)
            mask |= bits(_mm_cmpeq_epi8(load(p + i), load(p + i + 1))) << i;
        return mask;
    }

    // Bit i: p[i] >= 0xC0. Reads p[0] to p[63].
    static uint64_t run_bytes(const uint8_t* p) {
        uint64_t mask = 0;
#pragma GCC unroll 4
        for (int i = 0; i < block; i += chunk)
            mask |= bits(run_byte_lanes(load(p + i))) << i;
        return mask;
    }

    // As run_bytes, and in `longer` bit i where p[i] would, as a run byte,
    // count more than word_run (the larger of it and 0xC9 is itself).
    static uint64_t run_bytes(const uint8_t* p, uint64_t& longer) {
        const __m128i floor = splat(static_cast<uint8_t>(run_flag + word_run + 1));
        uint64_t mask = 0;
        longer = 0;
#pragma GCC unroll 4
        for (int i = 0; i < block; i += chunk) {
            const __m128i v = load(p + i);
            mask |= bits(run_byte_lanes(v)) << i;
            longer |= bits(_mm_cmpeq_epi8(_mm_max_epu8(v, floor), v)) << i;
        }
        return mask;
    }

    static void copy(uint8_t* to, const uint8_t* from) {
        store(to, load(from));
    }

    static void fill(uint8_t* to, uint8_t value) {
        store(to, splat(value));
    }

    static constexpr bool has_steps = true;
    static constexpr bool has_expand = false;  // no byte shuffle in SSE2
    // Blocks of at least this many units go pixel by pixel, fewer unit by
    // unit (measured: bench/, rle_encode on texture and photo).
    static constexpr uint32_t pixel_path_units = 24;

    // The steps of 64 pixels p[0] to p[63] that start with a unit, with
    // p[64] after them; runs in the block are shorter than 64. Returns where
    // the run that holds p[63] starts.
    //
    // A run's length so far is the distance
    // from its first pixel: each pixel that starts a run holds its position
    // + 1, and a running maximum over the block carries it to the run's
    // other pixels (within 16 bytes by shifts of 1, 2, 4 and 8, then from
    // each 16 bytes to the next).
    static uint32_t steps_of_pixels(const uint8_t* p, encode_steps& s) {
        const __m128i one = splat(1);
        const __m128i flag = splat(run_flag);
        __m128i equal_before = _mm_setzero_si128();  // of the previous 16 bytes
        __m128i first = _mm_setzero_si128();
#pragma GCC unroll 4
        for (int i = 0; i < block; i += chunk) {
            const __m128i v = load(p + i);
            const __m128i equal = _mm_cmpeq_epi8(v, load(p + i + 1));
            // p[j] == p[j - 1]: the equal mask one byte on; the block starts a unit.
            const __m128i inside =
                _mm_or_si128(_mm_slli_si128(equal, 1), _mm_srli_si128(equal_before, 15));
            equal_before = equal;
            const __m128i position =
                _mm_add_epi8(_mm_set_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1),
                             splat(static_cast<uint8_t>(i)));
            __m128i start = _mm_andnot_si128(inside, position);
            start = _mm_max_epu8(start, _mm_slli_si128(start, 1));
            start = _mm_max_epu8(start, _mm_slli_si128(start, 2));
            start = _mm_max_epu8(start, _mm_slli_si128(start, 4));
            start = _mm_max_epu8(start, _mm_slli_si128(start, 8));
            start = _mm_max_epu8(start, first);
            first = spread_last(start);
            const __m128i run = _mm_sub_epi8(_mm_add_epi8(position, one), start);
            const __m128i counted = _mm_or_si128(_mm_cmpgt_epi8(run, one), run_byte_lanes(v));
            const __m128i lead = _mm_or_si128(_mm_and_si128(counted, _mm_or_si128(run, flag)),
                                              _mm_andnot_si128(counted, v));
            const __m128i step = _mm_andnot_si128(equal, _mm_sub_epi8(one, counted));
            store(s.pairs + 2 * i, _mm_unpacklo_epi8(lead, v));
            store(s.pairs + 2 * i + chunk, _mm_unpackhi_epi8(lead, v));
            store(s.steps + i, step);
            s.sums[i / chunk] = sum_of_bytes(step);
        }
        return (static_cast<uint32_t>(_mm_cvtsi128_si32(first)) & 0xFFu) - 1;
    }

    // The steps of 64 input bytes that start with a unit, given their run
    // bytes, none longer than word_run; in[64] is the value of a run byte
    // in[63]. Returns the pixels they add. A value byte is the byte after a
    // run byte: the run lanes one byte on.
    static uint32_t steps_of_units(const uint8_t* in, uint64_t runs, decode_steps& s) {
        const __m128i one = splat(1);
        const __m128i flag = splat(run_flag);
        __m128i run_before = _mm_setzero_si128();  // of the previous 16 bytes
        __m128i run_lanes[4];
        lanes_of_mask(runs, run_lanes);
        uint32_t total = 0;
#pragma GCC unroll 4
        for (int i = 0; i < block; i += chunk) {
            const __m128i v = load(in + i);
            const __m128i run = run_lanes[i / chunk];
            const __m128i value =
                _mm_or_si128(_mm_slli_si128(run, 1), _mm_srli_si128(run_before, 15));
            run_before = run;
            const __m128i unit_value =
                _mm_or_si128(_mm_and_si128(run, load(in + i + 1)), _mm_andnot_si128(run, v));
            const __m128i step = _mm_or_si128(_mm_and_si128(run, _mm_sub_epi8(v, flag)),
                                              _mm_andnot_si128(_mm_or_si128(run, value), one));
            store(s.values + i, unit_value);
            store(s.steps + i, step);
            s.sums[i / chunk] = sum_of_bytes(step);
            total += s.sums[i / chunk];
        }
        return total;
    }
};
using baseline = sse2;
constexpr bool has_vector = true;
#else
using baseline = portable;
constexpr bool has_vector = false;
#endif

// --- AVX2 ------------------------------------------------------------------------

#if OSTREL_PCX_AVX2
struct avx2 {
    // The same choices as sse2 (measured: bench/, rle_encode).
    static constexpr bool has_steps = true;
    static constexpr bool has_expand = true;
    static constexpr uint32_t pixel_path_units = 24;

    OSTREL_PCX_AVX2_CODE static __m256i load(const uint8_t* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }

    OSTREL_PCX_AVX2_CODE static void store(uint8_t* p, __m256i v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }

    OSTREL_PCX_AVX2_CODE static uint64_t bits(__m256i v) {
        return static_cast<uint32_t>(_mm256_movemask_epi8(v));
    }

    OSTREL_PCX_AVX2_CODE static __m256i splat(uint8_t v) {
        return _mm256_set1_epi8(static_cast<char>(v));
    }

    // 0xFF in the bytes that are 0xC0 or above (see sse2).
    OSTREL_PCX_AVX2_CODE static __m256i run_byte_lanes(__m256i v) {
        return _mm256_cmpgt_epi8(_mm256_setzero_si256(),
                                 _mm256_and_si256(v, _mm256_add_epi8(v, v)));
    }

    // v one byte on, byte 0 from the last byte of `before`. (Byte shifts
    // stay within 16-byte lanes; the lane below is brought in first.)
    OSTREL_PCX_AVX2_CODE static __m256i one_on(__m256i v, __m256i before) {
        return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(before, v, 0x21), 15);
    }

    // Byte 31 of v in every byte.
    OSTREL_PCX_AVX2_CODE static __m256i spread_last(__m256i v) {
        const __m256i last = _mm256_shuffle_epi8(v, splat(15));
        return _mm256_permute2x128_si256(last, last, 0x11);
    }

    // The sums of bytes 0 to 15 and 16 to 31.
    OSTREL_PCX_AVX2_CODE static void sums_of_halves(__m256i v, uint32_t* sums) {
        __m256i eights = _mm256_sad_epu8(v, _mm256_setzero_si256());
        eights = _mm256_add_epi64(eights, _mm256_srli_si256(eights, 8));
        sums[0] = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(eights)));
        sums[1] = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(eights, 1)));
    }

    OSTREL_PCX_AVX2_CODE static uint64_t equal_to_next(const uint8_t* p) {
        return bits(_mm256_cmpeq_epi8(load(p), load(p + 1))) |
               bits(_mm256_cmpeq_epi8(load(p + 32), load(p + 33))) << 32;
    }

    OSTREL_PCX_AVX2_CODE static uint64_t run_bytes(const uint8_t* p) {
        return bits(run_byte_lanes(load(p))) | bits(run_byte_lanes(load(p + 32))) << 32;
    }

    OSTREL_PCX_AVX2_CODE static uint64_t run_bytes(const uint8_t* p, uint64_t& longer) {
        const __m256i floor = splat(static_cast<uint8_t>(run_flag + word_run + 1));
        const __m256i low = load(p);
        const __m256i high = load(p + 32);
        longer = bits(_mm256_cmpeq_epi8(_mm256_max_epu8(low, floor), low)) |
                 bits(_mm256_cmpeq_epi8(_mm256_max_epu8(high, floor), high)) << 32;
        return bits(run_byte_lanes(low)) | bits(run_byte_lanes(high)) << 32;
    }

    OSTREL_PCX_AVX2_CODE static void copy(uint8_t* to, const uint8_t* from) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
    }

    OSTREL_PCX_AVX2_CODE static void fill(uint8_t* to, uint8_t value) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_set1_epi8(static_cast<char>(value)));
    }

    // As sse2::steps_of_pixels, 32 bytes at a time; the running maximum
    // also goes from the lower 16-byte lane to the upper one.
    OSTREL_PCX_AVX2_CODE static uint32_t steps_of_pixels(const uint8_t* p, encode_steps& s) {
        const __m256i one = splat(1);
        const __m256i flag = splat(run_flag);
        const __m256i positions =
            _mm256_set_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15,
                            14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
        __m256i equal_before = _mm256_setzero_si256();
        __m256i first = _mm256_setzero_si256();
#pragma GCC unroll 2
        for (int i = 0; i < block; i += 32) {
            const __m256i v = load(p + i);
            const __m256i equal = _mm256_cmpeq_epi8(v, load(p + i + 1));
            const __m256i inside = one_on(equal, equal_before);
            equal_before = equal;
            const __m256i position = _mm256_add_epi8(positions, splat(static_cast<uint8_t>(i)));
            __m256i start = _mm256_andnot_si256(inside, position);
            start = _mm256_max_epu8(start, _mm256_slli_si256(start, 1));
            start = _mm256_max_epu8(start, _mm256_slli_si256(start, 2));
            start = _mm256_max_epu8(start, _mm256_slli_si256(start, 4));
            start = _mm256_max_epu8(start, _mm256_slli_si256(start, 8));
            // The lower lane's last into the upper lane, the previous 32
            // bytes' last into both.
            const __m256i lower_last = _mm256_shuffle_epi8(start, splat(15));
            start = _mm256_max_epu8(start, _mm256_permute2x128_si256(lower_last, lower_last, 0x08));
            start = _mm256_max_epu8(start, first);
            first = spread_last(start);
            const __m256i run = _mm256_sub_epi8(_mm256_add_epi8(position, one), start);
            const __m256i counted = _mm256_or_si256(_mm256_cmpgt_epi8(run, one), run_byte_lanes(v));
            const __m256i lead = _mm256_blendv_epi8(v, _mm256_or_si256(run, flag), counted);
            const __m256i step = _mm256_andnot_si256(equal, _mm256_sub_epi8(one, counted));
            const __m256i low = _mm256_unpacklo_epi8(lead, v);
            const __m256i high = _mm256_unpackhi_epi8(lead, v);
            store(s.pairs + 2 * i, _mm256_permute2x128_si256(low, high, 0x20));
            store(s.pairs + 2 * i + 32, _mm256_permute2x128_si256(low, high, 0x31));
            store(s.steps + i, step);
            sums_of_halves(step, s.sums + i / chunk);
        }
        return (static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(first))) & 0xFFu) -
               1;
    }

    // As sse2::steps_of_units, 32 bytes at a time. The run lanes come from
    // the mask by a byte shuffle: byte j takes the mask's byte j / 8 and
    // keeps its own bit.
    OSTREL_PCX_AVX2_CODE static uint32_t steps_of_units(const uint8_t* in, uint64_t runs,
                                                        decode_steps& s) {
        const __m256i one = splat(1);
        const __m256i flag = splat(run_flag);
        const __m256i which = _mm256_set_epi8(3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1,
                                              1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0);
        const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
        __m256i run_before = _mm256_setzero_si256();
        uint32_t total = 0;
#pragma GCC unroll 2
        for (int i = 0; i < block; i += 32) {
            const __m256i v = load(in + i);
            const __m256i mask =
                _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(runs >> i)));
            const __m256i run =
                _mm256_cmpeq_epi8(_mm256_and_si256(_mm256_shuffle_epi8(mask, which), bit), bit);
            const __m256i value = one_on(run, run_before);
            run_before = run;
            const __m256i unit_value = _mm256_blendv_epi8(v, load(in + i + 1), run);
            const __m256i step =
                _mm256_blendv_epi8(_mm256_andnot_si256(value, one), _mm256_sub_epi8(v, flag), run);
            store(s.values + i, unit_value);
            store(s.steps + i, step);
            sums_of_halves(step, s.sums + i / chunk);
            total += s.sums[i / chunk] + s.sums[i / chunk + 1];
        }
        return total;
    }

    // The pixels of 64 input bytes that start with a unit, given their run
    // bytes, written at `out`; in[64] is the value of a run byte in[63].
    // Each 16 input bytes (a lane) must add 32 pixels at most, none of its
    // runs more than 16 (so that its running sums fit a byte), and all of
    // them `room` - 16 at most, else nothing is written and the result is
    // null; it is the end of the pixels written, and up to 32 bytes past it
    // are overwritten.
    //
    // Output byte j of a lane comes from its entry i whose steps so far
    // (a running sum P) first pass j: i is the number of entries with
    // P <= j, found for 16 bytes at once by a binary search of four byte
    // shuffles; a shuffle of the lane's unit values then gives the pixels.
    OSTREL_PCX_AVX2_CODE static uint8_t* expand_units(const uint8_t* in, uint64_t runs,
                                                      uint8_t* out, ptrdiff_t room) {
        constexpr int lane_pixels = 32;
        constexpr int longest_run = 16;
        const __m256i one = splat(1);
        const __m256i flag = splat(run_flag);
        const __m256i which = _mm256_set_epi8(3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1,
                                              1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0);
        const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
        __m256i values[2];
        __m256i sums[2];  // steps so far, within each lane
        __m256i run_before = _mm256_setzero_si256();
        __m256i over = _mm256_setzero_si256();  // a run too long, in any byte
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h) {
            const __m256i v = load(in + 32 * h);
            const __m256i mask =
                _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(runs >> (32 * h))));
            const __m256i run =
                _mm256_cmpeq_epi8(_mm256_and_si256(_mm256_shuffle_epi8(mask, which), bit), bit);
            const __m256i value = one_on(run, run_before);
            run_before = run;
            values[h] = _mm256_blendv_epi8(v, load(in + 32 * h + 1), run);
            __m256i sum =
                _mm256_blendv_epi8(_mm256_andnot_si256(value, one), _mm256_sub_epi8(v, flag), run);
            over = _mm256_or_si256(over, _mm256_cmpgt_epi8(sum, splat(longest_run)));
            sum = _mm256_add_epi8(sum, _mm256_slli_si256(sum, 1));
            sum = _mm256_add_epi8(sum, _mm256_slli_si256(sum, 2));
            sum = _mm256_add_epi8(sum, _mm256_slli_si256(sum, 4));
            sum = _mm256_add_epi8(sum, _mm256_slli_si256(sum, 8));
            sums[h] = sum;
        }
        // A lane's total is its last running sum (at most 8 x 16 + 8, no
        // sign: the larger of it and 33 is itself where it is over 32).
        const __m256i most = splat(lane_pixels + 1);
        const __m256i full =
            _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_max_epu8(sums[0], most), sums[0]),
                            _mm256_cmpeq_epi8(_mm256_max_epu8(sums[1], most), sums[1]));
        if (_mm256_movemask_epi8(over) != 0 ||
            (static_cast<uint32_t>(_mm256_movemask_epi8(full)) & 0x80008000u) != 0)
            return nullptr;
        const uint32_t totals[4] = {static_cast<uint32_t>(_mm256_extract_epi8(sums[0], 15)),
                                    static_cast<uint32_t>(_mm256_extract_epi8(sums[0], 31)),
                                    static_cast<uint32_t>(_mm256_extract_epi8(sums[1], 15)),
                                    static_cast<uint32_t>(_mm256_extract_epi8(sums[1], 31))};
        if (static_cast<ptrdiff_t>(totals[0] + totals[1] + totals[2] + totals[3]) + chunk > room)
            return nullptr;
        const __m256i next = _mm256_set_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1,
                                             16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h) {
            __m256i pixels[2];
#pragma GCC unroll 2
            for (int part = 0; part < 2; ++part) {
                // j + 1 for the 16 output bytes of this part, in each lane.
                const __m256i after = _mm256_add_epi8(next, splat(static_cast<uint8_t>(16 * part)));
                __m256i entry = _mm256_setzero_si256();
#pragma GCC unroll 4
                for (int step = 8; step > 0; step /= 2) {
                    const __m256i probe = _mm256_shuffle_epi8(
                        sums[h], _mm256_add_epi8(entry, splat(static_cast<uint8_t>(step - 1))));
                    entry =
                        _mm256_add_epi8(entry, _mm256_and_si256(_mm256_cmpgt_epi8(after, probe),
                                                                splat(static_cast<uint8_t>(step))));
                }
                pixels[part] = _mm256_shuffle_epi8(values[h], entry);
            }
            // The lower lane first: the upper one overwrites what it spills.
            for (int lane = 0; lane < 2; ++lane) {
                for (int part = 0; part < 2; ++part) {
                    const __m128i half = lane == 0 ? _mm256_castsi256_si128(pixels[part])
                                                   : _mm256_extracti128_si256(pixels[part], 1);
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * part), half);
                }
                out += totals[2 * h + lane];
            }
        }
        return out;
    }
};
using wide = avx2;

// Whether the processor runs the AVX2 build: asked once, as the program
// starts, so that asking again is one load.
inline const bool wide_processor = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();

inline bool wide_available() {
    return wide_processor;
}
#else
using wide = baseline;

inline bool wide_available() {
    return false;
}
#endif

}  // namespace pcx_simd
