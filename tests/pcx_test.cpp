// The PCX reader and writer: exact bytes written, the decoder's line and
// padding handling, short and hostile files.
#include "pcx/PCX.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lib/GENERR.h"
#include "picture/PICTURE.h"
#include "support/fixture.h"

namespace {

using fixture::bytes;

constexpr size_t header_size = 128;
constexpr size_t palette_size = 768;

// A 128-byte header as other writers make them: everything the reader
// looks at is a parameter.
bytes make_header(int max_x, int max_y, int bytes_per_line, uint8_t bits = 8, uint8_t planes = 1) {
    bytes h(header_size, 0);
    h[0] = 10;
    h[1] = 5;
    h[2] = 1;
    h[3] = bits;
    h[8] = static_cast<uint8_t>(max_x);
    h[9] = static_cast<uint8_t>(max_x >> 8);
    h[10] = static_cast<uint8_t>(max_y);
    h[11] = static_cast<uint8_t>(max_y >> 8);
    h[65] = planes;
    h[66] = static_cast<uint8_t>(bytes_per_line);
    h[67] = static_cast<uint8_t>(bytes_per_line >> 8);
    return h;
}

// Header, the given run-length data, the marker and a palette.
bytes make_pcx(int width, int height, int bytes_per_line, const bytes& data,
               const bytes& palette = fixture::palette(3)) {
    bytes file = make_header(width - 1, height - 1, bytes_per_line);
    file.insert(file.end(), data.begin(), data.end());
    file.push_back(12);
    file.insert(file.end(), palette.begin(), palette.end());
    return file;
}

bytes pixels_of(const PCX_IMAGE& image) {
    const size_t count = static_cast<size_t>(image.width()) * static_cast<size_t>(image.height());
    return bytes(image.pixels, image.pixels + count);
}

class PcxTest : public ::testing::Test {
protected:
    // Writes `data` to a file and loads it into `image`.
    int load_bytes(const bytes& data) {
        const std::string path = dir.file("in.pcx");
        fixture::write_file(path, data);
        err_code = 0;
        return image.load(path.c_str());
    }

    // What save_raw writes for this picture.
    bytes written(int width, int height, const bytes& pixels,
                  const bytes& palette = fixture::palette(1)) {
        const std::string path = dir.file("out.pcx");
        err_code = 0;
        EXPECT_EQ(1, image.save_raw(path.c_str(), static_cast<int16_t>(width),
                                    static_cast<int16_t>(height), pixels.data(), palette.data()));
        return fixture::read_file(path);
    }

    // The run-length data between the header and the marker.
    bytes rle_of(const bytes& file) {
        EXPECT_GE(file.size(), header_size + 1 + palette_size);
        return bytes(file.begin() + header_size, file.end() - 1 - palette_size);
    }

    fixture::temp_dir dir;
    PCX_IMAGE image;
};

// --- Writer -------------------------------------------------------------------

TEST_F(PcxTest, OneByOneFileIsTheDefaultHeaderPixelMarkerAndPalette) {
    const bytes palette = fixture::palette(9);
    const bytes file = written(1, 1, {5}, palette);
    ASSERT_EQ(898u, file.size());

    bytes header(header_size, 0);
    const uint8_t fixed[] = {10, 5, 1, 8, 0, 0, 0, 0, 0, 0, 0, 0, 150, 0, 150, 0};
    std::memcpy(header.data(), fixed, sizeof fixed);
    header[65] = 1;  // planes
    header[66] = 1;  // bytes per line = width
    header[68] = 1;  // palette info
    header[71] = 0x04;
    header[73] = 0x03;
    EXPECT_EQ(header, bytes(file.begin(), file.begin() + header_size));
    EXPECT_EQ(5, file[128]);
    EXPECT_EQ(12, file[129]);
    EXPECT_EQ(palette, bytes(file.begin() + 130, file.end()));
}

TEST_F(PcxTest, RunLengthUnitsAreExact) {
    struct encode_case {
        const char* what;
        int width, height;
        bytes pixels;
        bytes expected;
    };
    const std::vector<encode_case> cases = {
        {"64 equal bytes: a full run and a lone byte", 64, 1, bytes(64, 0x10), {0xFF, 0x10, 0x10}},
        {"lone byte 0xC5 is escaped", 1, 1, {0xC5}, {0xC1, 0xC5}},
        {"lone byte 0xC0 is escaped", 1, 1, {0xC0}, {0xC1, 0xC0}},
        {"lone byte 0xBF stands alone", 1, 1, {0xBF}, {0xBF}},
        {"two equal small bytes are a run", 2, 1, {0x10, 0x10}, {0xC2, 0x10}},
        {"runs split at the line end", 2, 2, {7, 7, 7, 7}, {0xC2, 7, 0xC2, 7}},
        {"odd width, no padding", 3, 1, {1, 2, 3}, {1, 2, 3}},
        {"127 high bytes", 127, 1, bytes(127, 0xC8), {0xFF, 0xC8, 0xFF, 0xC8, 0xC1, 0xC8}},
        {"mixed line", 6, 1, {0, 0, 0xFF, 1, 1, 1}, {0xC2, 0, 0xC1, 0xFF, 0xC3, 1}},
    };
    for (const encode_case& c : cases) {
        const bytes file = written(c.width, c.height, c.pixels);
        EXPECT_EQ(c.expected, rle_of(file)) << c.what;
        EXPECT_EQ(c.width, file[66] | file[67] << 8) << c.what << ": bytes per line";
        EXPECT_EQ(c.width - 1, file[8] | file[9] << 8) << c.what;
        EXPECT_EQ(c.height - 1, file[10] | file[11] << 8) << c.what;
    }
}

TEST_F(PcxTest, SaveRawRefusesMissingOrEmptyInput) {
    const bytes px(4, 1);
    const bytes pal = fixture::palette();
    const std::string path = dir.file("never.pcx");
    struct refused {
        const char* name;
        int16_t width, height;
        const uint8_t* pixels;
        const uint8_t* palette;
    };
    const refused cases[] = {
        {nullptr, 2, 2, px.data(), pal.data()},      {path.c_str(), 2, 2, nullptr, pal.data()},
        {path.c_str(), 2, 2, px.data(), nullptr},    {path.c_str(), 0, 2, px.data(), pal.data()},
        {path.c_str(), 2, 0, px.data(), pal.data()}, {path.c_str(), -2, 2, px.data(), pal.data()},
    };
    for (const refused& c : cases) {
        err_code = 0;
        EXPECT_EQ(0, image.save_raw(c.name, c.width, c.height, c.pixels, c.palette));
        EXPECT_EQ(8u, err_code);
    }
    EXPECT_FALSE(fixture::file_exists(path));
}

TEST_F(PcxTest, SaveRawLeavesTheObjectEmptyAndTheBufferLent) {
    const bytes px = fixture::pixels(5, 3);
    written(5, 3, px);
    EXPECT_EQ(nullptr, image.pixels);
    EXPECT_EQ(0, image.width());
    EXPECT_EQ(0, image.header.bytes_per_line);

    err_code = 0;
    EXPECT_EQ(0, image.save_raw(dir.file("no/such/dir.pcx").c_str(), 5, 3, px.data(),
                                fixture::palette().data()));
    EXPECT_EQ(1u, err_code);
    EXPECT_EQ(nullptr, image.pixels);
}

TEST_F(PcxTest, HeaderExtentsAreConvertedWithoutDisturbingMemory) {
    image.header.max_x = 10;
    image.header.max_y = 20;
    const fixture::scratch_stream scratch;
    FILE* file = scratch.get();
    ASSERT_NE(nullptr, file);
    ASSERT_EQ(1, image.write_header(file));
    EXPECT_EQ(10, image.header.max_x);
    EXPECT_EQ(20, image.header.max_y);

    std::rewind(file);
    uint8_t raw[128];
    ASSERT_EQ(128u, std::fread(raw, 1, 128, file));
    EXPECT_EQ(9, raw[8] | raw[9] << 8);
    EXPECT_EQ(19, raw[10] | raw[11] << 8);

    std::rewind(file);
    PCX_IMAGE other;
    ASSERT_EQ(1, other.read_header(file));
    EXPECT_EQ(10, other.width());
    EXPECT_EQ(20, other.height());
    EXPECT_EQ(0, other.read_header(file));  // nothing left
    EXPECT_EQ(2u, err_code);
}

// --- Reader -------------------------------------------------------------------

TEST_F(PcxTest, WhatIsWrittenReadsBackExactly) {
    std::mt19937 random(20240601);
    const int sizes[][2] = {{1, 1}, {3, 1}, {1, 7}, {64, 2}, {65, 3}, {127, 5}, {200, 9}};
    for (const auto& size : sizes) {
        bytes px(static_cast<size_t>(size[0]) * size[1]);
        // Long runs, high bytes and noise, so every kind of unit occurs.
        for (size_t i = 0; i < px.size(); ++i)
            px[i] = (random() % 3 == 0) ? static_cast<uint8_t>(random())
                                        : static_cast<uint8_t>(0xC0 + (i / 70) % 64);
        const bytes palette = fixture::palette(static_cast<uint8_t>(size[0]));
        const bytes file = written(size[0], size[1], px, palette);
        ASSERT_EQ(1, load_bytes(file));
        EXPECT_EQ(size[0], image.width());
        EXPECT_EQ(size[1], image.height());
        EXPECT_EQ(px, pixels_of(image));
        EXPECT_EQ(palette, bytes(image.palette, image.palette + palette_size));
    }
}

TEST_F(PcxTest, PaddingIsDroppedHoweverItIsEncoded) {
    struct padding_case {
        const char* what;
        int width, height, bytes_per_line;
        bytes data;
        bytes expected;
    };
    const std::vector<padding_case> cases = {
        {"padding byte as its own unit", 3, 2, 4, {1, 2, 3, 0, 4, 5, 6, 0}, {1, 2, 3, 4, 5, 6}},
        {"padding byte as a one-byte run",
         3,
         2,
         4,
         {1, 2, 3, 0xC1, 0, 4, 5, 6, 0xC1, 0},
         {1, 2, 3, 4, 5, 6}},
        {"run covers the last pixels and the padding byte",
         3,
         2,
         4,
         {1, 0xC3, 9, 4, 5, 0xC2, 8},
         {1, 9, 9, 4, 5, 8}},
        {"three padding bytes as one run",
         2,
         3,
         5,
         {1, 2, 0xC3, 0, 3, 4, 0xC3, 0, 5, 6, 0xC3, 0},
         {1, 2, 3, 4, 5, 6}},
        {"run into two padding bytes", 2, 2, 4, {1, 0xC3, 7, 3, 4, 0, 0}, {1, 7, 3, 4}},
        {"run across a padded line end", 2, 2, 3, {0xC4, 5, 6, 0}, {5, 5, 5, 6}},
        {"run across a line end without padding", 2, 2, 2, {0xC3, 7, 8}, {7, 7, 7, 8}},
        {"bytes per line below the width: one stream",
         3,
         2,
         1,
         {0xC4, 2, 3, 4},
         {2, 2, 2, 2, 3, 4}},
        {"run past the last pixel is cut", 2, 1, 2, {0xFF, 4}, {4, 4}},
        {"zero-length runs store nothing", 2, 1, 2, {0xC0, 9, 1, 0xC0, 9, 2}, {1, 2}},
    };
    for (const padding_case& c : cases) {
        bytes file = make_pcx(c.width, c.height, c.bytes_per_line, c.data);
        ASSERT_EQ(1, load_bytes(file)) << c.what;
        EXPECT_EQ(c.expected, pixels_of(image)) << c.what;
        EXPECT_EQ(fixture::palette(3), bytes(image.palette, image.palette + palette_size))
            << c.what;
    }
}

TEST_F(PcxTest, OddHeadersDecodeAsEightBitOnePlane) {
    for (const auto& kind : {std::pair<uint8_t, uint8_t>{4, 1}, {8, 3}, {1, 4}}) {
        bytes file = make_header(1, 0, 2, kind.first, kind.second);
        const bytes tail = {0xC2, 0x21, 12};
        file.insert(file.end(), tail.begin(), tail.end());
        const bytes palette = fixture::palette(4);
        file.insert(file.end(), palette.begin(), palette.end());
        ASSERT_EQ(1, load_bytes(file));
        EXPECT_EQ((bytes{0x21, 0x21}), pixels_of(image));
        EXPECT_EQ(kind.first, image.header.bits_per_pixel);
        EXPECT_EQ(kind.second, image.header.planes);
    }
}

TEST_F(PcxTest, PaletteIsTheLastBytesOfTheFile) {
    // No marker, and 20 bytes of filler before the palette.
    bytes file = make_header(1, 0, 2);
    const bytes data = {0xC2, 3};
    file.insert(file.end(), data.begin(), data.end());
    file.insert(file.end(), 20, 0xAA);
    const bytes palette = fixture::palette(6);
    file.insert(file.end(), palette.begin(), palette.end());
    ASSERT_EQ(1, load_bytes(file));
    EXPECT_EQ(palette, bytes(image.palette, image.palette + palette_size));
    EXPECT_EQ((bytes{3, 3}), pixels_of(image));
}

TEST_F(PcxTest, ShortPixelDataEndsInValue255) {
    // 40 x 40 pixels, but only one data byte, the marker and 768 palette
    // bytes (all below 0xC0) follow: 770 pixels come from the file.
    bytes palette(palette_size);
    for (size_t i = 0; i < palette.size(); ++i)
        palette[i] = static_cast<uint8_t>(i % 0xC0);
    ASSERT_EQ(1, load_bytes(make_pcx(40, 40, 40, {5}, palette)));
    const bytes px = pixels_of(image);
    EXPECT_EQ(5, px[0]);
    EXPECT_EQ(12, px[1]);
    EXPECT_EQ(palette, bytes(px.begin() + 2, px.begin() + 770));
    EXPECT_EQ(bytes(1600 - 770, 255), bytes(px.begin() + 770, px.end()));
    EXPECT_EQ(palette, bytes(image.palette, image.palette + palette_size));
}

TEST_F(PcxTest, EndOfFileInsideARunFillsWith255AtOnce) {
    // bytes per line 65535 and a run unit without its value at the very end:
    // the rest is 255 without a read per missing byte.
    bytes file(palette_size, 0x11);  // long enough for a palette
    bytes header = make_header(0x7FFE, 1, 0xFFFF);
    file.insert(file.begin(), header.begin(), header.end());
    file.push_back(0xC5);
    ASSERT_EQ(1, load_bytes(file));
    EXPECT_EQ(32767, image.width());
    EXPECT_EQ(0x11, image.pixels[767]);
    EXPECT_EQ(255, image.pixels[768]);
    EXPECT_EQ(255, image.pixels[2 * 32767 - 1]);
}

TEST_F(PcxTest, ShortFilesFailWithCode2) {
    // Shorter than a header; a header but shorter than a palette.
    EXPECT_EQ(0, load_bytes(bytes(100, 0)));
    EXPECT_EQ(2u, err_code);

    EXPECT_EQ(0, load_bytes(make_header(1, 1, 2)));
    EXPECT_EQ(2u, err_code);
    // The pixel buffer made before the palette failed stays until destroy().
    ASSERT_NE(nullptr, image.pixels);
    image.destroy();
    EXPECT_EQ(nullptr, image.pixels);
}

TEST_F(PcxTest, SizesOutsideOneTo32767AreRefused) {
    // Raw maximum fields: the stored value is the size minus one.
    const int bad[][2] = {{0xFFFF, 0}, {0, 0xFFFF}, {0x7FFF, 0},
                          {0, 0x7FFF}, {0x8000, 0}, {0, 0x9000}};
    for (const auto& extents : bad) {
        bytes file = make_header(extents[0], extents[1], 1);
        file.insert(file.end(), palette_size + 1, 0);
        EXPECT_EQ(0, load_bytes(file)) << extents[0] << " x " << extents[1];
        EXPECT_EQ(9u, err_code);
        EXPECT_EQ(nullptr, image.pixels);
    }
    bytes file = make_header(0x7FFE, 0, 1);  // 32767 x 1 is the largest width
    file.insert(file.end(), palette_size + 1, 0);
    EXPECT_EQ(1, load_bytes(file));
    EXPECT_EQ(32767, image.width());
}

TEST_F(PcxTest, FailedOpenKeepsTheLoadedImage) {
    ASSERT_EQ(1, load_bytes(make_pcx(2, 1, 2, {0xC2, 4})));
    err_code = 0;
    EXPECT_EQ(0, image.load(dir.file("missing.pcx").c_str()));
    EXPECT_EQ(1u, err_code);
    EXPECT_EQ((bytes{4, 4}), pixels_of(image));
}

TEST_F(PcxTest, SaveOfALoadedImageWritesAConsistentFile) {
    // A padded file with an odd origin comes back as plain lines of `width`.
    bytes file = make_pcx(3, 1, 4, {1, 2, 3, 0});
    file[4] = 1;  // minimum x
    ASSERT_EQ(1, load_bytes(file));
    const std::string path = dir.file("again.pcx");
    ASSERT_EQ(1, image.save(path.c_str()));
    ASSERT_EQ(1, image.load(path.c_str()));
    EXPECT_EQ((bytes{1, 2, 3}), pixels_of(image));
    EXPECT_EQ(3, image.header.bytes_per_line);
    EXPECT_EQ(0, image.header.min_x);

    PCX_IMAGE empty;
    err_code = 0;
    EXPECT_EQ(0, empty.save(dir.file("empty.pcx").c_str()));
    EXPECT_EQ(8u, err_code);
    EXPECT_FALSE(fixture::file_exists(dir.file("empty.pcx")));
}

// --- The picture of a PCX file, as the import reads it ------------------------

struct layout_case {
    const char* what;
    int width, height, bits, planes, bytes_per_line;
    bytes lines;        // decoded scan lines, plane after plane
    bool with_vga;      // the marker and the palette behind the data
    picture_kind kind;
    bytes pixels;       // what the picture holds
    uint32_t entries;   // palette entries
};

bytes header_colours() {
    bytes c(48);
    for (size_t i = 0; i < c.size(); ++i)
        c[i] = static_cast<uint8_t>(17 * i + 3);
    return c;
}

// Each layout, with padding where the format allows it: the pixels and the
// palette the picture gets.
TEST_F(PcxTest, PictureOfEveryLayout) {
    const std::string path = dir.file("picture.pcx");
    const layout_case cases[] = {
        {"8 bits with its palette, one padding byte", 3, 2, 8, 1, 4,
         {1, 0xC5, 3, 9, 7, 8, 9, 9}, true, picture_kind::indexed,
         {1, 0xC5, 3, 7, 8, 9}, 256},
        {"8 bits without the marker", 2, 1, 8, 1, 2, {200, 3}, false, picture_kind::bare_indices,
         {200, 3}, 0},
        {"1 bit, black and white, bytes of padding", 10, 2, 1, 1, 4,
         {0xA5, 0xC0, 0xFF, 0xFF, 0x00, 0x40, 0, 0}, false, picture_kind::indexed,
         {1, 0, 1, 0, 0, 1, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 2},
        {"2 bits", 5, 1, 2, 1, 2, {0x1B, 0x80}, false, picture_kind::indexed, {0, 1, 2, 3, 2}, 4},
        {"4 bits", 3, 2, 4, 1, 2, {0x1F, 0xA0, 0x00, 0x3C}, false, picture_kind::indexed,
         {1, 15, 10, 0, 0, 3}, 16},
        {"1 bit in 4 planes", 9, 1, 1, 4, 2,
         // plane p holds bit p of each index: indices 1, 2, 4, 8, 15, 0, 5, 10, 3
         {0x8A, 0x80, 0x49, 0x80, 0x2A, 0x00, 0x19, 0x00}, false, picture_kind::indexed,
         {1, 2, 4, 8, 15, 0, 5, 10, 3}, 16},
        {"1 bit in 3 planes, as netpbm writes 8 colours", 3, 1, 1, 3, 2,
         {0xA0, 0, 0x60, 0, 0xE0, 0}, false, picture_kind::indexed, {5, 6, 7}, 8},
        {"8 bits in 3 planes, odd width padded", 3, 1, 8, 3, 4,
         {1, 2, 3, 0, 10, 20, 30, 0, 100, 200, 0xFF, 0}, false, picture_kind::true_colour,
         {1, 10, 100, 255, 2, 20, 200, 255, 3, 30, 0xFF, 255}, 0},
        {"8 bits in 4 planes", 2, 1, 8, 4, 2, {5, 6, 7, 8, 9, 10, 0, 255}, false,
         picture_kind::true_colour, {5, 7, 9, 0, 6, 8, 10, 255}, 0},
    };
    for (const layout_case& c : cases) {
        SCOPED_TRACE(c.what);
        const bytes vga = c.with_vga ? fixture::palette(5) : bytes();
        fixture::write_file(path, fixture::pcx_layout_file(c.width, c.height, c.bits, c.planes,
                                                           c.bytes_per_line, c.lines,
                                                           header_colours(), vga));
        PICTURE picture;
        ASSERT_EQ(1, load_pcx_picture(path.c_str(), picture)) << picture_reason();
        EXPECT_EQ(picture.width, c.width);
        EXPECT_EQ(picture.height, c.height);
        EXPECT_EQ(picture.kind, c.kind);
        EXPECT_EQ(picture.palette_entries, c.entries);
        const size_t size = c.pixels.size();
        EXPECT_EQ(bytes(picture.pixels.get(), picture.pixels.get() + size), c.pixels);
        if (c.with_vga) {
            EXPECT_EQ(bytes(picture.palette, picture.palette + 768), vga);
        } else if (c.bits == 1 && c.planes == 1) {
            EXPECT_EQ(bytes(picture.palette, picture.palette + 6), (bytes{0, 0, 0, 255, 255, 255}));
        } else if (c.entries == 4 || c.entries == 8 || c.entries == 16) {
            EXPECT_EQ(bytes(picture.palette, picture.palette + 48), header_colours());
        }
    }
}

// Refused with a reason, before anything large is allocated.
TEST_F(PcxTest, PicturesTheImportRefuses) {
    const std::string path = dir.file("picture.pcx");
    const bytes good = fixture::pcx_file(4, 4, fixture::pixels(4, 4), fixture::palette());
    const auto changed = [&](size_t at, uint8_t value) {
        bytes b = good;
        b[at] = value;
        return b;
    };
    const bytes huge = fixture::hostile_pcx();
    // Cut to 60 %: the palette's end is gone, and the data is too short.
    const bytes big = fixture::pcx_file(64, 64, fixture::pixels(64, 64), fixture::palette());
    const bytes cut_big(big.begin(), big.begin() + static_cast<long>(big.size() * 6 / 10));
    struct refusal {
        const char* what;
        bytes file;
        uint32_t code;
        const char* reason;
    };
    const refusal cases[] = {
        {"not a PCX file", changed(0, 0x89), 9,
         "It is not a PCX file: a PCX file begins with the byte 10, this one with 137."},
        {"not run-length encoded", changed(2, 0), 9,
         "It is a PCX file without run-length encoding (encoding 0); save it as an ordinary "
         "run-length encoded PCX."},
        {"2 bits in 2 planes", [&] {
             bytes b = changed(3, 2);
             b[65] = 2;
             return b;
         }(),
         9,
         "It is a PCX file of 2 bits per pixel in 2 planes; Ostrel reads 1, 2, 4 or 8 bits in "
         "one plane, 1 bit in 2 to 4 planes (4 to 16 colours) and 8 bits in 3 or 4 planes (true "
         "colour)."},
        {"lines shorter than the width", changed(66, 3), 9,
         "Its lines are shorter than its width: 3 bytes per line where 4 are needed."},
        {"a huge size behind a small file", huge, 2,
         "The file is cut short: its 869 bytes of pixel data cannot hold a picture of "
         "32767x32767."},
        {"cut to 60 %", cut_big, 2,
         "The file is cut short: its pixel data ends before the last pixel of its 64x64 "
         "picture."},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.what);
        fixture::write_file(path, c.file);
        PICTURE picture;
        err_code = 0;
        clear_picture_reason();
        EXPECT_EQ(0, load_pcx_picture(path.c_str(), picture));
        EXPECT_EQ(err_code, c.code);
        EXPECT_STREQ(picture_reason(), c.reason);
        EXPECT_EQ(picture.pixels, nullptr);
    }
}

}  // namespace
