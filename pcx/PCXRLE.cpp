// The run-length code of PCX pixel data (see PCXRLE.h): the fast encoder
// and decoder, and the plain rules they are held to.
#include "pcx/PCXRLE.h"

#include <algorithm>
#include <cstring>

#include "platform/COMPILER.h"

namespace {

// The largest run one unit can hold: the count lives in the low six bits.
constexpr uint32_t max_run = 63;
constexpr uint8_t run_flag = 0xC0;
// What a pixel the stream does not reach becomes.
constexpr uint8_t missing_pixel = 255;

// The fast encoder looks at a stretch of 32 pixels and the one after it
// (33 bytes), then at a run's first pixel and the 64 after it.
constexpr uint32_t stretch_pixels = 32;
constexpr uint32_t encode_window = stretch_pixels + 1 + 64;
// Caps on the trailing-zero counts: a stretch of at most 32 lone pixels,
// and a run of at most 1 + 62 = 63 pixels.
constexpr uint64_t stretch_cap = 1ull << stretch_pixels;
constexpr uint64_t run_cap = 1ull << (max_run - 1);
constexpr uint64_t all_32 = 0xFFFFFFFFull;  // every bit of a 32-byte mask

// The fast decoder copies 8 bytes past the next run byte and stores a run
// in words up to 64 bytes, so it needs 8 + 64 bytes of room in the span; it
// loads two words of input (the run's value may be in the second).
constexpr size_t word_bytes = 8;
constexpr size_t long_run_bytes = 64;
constexpr size_t decode_room = word_bytes + long_run_bytes;
constexpr size_t decode_lookahead = 2 * word_bytes;
// A run longer than two words is stored with all eight.
constexpr uint32_t short_run = 2 * word_bytes;
// A mask marks a byte by its bit 7; the byte's value starts 7 bits lower,
// and the word's last byte at bit 8 * 7.
constexpr unsigned mask_bit = 7;
constexpr unsigned last_byte_shift = 8 * (word_bytes - 1);

// --- Many bytes at a time ------------------------------------------------------
//
// The fast code looks at eight pixels in one 64-bit word, and at 32 in four
// words. Byte i of the memory is bits 8i to 8i+7 of a word on every
// platform, so the first byte of a mask is its lowest.

constexpr uint64_t low_bits = 0x0101010101010101ull;   // bit 0 of every byte
constexpr uint64_t high_bits = 0x8080808080808080ull;  // bit 7 of every byte

// True where the first byte of a word in memory is its lowest; compilers
// fold the test to a constant.
bool little_endian() {
    const uint16_t probe = 1;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

uint64_t byte_swap(uint64_t v) {
    v = (v & 0x00FF00FF00FF00FFull) << 8 | (v >> 8 & 0x00FF00FF00FF00FFull);
    v = (v & 0x0000FFFF0000FFFFull) << 16 | (v >> 16 & 0x0000FFFF0000FFFFull);
    return v << 32 | v >> 32;
}

// One load (and, on a big-endian machine, a swap).
inline uint64_t load_le64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return little_endian() ? v : byte_swap(v);
}

// Bit 7 set in exactly the bytes that are 0. Adding 0x7F to the low seven
// bits sets bit 7 unless they are all 0, and cannot carry into the next byte.
uint64_t zero_bytes(uint64_t v) {
    return ~(((v & ~high_bits) + ~high_bits) | v | ~high_bits);
}

// Bit 7 set in exactly the bytes that are 0xC0 or above (top two bits set):
// the bytes that a lone pixel cannot be written as.
uint64_t run_bytes(uint64_t v) {
    return v & (v << 1) & high_bits;
}

// The bit 7s of a mask's eight bytes as bits 0 to 7: the multiplier moves
// the bit of byte j to bit 56 + j, and no two products meet there.
uint64_t byte_bits(uint64_t mask) {
    return ((mask >> 7) * 0x0102040810204080ull) >> 56;
}

// 32-bit masks of the 32 bytes from p: bit i for byte p[i].
uint64_t equal_to_next32(const uint8_t* p) {  // reads p[0] to p[32]
    uint64_t mask = 0;
    for (int i = 0; i < 4; ++i)
        mask |= byte_bits(zero_bytes(load_le64(p + 8 * i) ^ load_le64(p + 8 * i + 1))) << (8 * i);
    return mask;
}

uint64_t run_bytes32(const uint8_t* p) {
    uint64_t mask = 0;
    for (int i = 0; i < 4; ++i)
        mask |= byte_bits(run_bytes(load_le64(p + 8 * i))) << (8 * i);
    return mask;
}

uint64_t equal_to_value32(const uint8_t* p, uint8_t value) {
    const uint64_t repeated = low_bits * value;
    uint64_t mask = 0;
    for (int i = 0; i < 4; ++i)
        mask |= byte_bits(zero_bytes(load_le64(p + 8 * i) ^ repeated)) << (8 * i);
    return mask;
}

// Lone pixels, each as itself or, from 0xC0 up, as 0xC1 and itself. Without
// a branch per byte: both bytes are stored and the output moves by one or two.
uint8_t* put_lone_pixels(const uint8_t* pixels, size_t count, uint8_t* out) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t value = pixels[i];
        const bool escaped = value >= run_flag;
        out[0] = escaped ? static_cast<uint8_t>(run_flag | 1) : value;
        out[1] = value;
        out += 1 + escaped;
    }
    return out;
}

}  // namespace

namespace pcx_rle {

// Fast path, 32 pixels at a time while 97 (encode_window) are left in the line. A pixel
// that differs from its right neighbour is a lone pixel; a stretch of them
// up to the next pair of equal neighbours is found with one mask and written
// in bulk (escaped where a pixel is 0xC0 or above). At the pair a run starts,
// whose length another mask gives: one unit. Then the same again. The last
// pixels of the line go by the plain rules.
size_t encode_line(const uint8_t* line, uint32_t width, uint8_t* out) {
    uint8_t* o = out;
    uint32_t x = 0;
    while (x + encode_window <= width) {
        // Reads line[x] to line[x + 32]. Every pixel so far gave at most two
        // bytes, so o + 32 <= out + 2x + 32 stays inside the 2 * width bytes.
        const uint64_t pairs = equal_to_next32(line + x);
        const uint32_t lone = static_cast<uint32_t>(count_trailing_zeros(pairs | stretch_cap));
        if ((run_bytes32(line + x) & ((1ull << lone) - 1)) == 0) {
            std::memcpy(o, line + x, stretch_pixels);
            o += lone;
        } else {
            o = put_lone_pixels(line + x, lone, o);
        }
        x += lone;

        // A run at line[x] (or, after 32 lone pixels, maybe just one more
        // lone pixel), measured over the next 32 pixels and, when they are
        // all equal, 32 more: reads up to line[x + 64], within the 97.
        const uint8_t value = line[x];
        uint64_t same = equal_to_value32(line + x + 1, value);
        if (same == all_32)
            same |= equal_to_value32(line + x + 1 + stretch_pixels, value) << stretch_pixels;
        const uint32_t limit = std::min<uint32_t>(max_run, width - x);
        const uint32_t run =
            std::min(limit, 1 + static_cast<uint32_t>(count_trailing_zeros(~same | run_cap)));
        const bool counted = run > 1 || value >= run_flag;
        o[0] = counted ? static_cast<uint8_t>(run_flag | run) : value;
        o[1] = value;
        o += 1 + counted;
        x += run;
    }
    return static_cast<size_t>(o - out) + encode_line_reference(line + x, width - x, o);
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

decoder::decoder(uint8_t* pixels, uint32_t width, uint32_t height, uint32_t line_length)
    : pixels_(pixels), width_(width), height_(height), line_length_(std::max(line_length, width)) {
    if (width_ == 0 || height_ == 0 || pixels_ == nullptr) {
        row_ = height_;  // nothing to decode
        return;
    }
    if (line_length_ == width_) {
        // No padding: the lines follow one another in the stream exactly as
        // in the picture, so the picture is one span.
        out_ = pixels_;
        span_end_ = pixels_ + static_cast<size_t>(width_) * height_;
    } else {
        line_ = create_bytes(line_length_);
        out_ = line_.get();
        span_end_ = out_ + line_length_;
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

// Fast path: the bytes below 0xC0 are pixels as they stand, so eight of
// them are copied at once, up to the next run byte; its count and value are
// taken from the words already loaded, and the run is stored with two word
// stores, or eight for a run longer than 16. This runs while the span has
// room for 72 bytes (8 copied, 64 stored) and 16 bytes of input are left;
// the bytes stored past the run are overwritten later. Near the end of the
// span or the input, one unit at a time; stops where a run or a unit does
// not fit.
void decoder::decode_span(const uint8_t*& in_ref, const uint8_t* end) {
    const uint8_t* in = in_ref;
    uint8_t* out = out_;
    uint8_t* const stop = span_end_;
    while (static_cast<size_t>(stop - out) >= decode_room &&
           static_cast<size_t>(end - in) >= decode_lookahead) {
        const uint64_t word = load_le64(in);
        const uint64_t next = load_le64(in + word_bytes);
        const uint64_t runs = run_bytes(word);
        std::memcpy(out, in, word_bytes);
        if (runs == 0) {
            in += word_bytes;
            out += word_bytes;
            continue;
        }
        // The run byte is byte `plain` of the word, its value the byte after.
        const unsigned shift = static_cast<unsigned>(count_trailing_zeros(runs)) - mask_bit;
        const size_t plain = shift / 8;
        const uint32_t count = static_cast<uint32_t>((word >> shift) & 0xFF) - run_flag;
        const uint64_t value = (shift == last_byte_shift ? next : word >> (shift + 8)) & 0xFF;
        const uint64_t repeated = low_bits * value;
        in += plain + 2;
        out += plain;
        for (size_t i = 0; i < short_run; i += word_bytes)
            std::memcpy(out + i, &repeated, word_bytes);
        if (count > short_run) {
            for (size_t i = short_run; i < long_run_bytes; i += word_bytes)
                std::memcpy(out + i, &repeated, word_bytes);
        }
        out += count;
    }
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
