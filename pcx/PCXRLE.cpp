// The run-length code of PCX pixel data (see PCXRLE.h): the fast encoder
// and decoder, and the plain rules they are held to.
//
// The fast code works on blocks of 64 bytes that start with a unit, seen
// through bit masks (PCXSIMD.h), and picks for each block the way that its
// masks say is cheapest:
// - the encoder takes the mask of pixels equal to their right neighbour;
//   each pixel unlike the next ends a unit. 64 equal pixels are one full
//   unit, 64 lone pixels below 0xC0 are copied as they stand; a block of
//   many short units goes pixel by pixel without a branch (the vector build
//   works out each pixel's pair of output bytes and step at once), other
//   blocks unit by unit.
// - the decoder takes the mask of bytes of 0xC0 or above and from it the
//   run bytes (in a row of such bytes every other one is the value of the
//   one before). A block whose runs are all of 8 pixels or fewer goes
//   without a branch per unit: 16 pixels per byte shuffle in the wide
//   build, one stored word per input byte in the others; other blocks go
//   run by run, the literals between two runs copied 16 bytes at a time.
// Lines narrower than 48 pixels, the last few pixels of a line, and the end
// of a span or of the input go by the plain one-at-a-time code.
#include "pcx/PCXRLE.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "pcx/PCXSIMD.h"
#include "platform/COMPILER.h"

namespace {

using pcx_rle::max_run;
using pcx_rle::run_flag;
// What a pixel the stream does not reach becomes.
constexpr uint8_t missing_pixel = 255;

constexpr uint32_t block = pcx_simd::block;
constexpr uint32_t chunk = pcx_simd::chunk;
constexpr uint64_t all_bits = ~0ull;
// The byte-by-byte loops take 16 bytes per turn, written out, so that the
// loop's own counting does not cost as much as the work. Each turn starts
// where the steps before it end (their sums are known), so the four turns
// of a block are four chains of additions that the processor runs side by
// side, not one.
template <class F, uint32_t... I>
uint8_t* each_of(const F& step, uint8_t* at, uint32_t first,
                 std::integer_sequence<uint32_t, I...>) {
    ((at = step(at, first + I)), ...);
    return at;
}

// at = step(at, i) for i = first to first + 15, in order.
template <class F>
uint8_t* unrolled(const F& step, uint8_t* at, uint32_t first) {
    return each_of(step, at, first, std::make_integer_sequence<uint32_t, chunk>());
}

// --- Encoder -----------------------------------------------------------------------

// A block's masks also compare its last pixel with the one after it.
constexpr uint32_t encode_reach = block + 1;
// Bits 0 to 62 of the equal-neighbour mask: 64 equal pixels, one more than
// a unit holds.
constexpr uint64_t longer_than_a_unit = (1ull << max_run) - 1;
// Narrower lines, and the last few pixels of a line, go by the plain rules:
// setting up a block costs more than they take one pixel at a time
// (measured: bench/, rle_encode_width).
constexpr uint32_t narrow_line = 48;
constexpr uint32_t min_block_tail = 8;
constexpr uint32_t half_block = block / 2;
static_assert(narrow_line >= half_block, "a line end of the fast path is two half blocks at most");

uint32_t bit_count(uint64_t v) {
    v -= (v >> 1) & 0x5555555555555555ull;
    v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<uint32_t>((v * 0x0101010101010101ull) >> 56);  // the bytes' sum
}

// The units of a block of n pixels (all 64, or the line's last n, when the
// caller made p[n] differ from p[n - 1]) written pixel by pixel from their
// steps: no branch however short the runs. Returns the pixels covered.
template <class Ops>
uint32_t encode_by_pixels(const uint8_t* p, uint32_t n, uint64_t ends, uint8_t*& o) {
    pcx_simd::encode_steps steps;
    const uint32_t last_start = Ops::steps_of_pixels(p, steps);
    const auto put = [&steps](uint8_t* at, uint32_t i) {
        std::memcpy(at, steps.pairs + 2 * i, 2);
        return at + steps.steps[i];
    };
    uint8_t* out = o;
    if (n == block) {
        for (uint32_t first = 0; first < block; first += chunk) {
            unrolled(put, out, first);
            out += steps.sums[first / chunk];
        }
    } else {
        for (uint32_t i = 0; i < n; ++i)
            out = put(out, i);
    }
    o = out;
    // A run that goes on past a whole block is left for the next block.
    return n < block || (ends >> (block - 1)) != 0 ? n : last_start;
}

// The units of a block one after another: each set bit of `ends` (a pixel
// unlike the next) ends one. The first `lone` pixels are lone and below
// 0xC0, and are copied as they stand (64 bytes at once where `room`
// allows). Returns the pixels covered.
template <class Ops>
uint32_t encode_by_units(const uint8_t* p, uint32_t lone, uint64_t ends, uint8_t*& o, bool room) {
    uint8_t* out = o;
    if (room) {
        for (uint32_t i = 0; i < block; i += chunk)
            Ops::copy(out + i, p + i);
    } else {
        std::memcpy(out, p, lone);
    }
    out += lone;
    ends &= all_bits << lone;
    int32_t last = static_cast<int32_t>(lone) - 1;  // where the previous unit ended
    while (ends != 0) {
        const int32_t end = count_trailing_zeros(ends);
        ends &= ends - 1;
        const uint32_t run = static_cast<uint32_t>(end - last);
        const uint8_t value = p[last + 1];
        const bool counted = run > 1 || value >= run_flag;
        out[0] = counted ? static_cast<uint8_t>(run_flag | run) : value;
        out[1] = value;
        out += 1 + counted;
        last = end;
    }
    o = out;
    // A run that goes on past the block is left for the next block.
    return static_cast<uint32_t>(last + 1);
}

// Writes the units that start in one block of `n` pixels (1 to 64) and
// returns the pixels they cover (at least 1). `p` is the first pixel of a
// unit and p[0] to p[64] may be read; where n < 64, or p[64] is not a pixel
// of the line, the caller made p[n] differ from p[n - 1]. `room` tells
// whether 64 bytes may be stored at `o`.
//
// The way is chosen by what the masks show: 64 equal pixels are one full
// unit; 64 lone pixels below 0xC0 are copied; a block of many units (short
// runs, many escapes) goes pixel by pixel; one of few units unit by unit.
template <class Ops>
uint32_t encode_block(const uint8_t* p, uint32_t n, uint8_t*& o, bool room) {
    const uint64_t valid = n == block ? all_bits : (1ull << n) - 1;
    const uint64_t equal = Ops::equal_to_next(p) & valid;
    if ((equal & longer_than_a_unit) == longer_than_a_unit) {
        o[0] = static_cast<uint8_t>(run_flag | max_run);
        o[1] = p[0];
        o += 2;
        return max_run;
    }
    // Pixels that are not lone ones below 0xC0 (and those past the line).
    const uint64_t special = equal | (Ops::run_bytes(p) & valid) | ~valid;
    if (special == 0) {
        for (uint32_t i = 0; i < block; i += chunk)
            Ops::copy(o + i, p + i);
        o += block;
        return block;
    }
    const uint64_t ends = ~equal & valid;
    if constexpr (Ops::has_steps) {
        if (bit_count(ends) >= Ops::pixel_path_units)
            return encode_by_pixels<Ops>(p, n, ends, o);
    }
    return encode_by_units<Ops>(p, static_cast<uint32_t>(count_trailing_zeros(special)), ends, o,
                                room);
}

template <class Ops>
size_t encode_fast(const uint8_t* line, uint32_t width, uint8_t* out) {
    // Every pixel so far gave at most two bytes, so o <= out + 2x, and a
    // block's 64-byte copy ends within out + 2 * width while x + 65 <= width.
    uint8_t* o = out;
    uint32_t x = 0;
    while (x + encode_reach <= width)
        x += encode_block<Ops>(line + x, block, o, true);

    // The line's end, 64 pixels at most: the line's last 64 pixels (or the
    // whole line) copied, followed by one that differs from the last, so
    // that the last unit ends there.
    // (Two overlapping copies of 32 serve a line of 48 to 63 pixels; what
    // the masks read past the one after is zero.)
    while (width - x >= min_block_tail) {
        const uint32_t left = width - x;
        uint8_t tail[2 * block + chunk];
        const uint32_t copied = std::min(width, block);
        if (width >= block) {
            std::memcpy(tail, line + width - block, block);
        } else {
            std::memcpy(tail, line, half_block);
            std::memcpy(tail + width - half_block, line + width - half_block, half_block);
        }
        tail[copied] = static_cast<uint8_t>(~tail[copied - 1]);
        std::memset(tail + copied + 1, 0, block);
        const bool room = out + 2 * static_cast<size_t>(width) - o >= static_cast<ptrdiff_t>(block);
        x += encode_block<Ops>(tail + copied - left, left, o, room);
    }
    return static_cast<size_t>(o - out) + pcx_rle::encode_line_reference(line + x, width - x, o);
}

// --- Decoder -----------------------------------------------------------------------

// A block's 64 bytes, the value after a run byte at its end and the 16 bytes
// a literal copy may read past the literals: the input a block needs.
constexpr size_t decode_reach = block + chunk;
// The copies and fills store whole chunks, up to 15 bytes past what they
// mean to (16 for none), and the byte-by-byte path a word of 8 past its
// last pixel; a line buffer has that much behind its end.
constexpr size_t store_slack = chunk;
constexpr uint32_t word_run = pcx_simd::word_run;

constexpr uint64_t even_bits = 0x5555555555555555ull;

// The run bytes among the bytes of 0xC0 or above (`high`) of a block that
// starts with a unit. In each row of such bytes the first is a run byte and
// the next its value, and so on; so a run byte sits at an even distance
// from the start of its row. Adding the row's first bit clears the row (the
// carry runs through it), which picks out the rows that start at an even
// position; the rest start at an odd one.
uint64_t run_bytes_of(uint64_t high) {
    const uint64_t row_starts = high & ~(high << 1);
    const uint64_t even_rows = high & ~(high + (row_starts & even_bits));
    return (even_rows & even_bits) | (high & ~even_rows & ~even_bits);
}

// Copies `count` bytes (0 to 64) a chunk at a time, so it stores up to 15
// bytes more (16 for none) and reads as many past the source.
template <class Ops>
void copy_chunks(uint8_t* to, const uint8_t* from, size_t count) {
    Ops::copy(to, from);
    for (size_t done = chunk; done < count; done += chunk)
        Ops::copy(to + done, from + done);
}

template <class Ops>
void fill_chunks(uint8_t* to, uint8_t value, size_t count) {
    Ops::fill(to, value);
    for (size_t done = chunk; done < count; done += chunk)
        Ops::fill(to + done, value);
}

// A block whose runs are all of 8 pixels or fewer, without a branch per
// unit. Where the processor has a byte shuffle, 16 pixels at once
// (Ops::expand_units, where each 16 input bytes add 32 pixels at most);
// else byte by byte: each input byte stores its unit's value as one 8-byte
// word and moves the output by the pixels it adds. False where the block
// adds more than `room` pixels; nothing is written then. (Blocks with
// longer runs are left to the run-by-run way at once: they seldom fit the
// shuffle's 32 pixels, and trying costs more than it saves.)
template <class Ops>
bool decode_short_units(const uint8_t*& in, uint64_t runs, uint8_t*& out, ptrdiff_t room) {
    // A run byte at the block's end takes its value from the next byte.
    const uint64_t used = block + (runs >> (block - 1));
    if constexpr (Ops::has_expand) {
        if (uint8_t* const end = Ops::expand_units(in, runs, out, room)) {
            out = end;
            in += used;
            return true;
        }
    }
    pcx_simd::decode_steps steps;
    const uint32_t total = Ops::steps_of_units(in, runs, steps);
    if (static_cast<ptrdiff_t>(total) > room)
        return false;
    const auto put = [&steps](uint8_t* at, uint32_t i) {
        const uint64_t word = pcx_simd::portable::low_bits * steps.values[i];
        std::memcpy(at, &word, word_run);
        return at + steps.steps[i];
    };
    for (uint32_t first = 0; first < block; first += chunk) {
        unrolled(put, out, first);
        out += steps.sums[first / chunk];
    }
    in += used;
    return true;
}

// A block run by run: the literals before each run are copied in chunks,
// the run filled in chunks. Stops before the first unit that would add more
// than `room` pixels; returns false there.
template <class Ops>
bool decode_by_runs(const uint8_t*& in_ref, uint64_t runs, uint8_t*& out_ref, ptrdiff_t room) {
    const uint8_t* in = in_ref;
    uint8_t* out = out_ref;
    uint32_t literal = 0;  // the first byte after the last unit decoded
    bool whole = true;
    while (runs != 0) {
        const uint32_t at = static_cast<uint32_t>(count_trailing_zeros(runs));
        const size_t literals = at - literal;
        const size_t count = static_cast<size_t>(in[at] - run_flag);
        room -= static_cast<ptrdiff_t>(literals + count);
        if (room < 0) {
            whole = false;
            break;
        }
        runs &= runs - 1;
        copy_chunks<Ops>(out, in + literal, literals);
        out += literals;
        fill_chunks<Ops>(out, in[at + 1], count);
        out += count;
        literal = at + 2;
    }
    if (whole && literal < block) {
        const size_t literals = block - literal;
        if (static_cast<ptrdiff_t>(literals) > room) {
            whole = false;
        } else {
            copy_chunks<Ops>(out, in + literal, literals);
            out += literals;
            literal = block;
        }
    }
    in_ref = in + literal;
    out_ref = out;
    return whole;
}

// Decodes whole blocks while the input holds one and every unit fits before
// `stop` with its chunks' spill before `store_end`. Leaves `in` and `out` at
// the first unit it did not decode; the caller goes on one unit at a time.
template <class Ops>
void decode_blocks(const uint8_t*& in, const uint8_t* end, uint8_t*& out, const uint8_t* stop,
                   const uint8_t* store_end) {
    // Pixels kept free before `stop`, so that no spill passes `store_end`.
    const ptrdiff_t reserve = std::max<ptrdiff_t>(0, chunk - (store_end - stop));
    while (static_cast<size_t>(end - in) >= decode_reach) {
        const ptrdiff_t room = stop - out - reserve;
        uint64_t runs;
        if constexpr (Ops::has_steps) {
            uint64_t longer;
            runs = run_bytes_of(Ops::run_bytes(in, longer));
            if ((longer & runs) == 0 && decode_short_units<Ops>(in, runs, out, room))
                continue;
        } else {
            runs = run_bytes_of(Ops::run_bytes(in));
        }
        if (!decode_by_runs<Ops>(in, runs, out, room))
            break;
    }
}

// The wide build's entry points: everything they call is built into them
// with the wide instructions (OSTREL_PCX_WIDE_CODE).
OSTREL_PCX_WIDE_CODE size_t encode_wide(const uint8_t* line, uint32_t width, uint8_t* out) {
    return encode_fast<pcx_simd::wide>(line, width, out);
}

OSTREL_PCX_WIDE_CODE void decode_wide(const uint8_t*& in, const uint8_t* end, uint8_t*& out,
                                      const uint8_t* stop, const uint8_t* store_end) {
    decode_blocks<pcx_simd::wide>(in, end, out, stop, store_end);
}

}  // namespace

namespace pcx_rle {

bool has_vector_path() {
    return pcx_simd::has_vector;
}

bool has_wide_path() {
    return pcx_simd::wide_available();
}

size_t encode_line(const uint8_t* line, uint32_t width, uint8_t* out) {
    return encode_line(line, width, out, code_path::best);
}

// A narrow line goes to the plain rules with a jump, before anything else is
// set up: it costs them one comparison more.
size_t encode_line(const uint8_t* line, uint32_t width, uint8_t* out, code_path path) {
    if (width < narrow_line)
        return encode_line_reference(line, width, out);
    if (path == code_path::best && pcx_simd::wide_available())
        return encode_wide(line, width, out);
    return path == code_path::portable ? encode_fast<pcx_simd::portable>(line, width, out)
                                       : encode_fast<pcx_simd::baseline>(line, width, out);
}

// The plain rules: at each position count the equal bytes that follow, up
// to 63 and not past the line's end; one byte below 0xC0 is itself,
// anything else a count byte and the value.
size_t encode_line_reference(const uint8_t* line, uint32_t width, uint8_t* out) {
    size_t used = 0;
    uint32_t x = 0;
    while (x < width) {
        const uint8_t value = line[x];
        uint32_t run = 1;
        while (x + run < width && run < max_run && line[x + run] == value)
            ++run;
        if (run > 1 || value >= run_flag)
            out[used++] = static_cast<uint8_t>(run_flag | run);
        out[used++] = value;
        x += run;
    }
    return used;
}

decoder::decoder(uint8_t* pixels, uint32_t width, uint32_t height, uint32_t line_length,
                 code_path path)
    : pixels_(pixels),
      width_(width),
      height_(height),
      line_length_(std::max(line_length, width)),
      path_(path) {
    if (width_ == 0 || height_ == 0 || pixels_ == nullptr) {
        row_ = height_;  // nothing to decode
        return;
    }
    if (line_length_ == width_) {
        // No padding: the lines follow one another in the stream exactly as
        // in the picture, so the picture is one span.
        out_ = pixels_;
        span_end_ = pixels_ + static_cast<size_t>(width_) * height_;
        store_end_ = span_end_;
    } else {
        line_ = create_bytes(line_length_ + static_cast<uint32_t>(store_slack));
        out_ = line_.get();
        span_end_ = out_ + line_length_;
        store_end_ = span_end_ + store_slack;
    }
}

size_t decoder::feed(const uint8_t* data, size_t size) {
    const uint8_t* in = data;
    const uint8_t* const end = data + size;
    while (!complete()) {
        if (out_ == span_end_) {
            next_span();
        } else if (run_left_ > 0) {
            put_run();
        } else if (in == end) {
            break;
        } else if (run_byte_ != 0) {
            run_left_ = static_cast<uint32_t>(run_byte_ - run_flag);
            run_value_ = *in++;
            run_byte_ = 0;
        } else {
            decode_span(in, end);
        }
    }
    return static_cast<size_t>(in - data);
}

void decoder::finish() {
    if (complete())
        return;
    size_t done = static_cast<size_t>(out_ - pixels_);
    if (line_) {
        // The part of the line decoded so far; its padding never counts.
        const uint32_t kept = std::min<uint32_t>(static_cast<uint32_t>(out_ - line_.get()), width_);
        done = static_cast<size_t>(row_) * width_ + kept;
        std::memcpy(pixels_ + static_cast<size_t>(row_) * width_, line_.get(), kept);
    }
    const size_t total = static_cast<size_t>(width_) * height_;
    std::memset(pixels_ + done, missing_pixel, total - done);
    row_ = height_;
}

// Whole blocks first; near the end of the span or of the input, one unit
// at a time. Stops where a run or a unit does not fit.
void decoder::decode_span(const uint8_t*& in_ref, const uint8_t* end) {
    const uint8_t* in = in_ref;
    uint8_t* out = out_;
    uint8_t* const stop = span_end_;
    if (path_ == code_path::portable)
        decode_blocks<pcx_simd::portable>(in, end, out, stop, store_end_);
    else if (path_ == code_path::best && pcx_simd::wide_available())
        decode_wide(in, end, out, stop, store_end_);
    else
        decode_blocks<pcx_simd::baseline>(in, end, out, stop, store_end_);
    while (out != stop && in != end) {
        if (*in < run_flag) {
            *out++ = *in++;
            continue;
        }
        if (end - in < 2) {
            run_byte_ = *in++;
            break;
        }
        const uint32_t count = static_cast<uint32_t>(in[0] - run_flag);
        const uint8_t value = in[1];
        in += 2;
        const uint32_t now = std::min(count, static_cast<uint32_t>(stop - out));
        std::memset(out, value, now);
        out += now;
        if (now < count) {
            run_left_ = count - now;
            run_value_ = value;
            break;
        }
    }
    in_ref = in;
    out_ = out;
}

// The rest of a run that did not fit the last span.
void decoder::put_run() {
    const uint32_t now = std::min(run_left_, static_cast<uint32_t>(span_end_ - out_));
    std::memset(out_, run_value_, now);
    out_ += now;
    run_left_ -= now;
}

void decoder::next_span() {
    if (!line_) {
        row_ = height_;
        return;
    }
    std::memcpy(pixels_ + static_cast<size_t>(row_) * width_, line_.get(), width_);
    ++row_;
    out_ = line_.get();
    span_end_ = out_ + line_length_;
    store_end_ = span_end_ + store_slack;
}

// The plain rules, one byte at a time: decoded lines of `line_length` bytes
// of which the first `width` are kept; 255 for whatever the data does not
// reach.
void decode_reference(const uint8_t* data, size_t size, uint8_t* pixels, uint32_t width,
                      uint32_t height, uint32_t line_length) {
    line_length = std::max(line_length, width);
    size_t pos = 0;
    uint32_t row = 0;
    uint32_t column = 0;  // position within the decoded line, padding included
    while (row < height) {
        if (pos == size)
            break;
        const uint8_t first = data[pos++];
        uint32_t count = 1;
        uint8_t value = first;
        if (first >= run_flag) {
            if (pos == size)
                break;
            count = static_cast<uint32_t>(first - run_flag);
            value = data[pos++];
        }
        for (; count > 0 && row < height; --count) {
            if (column < width)
                pixels[static_cast<size_t>(row) * width + column] = value;
            if (++column == line_length) {
                column = 0;
                ++row;
            }
        }
    }
    if (row < height) {
        const size_t done = static_cast<size_t>(row) * width + std::min(column, width);
        const size_t total = static_cast<size_t>(width) * height;
        std::memset(pixels + done, missing_pixel, total - done);
    }
}

}  // namespace pcx_rle
