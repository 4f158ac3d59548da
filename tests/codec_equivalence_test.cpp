// The fast run-length code against the plain rules it implements: the same
// bytes out for every line and every stream, valid or not, however the
// stream is cut into blocks; and the whole PCX files built on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "pcx/PCX.h"
#include "pcx/PCXRLE.h"
#include "support/fixture.h"

namespace {

using fixture::bytes;

// Exactly `width` bytes on the heap, so that the sanitizer build catches a
// read past the line, and an output of exactly the worst case.
bytes encode_fast(const bytes& line) {
    bytes out(2 * line.size());
    out.resize(pcx_rle::encode_line(line.data(), static_cast<uint32_t>(line.size()), out.data()));
    return out;
}

bytes encode_plain(const bytes& line) {
    bytes out(2 * line.size());
    out.resize(pcx_rle::encode_line_reference(line.data(), static_cast<uint32_t>(line.size()),
                                              out.data()));
    return out;
}

// Lines built from runs of chosen values and lengths.
bytes runs(std::initializer_list<std::pair<uint8_t, int>> parts) {
    bytes line;
    for (const auto& [value, count] : parts)
        line.insert(line.end(), static_cast<size_t>(count), value);
    return line;
}

// Random lines from a small alphabet around the escape boundary, so that
// equal neighbours, runs and escapes all come often.
bytes random_line(std::mt19937& random, size_t width, const bytes& alphabet, int run_percent) {
    bytes line(width);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> percent(0, 99);
    for (size_t i = 0; i < width; ++i)
        line[i] = i > 0 && percent(random) < run_percent ? line[i - 1] : alphabet[pick(random)];
    return line;
}

bytes all_values() {
    bytes values(256);
    for (int i = 0; i < 256; ++i)
        values[i] = static_cast<uint8_t>(i);
    return values;
}

TEST(CodecEncode, RunsAroundTheCountLimitAndTheEscape) {
    // Runs of 62 to 65 and 126 to 128 split at 63; values either side of 0xC0.
    for (uint8_t value : {0x00, 0x10, 0xBF, 0xC0, 0xC1, 0xFF}) {
        for (int count : {1, 2, 7, 8, 9, 62, 63, 64, 65, 126, 127, 128, 200}) {
            SCOPED_TRACE(testing::Message() << "value " << int(value) << " count " << count);
            const bytes alone = runs({{value, count}});
            EXPECT_EQ(encode_fast(alone), encode_plain(alone));
            // The same run at the end of a line, after a literal stretch.
            const bytes at_end = runs({{1, 1},
                                       {2, 1},
                                       {3, 1},
                                       {4, 1},
                                       {5, 1},
                                       {6, 1},
                                       {7, 1},
                                       {8, 1},
                                       {9, 1},
                                       {value, count}});
            EXPECT_EQ(encode_fast(at_end), encode_plain(at_end));
            // And between stretches that end or begin with an equal byte.
            const bytes between = runs({{0xBF, 9}, {value, count}, {0xC0, 1}, {0x20, 10}});
            EXPECT_EQ(encode_fast(between), encode_plain(between));
        }
    }
}

TEST(CodecEncode, KnownUnits) {
    EXPECT_EQ(encode_fast(runs({{0x10, 64}})), (bytes{0xFF, 0x10, 0x10}));
    EXPECT_EQ(encode_fast(runs({{0xC5, 1}})), (bytes{0xC1, 0xC5}));
    EXPECT_EQ(encode_fast(runs({{0x10, 2}})), (bytes{0xC2, 0x10}));
    const bytes stretch{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_EQ(encode_fast(stretch), stretch);
}

TEST(CodecEncode, RandomLinesOfEveryWidth) {
    std::mt19937 random(12345);
    const bytes boundary{0x00, 0x01, 0xBF, 0xC0, 0xC1, 0xFE, 0xFF};
    const bytes everything = all_values();
    for (size_t width = 1; width <= 140; ++width) {
        for (int round = 0; round < 20; ++round) {
            const bytes& alphabet = round % 2 == 0 ? boundary : everything;
            const bytes line = random_line(random, width, alphabet, round * 5);
            ASSERT_EQ(encode_fast(line), encode_plain(line)) << "width " << width;
        }
    }
    for (size_t width : {1000u, 4095u, 32767u}) {
        const bytes line = random_line(random, width, everything, 50);
        EXPECT_EQ(encode_fast(line), encode_plain(line)) << "width " << width;
    }
}

// Decoding a stream with the fast decoder, fed in pieces of the given
// sizes (cycled), against the plain rules on the whole stream.
bytes decode_fast(const bytes& stream, uint32_t width, uint32_t height, uint32_t line_length,
                  const std::vector<size_t>& pieces) {
    bytes pixels(static_cast<size_t>(width) * height, 0x77);
    pcx_rle::decoder decoder(pixels.data(), width, height, line_length);
    size_t pos = 0;
    for (size_t i = 0; pos < stream.size() && !decoder.complete(); ++i) {
        const size_t size = std::min(pieces[i % pieces.size()], stream.size() - pos);
        // Each piece in its own exact block, as the sanitizer would see it.
        const bytes piece(stream.begin() + pos, stream.begin() + pos + size);
        const size_t used = decoder.feed(piece.data(), piece.size());
        EXPECT_TRUE(used == size || decoder.complete());
        pos += size;
    }
    decoder.finish();
    return pixels;
}

bytes decode_plain(const bytes& stream, uint32_t width, uint32_t height, uint32_t line_length) {
    bytes pixels(static_cast<size_t>(width) * height, 0x77);
    pcx_rle::decode_reference(stream.data(), stream.size(), pixels.data(), width, height,
                              line_length);
    return pixels;
}

const std::vector<std::vector<size_t>> piece_plans = {
    {1 << 20}, {1}, {2}, {3}, {7}, {8}, {9}, {63, 64, 65}, {1, 2, 3, 5, 8, 13}};

void expect_same_decoding(const bytes& stream, uint32_t width, uint32_t height,
                          uint32_t line_length) {
    const bytes expected = decode_plain(stream, width, height, line_length);
    for (const auto& plan : piece_plans) {
        ASSERT_EQ(decode_fast(stream, width, height, line_length, plan), expected)
            << width << "x" << height << " line " << line_length << " pieces of " << plan[0];
    }
}

bytes encode_picture(const bytes& pixels, uint32_t width) {
    bytes stream;
    for (size_t start = 0; start < pixels.size(); start += width) {
        const bytes line(pixels.begin() + start, pixels.begin() + start + width);
        const bytes units = encode_plain(line);
        stream.insert(stream.end(), units.begin(), units.end());
    }
    return stream;
}

TEST(CodecDecode, WrittenPicturesAndEveryTruncation) {
    std::mt19937 random(777);
    for (uint32_t width : {1u, 3u, 8u, 9u, 17u, 64u, 65u}) {
        const uint32_t height = 5;
        bytes pixels;
        for (uint32_t y = 0; y < height; ++y) {
            const bytes line = random_line(random, width, {0x00, 0xBF, 0xC0, 0xFF}, 60);
            pixels.insert(pixels.end(), line.begin(), line.end());
        }
        const bytes stream = encode_picture(pixels, width);
        ASSERT_EQ(decode_fast(stream, width, height, width, {1 << 20}), pixels);
        // Cut anywhere, inside a run unit too: 255 from the cut on.
        for (size_t cut = 0; cut <= stream.size(); ++cut) {
            const bytes part(stream.begin(), stream.begin() + cut);
            expect_same_decoding(part, width, height, width);
        }
    }
}

TEST(CodecDecode, HostileStreamsWithAndWithoutPadding) {
    // Runs across line ends, into and past padding, counts of 0, past the
    // last pixel, and streams that end anywhere.
    std::mt19937 random(4242);
    const bytes alphabet{0x00, 0x05, 0xBF, 0xC0, 0xC1, 0xC2, 0xD0, 0xFE, 0xFF};
    for (int round = 0; round < 300; ++round) {
        const uint32_t width = 1 + random() % 40;
        const uint32_t height = 1 + random() % 6;
        const uint32_t line_length = width + (round % 4 == 0 ? 0 : random() % 4);
        const size_t length = random() % (3 * width * height + 10);
        const bytes stream = random_line(random, length, alphabet, 10);
        expect_same_decoding(stream, width, height, line_length);
    }
    // A bytes-per-line below the width reads as no padding.
    expect_same_decoding(bytes(40, 0xC3), 10, 3, 4);
}

TEST(CodecDecode, LongRunsFillWholePictures) {
    // 63-byte runs over many lines, with and without one padding byte.
    bytes stream;
    for (int i = 0; i < 200; ++i) {
        stream.push_back(0xFF);
        stream.push_back(static_cast<uint8_t>(i));
    }
    expect_same_decoding(stream, 100, 100, 100);
    expect_same_decoding(stream, 99, 100, 100);
}

// --- Whole files through PCX_IMAGE -------------------------------------------

bytes file_as_specified(int width, int height, const bytes& pixels, const bytes& palette) {
    return fixture::pcx_file(width, height, pixels, palette);
}

TEST(CodecFiles, LargePicturesWriteAndReadExactly) {
    // Enough data for several write buffers and read blocks, so units are
    // split between blocks; an odd width and one line of noise.
    fixture::temp_dir dir;
    std::mt19937 random(99);
    const bytes palette = fixture::palette(5);
    for (const auto& [width, height] : {std::pair<int, int>{1001, 700}, {2048, 300}, {1, 3000}}) {
        SCOPED_TRACE(testing::Message() << width << "x" << height);
        bytes pixels;
        for (int y = 0; y < height; ++y) {
            const bytes line = random_line(random, width, all_values(), y % 3 == 0 ? 0 : 60);
            pixels.insert(pixels.end(), line.begin(), line.end());
        }
        const std::string path = dir.file("big.pcx");
        PCX_IMAGE writer;
        ASSERT_EQ(writer.save_raw(path.c_str(), static_cast<int16_t>(width),
                                  static_cast<int16_t>(height), pixels.data(), palette.data()),
                  1);
        ASSERT_EQ(fixture::read_file(path), file_as_specified(width, height, pixels, palette));

        PCX_IMAGE reader;
        ASSERT_EQ(reader.load(path.c_str()), 1);
        ASSERT_EQ(bytes(reader.pixels, reader.pixels + pixels.size()), pixels);
        EXPECT_EQ(bytes(reader.palette, reader.palette + 768), palette);
    }
}

}  // namespace
