// The run-length code on its own: every build of the fast code (the widest
// the processor runs, the baseline and the portable one) against the plain
// rules, on any bytes.
//
// Input: 2 bytes of width (little-endian, 1 to 4096 used), 1 byte of height
// (1 to 64), 1 byte of padding (0 to 3) and 1 byte of piece size (1 to
// 256), then the data. The data is decoded as a stream of lines of width +
// padding bytes, in pieces of that size, and must give the pixels the plain
// rules give; and it is encoded as lines of `width` pixels, which must give
// the plain rules' bytes and decode back to the lines.
#include <algorithm>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "pcx/PCXRLE.h"

namespace {

using fuzz::bytes;

constexpr size_t settings = 5;
constexpr uint32_t max_width = 4096;
constexpr uint32_t max_height = 64;

const pcx_rle::code_path paths[] = {pcx_rle::code_path::best, pcx_rle::code_path::baseline,
                                    pcx_rle::code_path::portable};

bytes decode_in_pieces(const bytes& stream, uint32_t width, uint32_t height, uint32_t line_length,
                       size_t piece, pcx_rle::code_path path) {
    bytes pixels(static_cast<size_t>(width) * height, 0x5A);
    pcx_rle::decoder decoder(pixels.data(), width, height, line_length, path);
    for (size_t pos = 0; pos < stream.size() && !decoder.complete(); pos += piece) {
        // Each piece in a block of its own, so that the sanitizers see a read
        // past it.
        const size_t size = std::min(piece, stream.size() - pos);
        const bytes block(stream.begin() + static_cast<ptrdiff_t>(pos),
                          stream.begin() + static_cast<ptrdiff_t>(pos + size));
        const size_t used = decoder.feed(block.data(), block.size());
        fuzz::check(used == size || decoder.complete(), "a piece is used up until the end");
    }
    decoder.finish();
    return pixels;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < settings)
        return 0;
    const uint32_t width = 1 + fuzz::le16(data) % max_width;
    const uint32_t height = 1 + data[2] % max_height;
    const uint32_t line_length = width + data[3] % 4;
    const size_t piece = 1 + data[4];
    const bytes stream(data + settings, data + size);

    bytes expected(static_cast<size_t>(width) * height, 0x5A);
    pcx_rle::decode_reference(stream.data(), stream.size(), expected.data(), width, height,
                              line_length);
    for (pcx_rle::code_path path : paths) {
        fuzz::check(decode_in_pieces(stream, width, height, line_length, piece, path) == expected,
                    "the fast decoder gives the plain rules' pixels");
    }

    for (size_t start = 0; start < stream.size(); start += width) {
        const bytes line(stream.begin() + static_cast<ptrdiff_t>(start),
                         stream.begin() + static_cast<ptrdiff_t>(
                                              std::min<size_t>(start + width, stream.size())));
        const uint32_t length = static_cast<uint32_t>(line.size());
        bytes plain(2 * line.size());
        plain.resize(pcx_rle::encode_line_reference(line.data(), length, plain.data()));
        for (pcx_rle::code_path path : paths) {
            bytes fast(2 * line.size());
            fast.resize(pcx_rle::encode_line(line.data(), length, fast.data(), path));
            fuzz::check(fast == plain, "the fast encoder writes the plain rules' bytes");
        }
        bytes back(line.size());
        pcx_rle::decoder decoder(back.data(), length, 1, length);
        decoder.feed(plain.data(), plain.size());
        fuzz::check(decoder.complete() && back == line, "an encoded line decodes to itself");
    }
    return 0;
}
