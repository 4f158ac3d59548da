// PNG files built in code for the tests, byte by byte, so that every field,
// chunk and CRC can be what a test needs (also wrong). The pixel data goes
// into stored (uncompressed) deflate blocks: no compressor is needed, and
// the bytes of the file are exactly predictable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace png_fixture {

using bytes = std::vector<uint8_t>;

// PNG colour types.
constexpr int grey = 0, rgb = 2, indexed = 3, grey_alpha = 4, rgba = 6;

int channels(int colour_type);

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

struct chunk {
    std::string type;  // four letters, written as they stand
    bytes data;
    bool bad_crc = false;  // store the CRC with one bit flipped
};

// The signature and the chunks, each with its length and CRC.
bytes file(const std::vector<chunk>& chunks);

// The 13 bytes of an IHDR chunk.
bytes ihdr(uint32_t width, uint32_t height, int bit_depth, int colour_type,
           bool interlaced = false);

// A zlib stream of stored blocks holding `raw`.
bytes zlib_stored(const bytes& raw);

// The filtered rows (filter type 0 each) of a picture: `samples` holds
// width x height x channels(colour_type) values, row by row; with
// `interlaced` the seven Adam7 passes, each a picture of its own. Missing
// samples are 0, extra ones ignored.
bytes scanlines(uint32_t width, uint32_t height, int bit_depth, int colour_type, bool interlaced,
                const std::vector<uint16_t>& samples);

// A whole picture: IHDR, the `before_data` chunks (PLTE, tRNS, ...), one
// IDAT, the `after_data` chunks, IEND.
struct picture {
    uint32_t width = 1, height = 1;
    int bit_depth = 8;
    int colour_type = grey;
    bool interlaced = false;
    std::vector<uint16_t> samples;
    std::vector<chunk> before_data;
    std::vector<chunk> after_data;
};
std::vector<chunk> chunks_of(const picture& p);
bytes encode(const picture& p);

// PLTE of `entries` colours (entry i: 3 i + 1, 5 i + 2, 7 i + 3, wrapping),
// and a tRNS of the given bytes.
chunk plte(int entries);
chunk trns(const bytes& values);

// The chunk types of a PNG file in order, or empty when its framing is
// broken (no signature, a length beyond the file).
std::vector<std::string> chunk_types(const bytes& png);
// The data of the first chunk of that type; empty when there is none.
bytes chunk_data(const bytes& png, const std::string& type);

}  // namespace png_fixture
