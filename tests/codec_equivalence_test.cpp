// The fast run-length code against the plain rules it implements: the same
// bytes out for every line and every stream, valid or not, however the
// stream is cut into pieces, in every build of the fast code (the widest the
// processor runs, the build's baseline and the portable one); on every kind
// of picture the benchmarks time
// (bench/images.h), at every width up to 300 and some large ones; and the
// whole PCX files built on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "bench/images.h"
#include "pcx/PCX.h"
#include "pcx/PCXRLE.h"
#include "support/fixture.h"

namespace bench {

// Test names and messages show the kind by its name.
void PrintTo(kind k, std::ostream* os) {
    *os << kind_name(k);
}

}  // namespace bench

namespace {

using fixture::bytes;
using pcx_rle::code_path;

const code_path paths[] = {code_path::best, code_path::baseline, code_path::portable};

const char* path_name(code_path path) {
    switch (path) {
        case code_path::best:
            return pcx_rle::has_wide_path() ? "best (wide)" : "best";
        case code_path::baseline:
            return "baseline";
        case code_path::portable:
            return "portable";
    }
    return "?";
}

// Exactly `width` bytes on the heap, so that the sanitizer build catches a
// read past the line, and an output of exactly the worst case.
bytes encode_fast(const bytes& line, code_path path) {
    bytes out(2 * line.size());
    out.resize(
        pcx_rle::encode_line(line.data(), static_cast<uint32_t>(line.size()), out.data(), path));
    return out;
}

bytes encode_plain(const bytes& line) {
    bytes out(2 * line.size());
    out.resize(pcx_rle::encode_line_reference(line.data(), static_cast<uint32_t>(line.size()),
                                              out.data()));
    return out;
}

void expect_same_encoding(const bytes& line) {
    const bytes expected = encode_plain(line);
    for (code_path path : paths)
        ASSERT_EQ(encode_fast(line, path), expected)
            << path_name(path) << ", width " << line.size();
}

// Line y of a picture, in a vector of its own.
bytes line_of(const bytes& picture, size_t width, size_t y) {
    return bytes(picture.begin() + static_cast<ptrdiff_t>(y * width),
                 picture.begin() + static_cast<ptrdiff_t>((y + 1) * width));
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

// --- Decoding ------------------------------------------------------------------

// Decoding a stream with the fast decoder, fed in pieces of the given
// sizes (cycled), each piece in its own exact block as the sanitizer would
// see a file's blocks.
bytes decode_fast(const bytes& stream, uint32_t width, uint32_t height, uint32_t line_length,
                  const std::vector<size_t>& pieces, code_path path) {
    bytes pixels(static_cast<size_t>(width) * height, 0x77);
    pcx_rle::decoder decoder(pixels.data(), width, height, line_length, path);
    size_t pos = 0;
    for (size_t i = 0; pos < stream.size() && !decoder.complete(); ++i) {
        const size_t size = std::min(pieces[i % pieces.size()], stream.size() - pos);
        const bytes piece(stream.begin() + static_cast<ptrdiff_t>(pos),
                          stream.begin() + static_cast<ptrdiff_t>(pos + size));
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
    {1 << 20}, {1}, {2}, {3}, {7}, {8}, {9}, {63, 64, 65}, {79, 80, 81}, {1, 2, 3, 5, 8, 13}};

void expect_same_decoding(const bytes& stream, uint32_t width, uint32_t height,
                          uint32_t line_length,
                          const std::vector<std::vector<size_t>>& plans = piece_plans) {
    const bytes expected = decode_plain(stream, width, height, line_length);
    for (code_path path : paths) {
        for (const auto& plan : plans) {
            ASSERT_EQ(decode_fast(stream, width, height, line_length, plan, path), expected)
                << path_name(path) << ", " << width << "x" << height << " line " << line_length
                << ", pieces of " << plan[0];
        }
    }
}

// The stream of a picture as a writer with padding would make it: each
// line of `width` pixels and `padding` more bytes, by the plain rules.
bytes encode_picture(const bytes& pixels, uint32_t width, uint32_t padding = 0) {
    bytes stream;
    for (size_t start = 0; start < pixels.size(); start += width) {
        bytes line(pixels.begin() + static_cast<ptrdiff_t>(start),
                   pixels.begin() + static_cast<ptrdiff_t>(start + width));
        for (uint32_t i = 0; i < padding; ++i)
            line.push_back(line.back());  // padding that continues the last run
        const bytes units = encode_plain(line);
        stream.insert(stream.end(), units.begin(), units.end());
    }
    return stream;
}

// --- Every kind of picture ---------------------------------------------------------

class CodecKinds : public testing::TestWithParam<bench::kind> {
protected:
    // width x height pixels of the kind; skips the test where the kind's
    // pictures are not at hand (the photo kind without ../shared).
    bytes picture(int width, int height, uint32_t seed = 0) {
        return bench::make_pixels(GetParam(), width, height, seed);
    }
    void SetUp() override {
        if (GetParam() == bench::kind::photo && bench::photo_sources().empty())
            GTEST_SKIP() << bench::photo_notice();
        if (!pcx_rle::has_vector_path())
            std::cout << "NOTICE: this build has no vector path: the portable one is tested\n";
        else if (!pcx_rle::has_wide_path())
            std::cout << "NOTICE: this processor has no AVX2: the wide path is not tested\n";
    }
};

TEST_P(CodecKinds, EncodesEveryWidthUpTo300AsThePlainRules) {
    for (int width = 1; width <= 300; ++width) {
        const bytes pixels = picture(width, 3, static_cast<uint32_t>(width));
        for (size_t y = 0; y < 3; ++y)
            ASSERT_NO_FATAL_FAILURE(expect_same_encoding(line_of(pixels, width, y)));
    }
}

TEST_P(CodecKinds, EncodesLargeWidthsAsThePlainRules) {
    for (int width : {511, 512, 513, 1000, 2048, 4095, 4097, 32767}) {
        const bytes pixels = picture(width, 2);
        for (size_t y = 0; y < 2; ++y)
            ASSERT_NO_FATAL_FAILURE(expect_same_encoding(line_of(pixels, width, y)));
    }
}

TEST_P(CodecKinds, DecodesInPiecesOfEverySizeAsThePlainRules) {
    // Pieces of every size up to past two of the fast path's blocks and
    // what they read ahead, so that every way a unit or a block is cut
    // between two pieces comes up.
    std::vector<std::vector<size_t>> plans;
    for (size_t size = 1; size <= 192; ++size)
        plans.push_back({size});
    plans.push_back({1 << 20});
    for (uint32_t width : {64u, 300u}) {
        const uint32_t height = 6;
        const bytes pixels = picture(static_cast<int>(width), height);
        const bytes stream = encode_picture(pixels, width);
        for (code_path path : paths)
            ASSERT_EQ(decode_fast(stream, width, height, width, {1 << 20}, path), pixels)
                << path_name(path);
        ASSERT_NO_FATAL_FAILURE(expect_same_decoding(stream, width, height, width, plans));
    }
}

TEST_P(CodecKinds, DecodesPaddedLinesAsThePlainRules) {
    for (uint32_t width : {7u, 49u, 300u}) {
        for (uint32_t padding : {1u, 3u}) {
            const uint32_t height = 5;
            const bytes pixels = picture(static_cast<int>(width), height);
            const bytes stream = encode_picture(pixels, width, padding);
            ASSERT_NO_FATAL_FAILURE(expect_same_decoding(stream, width, height, width + padding));
            for (code_path path : paths)
                ASSERT_EQ(decode_fast(stream, width, height, width + padding, {1 << 20}, path),
                          pixels)
                    << path_name(path);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kind, CodecKinds, testing::ValuesIn(bench::all_kinds),
                         [](const testing::TestParamInfo<bench::kind>& info) {
                             return std::string(bench::kind_name(info.param));
                         });

// --- Encoding: the edges --------------------------------------------------------

TEST(CodecEncode, RunsOf62To65AtLineEndsAndBlockEdges) {
    // A run near the count limit, after a stretch of lone pixels of every
    // length up to two blocks, so that it starts, ends or splits at every
    // place a 64-pixel block can put it; at the line's end and followed by
    // one more pixel. Values either side of 0xC0.
    for (uint8_t value : {0x00, 0x10, 0xBF, 0xC0, 0xC1, 0xFF}) {
        for (int count : {1, 2, 3, 7, 8, 9, 62, 63, 64, 65, 126, 127, 128, 129, 200}) {
            for (int before = 0; before <= 130; ++before) {
                SCOPED_TRACE(testing::Message() << "value " << int(value) << ", run of " << count
                                                << " after " << before);
                bytes line;
                for (int i = 0; i < before; ++i)
                    line.push_back(static_cast<uint8_t>(i % 2 == 0 ? 0x10 + i % 0x30 : 0xE0));
                line.insert(line.end(), static_cast<size_t>(count), value);
                ASSERT_NO_FATAL_FAILURE(expect_same_encoding(line));
                line.push_back(static_cast<uint8_t>(value ^ 1));
                ASSERT_NO_FATAL_FAILURE(expect_same_encoding(line));
            }
            // Between stretches that end or begin with an equal byte.
            ASSERT_NO_FATAL_FAILURE(
                expect_same_encoding(runs({{0xBF, 9}, {value, count}, {0xC0, 1}, {0x20, 10}})));
        }
    }
}

TEST(CodecEncode, KnownUnits) {
    for (code_path path : paths) {
        EXPECT_EQ(encode_fast(runs({{0x10, 64}}), path), (bytes{0xFF, 0x10, 0x10}));
        EXPECT_EQ(encode_fast(runs({{0xC5, 1}}), path), (bytes{0xC1, 0xC5}));
        EXPECT_EQ(encode_fast(runs({{0x10, 2}}), path), (bytes{0xC2, 0x10}));
        const bytes stretch{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
        EXPECT_EQ(encode_fast(stretch, path), stretch);
    }
}

TEST(CodecEncode, RandomLinesOfEveryWidth) {
    std::mt19937 random(12345);
    const bytes boundary{0x00, 0x01, 0xBF, 0xC0, 0xC1, 0xFE, 0xFF};
    const bytes everything = all_values();
    for (size_t width = 1; width <= 300; ++width) {
        for (int round = 0; round < 20; ++round) {
            const bytes& alphabet = round % 2 == 0 ? boundary : everything;
            ASSERT_NO_FATAL_FAILURE(
                expect_same_encoding(random_line(random, width, alphabet, round * 5)));
        }
    }
    for (size_t width : {1000u, 4095u, 32767u})
        ASSERT_NO_FATAL_FAILURE(expect_same_encoding(random_line(random, width, everything, 50)));
}

// --- Decoding: the edges --------------------------------------------------------

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
        // Cut anywhere, inside a run unit too: 255 from the cut on.
        for (size_t cut = 0; cut <= stream.size(); ++cut) {
            const bytes part(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(cut));
            ASSERT_NO_FATAL_FAILURE(expect_same_decoding(part, width, height, width));
        }
    }
}

// Streams of literal stretches and runs of chosen lengths, repeated: the
// fast decoder's ways and limits (runs of 8 and 9 pixels, the most one
// word stores; stretches longer than a chunk; a run byte at a block's last
// byte) meet every place in the blocks and spans.
TEST(CodecDecode, StretchesAndRunsOfEveryLengthThatMatters) {
    for (size_t literals : {0u, 1u, 15u, 16u, 17u, 33u, 48u, 49u, 63u, 64u, 70u}) {
        for (uint32_t count : {0u, 1u, 2u, 7u, 8u, 9u, 16u, 17u, 32u, 33u, 63u}) {
            bytes stream;
            for (int repeat = 0; stream.size() < 600; ++repeat) {
                for (size_t i = 0; i < literals; ++i)
                    stream.push_back(static_cast<uint8_t>((repeat * 7 + i) % 0xC0));
                stream.push_back(static_cast<uint8_t>(0xC0 + count));
                stream.push_back(static_cast<uint8_t>(repeat % 2 == 0 ? 0xC5 : 0x21));
            }
            SCOPED_TRACE(testing::Message() << literals << " literals, runs of " << count);
            for (uint32_t width : {17u, 100u, 1000u}) {
                ASSERT_NO_FATAL_FAILURE(expect_same_decoding(stream, width, 8, width));
                ASSERT_NO_FATAL_FAILURE(expect_same_decoding(stream, width, 8, width + 3));
            }
        }
    }
}

TEST(CodecDecode, HostileStreamsWithAndWithoutPadding) {
    // Runs across line ends, into and past padding, counts of 0, past the
    // last pixel, and streams that end anywhere.
    std::mt19937 random(4242);
    const bytes alphabet{0x00, 0x05, 0xBF, 0xC0, 0xC1, 0xC2, 0xC8, 0xC9, 0xD0, 0xFE, 0xFF};
    for (int round = 0; round < 300; ++round) {
        const uint32_t width = 1 + random() % (round % 3 == 0 ? 300 : 40);
        const uint32_t height = 1 + random() % 6;
        const uint32_t line_length = width + (round % 4 == 0 ? 0 : random() % 4);
        const size_t length = random() % (3 * width * height + 10);
        const bytes stream = random_line(random, length, alphabet, round % 10);
        ASSERT_NO_FATAL_FAILURE(expect_same_decoding(stream, width, height, line_length));
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
        ASSERT_EQ(fixture::read_file(path), fixture::pcx_file(width, height, pixels, palette));

        PCX_IMAGE reader;
        ASSERT_EQ(reader.load(path.c_str()), 1);
        ASSERT_EQ(bytes(reader.pixels, reader.pixels + pixels.size()), pixels);
        EXPECT_EQ(bytes(reader.palette, reader.palette + 768), palette);
    }
}

}  // namespace
