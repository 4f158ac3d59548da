// The run-length code of PCX pixel data on its own, for PCX_IMAGE and for
// the tests and benchmarks that hold the fast code to the plain rules.
//
// A byte below 0xC0 is one pixel of that value; a byte b of 0xC0 or above
// says that the next byte is repeated b - 0xC0 times (0 to 63).
//
// Each operation comes twice: a fast one that PCX_IMAGE uses, and the plain
// rules written one byte at a time. Both give the same bytes for every input.
// The fast code is built three times: with plain 64-bit words for every
// processor, with the vector instructions every processor of the build's
// kind has (SSE2 on x86-64), and with wider ones that only some have (AVX2,
// asked of the processor at run time). PCX_IMAGE uses the best one the
// processor runs, and the tests hold each to the plain rules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/GENMEM.h"

namespace pcx_rle {

// The largest run one unit can hold: the count lives in the low six bits.
constexpr uint32_t max_run = 63;
// A byte of this value or above is a count byte.
constexpr uint8_t run_flag = 0xC0;

// Which build of the fast code to run: `best` the widest this processor
// runs, `baseline` the one every processor of the build's kind runs (SSE2
// on x86-64; the portable one elsewhere), `portable` the one of 64-bit
// words.
enum class code_path { best, baseline, portable };

// Whether `baseline` uses vector instructions in this build.
bool has_vector_path();
// Whether `best` is the wide (AVX2) build on this processor.
bool has_wide_path();

// Encodes one line of `width` pixels (at least 1) as units that never leave
// the line: a lone byte below 0xC0 as itself, anything else as 0xC0 + count
// and the value, count 1 to 63. `out` must hold 2 * width bytes, the worst
// case. Returns the number of bytes written.
size_t encode_line(const uint8_t* line, uint32_t width, uint8_t* out);
size_t encode_line(const uint8_t* line, uint32_t width, uint8_t* out, code_path path);
size_t encode_line_reference(const uint8_t* line, uint32_t width, uint8_t* out);

// Decodes a stream of lines of `line_length` decoded bytes (at least
// `width`) into `height` lines of `width` pixels: the bytes of a line beyond
// the width are padding and dropped, however a writer grouped them into
// runs, and a run that goes on past a line end continues in the next line.
// Nothing is stored past width x height bytes. When the stream ends early,
// every pixel not yet decoded becomes 255.
//
// The decoder takes the stream in pieces of any size, as a file is read in
// blocks; a unit split between two pieces is joined.
class decoder {
public:
    decoder(uint8_t* pixels, uint32_t width, uint32_t height, uint32_t line_length,
            code_path path = code_path::best);
    decoder(const decoder&) = delete;
    decoder& operator=(const decoder&) = delete;

    // Takes the next piece of the stream; returns the bytes used, which is
    // all of them until the picture is complete.
    size_t feed(const uint8_t* data, size_t size);
    // Every pixel is decoded; the rest of the stream is not pixel data.
    bool complete() const { return row_ == height_; }
    // The stream has ended: pixels not decoded become 255.
    void finish();

private:
    void decode_span(const uint8_t*& in, const uint8_t* end);
    void put_run();
    void next_span();

    uint8_t* pixels_;
    uint32_t width_;
    uint32_t height_;
    uint32_t line_length_;
    code_path path_;
    // Lines with padding are decoded into `line_` and their pixels copied
    // out; without padding the whole picture is one span. The fast path may
    // store a few bytes past the span's end where `store_end_` allows.
    owned_ptr<uint8_t> line_;
    uint8_t* out_ = nullptr;
    uint8_t* span_end_ = nullptr;
    uint8_t* store_end_ = nullptr;
    uint32_t row_ = 0;       // lines complete
    uint32_t run_left_ = 0;  // bytes of a run that did not fit the span
    uint8_t run_value_ = 0;
    uint8_t run_byte_ = 0;  // a run byte whose value is in the next piece, or 0
};

void decode_reference(const uint8_t* data, size_t size, uint8_t* pixels, uint32_t width,
                      uint32_t height, uint32_t line_length);

}  // namespace pcx_rle
