// The PNG module: what the writer puts into a file, what the reader makes of
// every colour type and bit depth it takes (interlaced or not), and the
// refusal, with its code and reason, of every kind of damaged or hostile
// file. The files are built in code (support/png_fixture.h) or written by
// the module itself; the tools' files are in png_tools_test.cpp.
#include "png/PNG.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "lib/GENERR.h"
#include "lib/GENMEM.h"
#include "support/fixture.h"
#include "support/png_fixture.h"

namespace {

using fixture::bytes;
namespace pf = png_fixture;

using fixture::distinct_palette;
using fixture::random_bytes;

bytes pixels_of(const PICTURE& picture) {
    const size_t count = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) *
                         picture.bytes_per_pixel();
    return bytes(picture.pixels.get(), picture.pixels.get() + count);
}

class PngTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!png_supported())
            GTEST_SKIP() << "NOTICE: this build has no PNG support (libpng not found)";
    }

    // Writes `data` to a file and loads it into `picture`.
    int load(const bytes& data) {
        const std::string path = dir.file("in.png");
        fixture::write_file(path, data);
        err_code = 0;
        return png_load(path.c_str(), picture);
    }

    fixture::temp_dir dir;
    PICTURE picture;
};

// The build says what it has: without libpng every call is refused, with
// the reason, and a PNG file is still recognised.
TEST(PngSupport, WithoutLibpngEverythingIsRefusedWithTheReason) {
    const bytes png = pf::encode({});
    EXPECT_TRUE(is_png_signature(png.data(), png.size()));
    EXPECT_FALSE(is_png_signature(png.data(), 7));
    const bytes pcx = fixture::pcx_file(1, 1, {0}, fixture::palette());
    EXPECT_FALSE(is_png_signature(pcx.data(), pcx.size()));
    if (png_supported())
        return;
    fixture::temp_dir dir;
    const std::string path = dir.file("in.png");
    fixture::write_file(path, png);
    PICTURE picture;
    EXPECT_EQ(0, png_load(path.c_str(), picture));
    EXPECT_EQ(9u, err_code);
    EXPECT_NE(nullptr, std::strstr(picture_reason(), "built without PNG support"));
    const uint8_t pixel = 0;
    EXPECT_EQ(0, png_save(dir.file("out.png").c_str(), 1, 1, &pixel, distinct_palette().data()));
    EXPECT_FALSE(fixture::file_exists(dir.file("out.png")));
}

// --- Writer -------------------------------------------------------------------

struct size_case {
    int32_t width, height;
};

void PrintTo(const size_case& c, std::ostream* out) {
    *out << c.width << " x " << c.height;
}

class PngRoundTrip : public PngTest, public ::testing::WithParamInterface<size_case> {};

// What is written is an 8-bit indexed PNG with all 256 palette entries and
// nothing else, and reads back exactly.
TEST_P(PngRoundTrip, WritesIndexedPngThatReadsBackExactly) {
    const auto [width, height] = GetParam();
    const size_t count = static_cast<size_t>(width) * height;
    const bytes pixels =
        width == 2048 ? bytes(count, 0xC3) : random_bytes(count, width * 31 + height);
    const bytes palette = random_bytes(768, 7);
    const std::string path = dir.file("out.png");
    err_code = 0;
    ASSERT_EQ(1, png_save(path.c_str(), width, height, pixels.data(), palette.data()));

    const bytes file = fixture::read_file(path);
    std::vector<std::string> types = pf::chunk_types(file);
    ASSERT_GE(types.size(), 4u);
    EXPECT_EQ("IHDR", types.front());
    EXPECT_EQ("PLTE", types[1]);
    EXPECT_EQ("IEND", types.back());
    EXPECT_TRUE(std::all_of(types.begin() + 2, types.end() - 1, [](const std::string& type) {
        return type == "IDAT";
    })) << "only IDAT between PLTE and IEND";
    EXPECT_EQ(pf::ihdr(static_cast<uint32_t>(width), static_cast<uint32_t>(height), 8, pf::indexed),
              pf::chunk_data(file, "IHDR"));
    EXPECT_EQ(palette, pf::chunk_data(file, "PLTE"));

    ASSERT_EQ(1, png_load(path.c_str(), picture)) << picture_reason();
    EXPECT_EQ(width, picture.width);
    EXPECT_EQ(height, picture.height);
    EXPECT_EQ(picture_kind::indexed, picture.kind);
    EXPECT_EQ(256u, picture.palette_entries);
    EXPECT_EQ(palette, bytes(picture.palette, picture.palette + 768));
    EXPECT_EQ(bytes(256, 255), bytes(picture.alpha, picture.alpha + 256));
    EXPECT_TRUE(pixels_of(picture) == pixels) << "pixels differ";
}

// Odd widths, both extremes of the side, and a flat picture that compresses
// far better than noise without passing for a decompression bomb.
INSTANTIATE_TEST_SUITE_P(Sizes, PngRoundTrip,
                         ::testing::Values(size_case{1, 1}, size_case{3, 5}, size_case{257, 3},
                                           size_case{32767, 1}, size_case{1, 32767},
                                           size_case{2048, 2048}),
                         [](const ::testing::TestParamInfo<size_case>& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

TEST_F(PngTest, SaveRefusesWhatItCannotWriteBeforeTouchingTheFile) {
    const bytes pixels(4, 1);
    const bytes palette = distinct_palette();
    const std::string path = dir.file("out.png");
    struct bad_case {
        const char* what;
        const char* path;
        int32_t width, height;
        const uint8_t* pixels;
        const uint8_t* palette;
    };
    const bad_case cases[] = {
        {"no path", nullptr, 2, 2, pixels.data(), palette.data()},
        {"no pixels", path.c_str(), 2, 2, nullptr, palette.data()},
        {"no palette", path.c_str(), 2, 2, pixels.data(), nullptr},
        {"width 0", path.c_str(), 0, 2, pixels.data(), palette.data()},
        {"height -1", path.c_str(), 2, -1, pixels.data(), palette.data()},
        {"width 32768", path.c_str(), 32768, 1, pixels.data(), palette.data()},
    };
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.what);
        err_code = 0;
        EXPECT_EQ(0, png_save(c.path, c.width, c.height, c.pixels, c.palette));
        EXPECT_EQ(8u, err_code);
        EXPECT_FALSE(fixture::file_exists(path));
    }
    err_code = 0;
    EXPECT_EQ(
        0, png_save(dir.file("no/such/dir/out.png").c_str(), 2, 2, pixels.data(), palette.data()));
    EXPECT_EQ(1u, err_code);
}

// A stream that takes no bytes: the failure is reported, never a success.
TEST_F(PngTest, WriteThatFailsIsAFailure) {
    const std::string path = dir.file("read-only.png");
    fixture::write_file(path, {});
    FILE* stream = std::fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, stream);
    const bytes pixels = random_bytes(64 * 64, 3);
    err_code = 0;
    EXPECT_EQ(0, png_write(stream, 64, 64, pixels.data(), distinct_palette().data()));
    EXPECT_EQ(3u, err_code);
    std::fclose(stream);
}

// --- Reader: what each colour type becomes --------------------------------------

struct colour_case {
    const char* name;
    pf::picture png;  // width, height and samples are filled in by the test
    picture_kind kind;
    int palette_entries;
    bytes alpha;  // the first entries of PICTURE::alpha (the rest 255)
    // The expected pixel bytes (1 or 4 per pixel) from the samples.
    bytes (*expected)(const std::vector<uint16_t>& samples);
};

void PrintTo(const colour_case& c, std::ostream* out) {
    *out << c.name;
}

constexpr uint32_t case_width = 11, case_height = 7;

// Samples that reach every value of the bit depth, different in every row;
// an alpha channel is 0 at every third pixel.
std::vector<uint16_t> samples_for(const pf::picture& png) {
    const int channels = pf::channels(png.colour_type);
    const uint32_t limit = png.colour_type == pf::indexed && png.before_data.size() > 0
                               ? static_cast<uint32_t>(png.before_data[0].data.size() / 3)
                               : 1u << png.bit_depth;
    std::vector<uint16_t> samples;
    for (uint32_t y = 0; y < case_height; ++y)
        for (uint32_t x = 0; x < case_width; ++x)
            for (int c = 0; c < channels; ++c)
                samples.push_back(
                    static_cast<uint16_t>((png.colour_type & 4) != 0 && c == channels - 1
                                              ? ((x + y) % 3 == 0 ? 0 : 128 + x)
                                              : (x * 5 + y * 3 + c * 11) % limit));
    return samples;
}

bytes as_bytes(const std::vector<uint16_t>& samples) {
    return bytes(samples.begin(), samples.end());
}

bytes rgb_to_rgba(const std::vector<uint16_t>& samples) {
    bytes out;
    for (size_t i = 0; i < samples.size(); i += 3)
        out.insert(out.end(),
                   {static_cast<uint8_t>(samples[i]), static_cast<uint8_t>(samples[i + 1]),
                    static_cast<uint8_t>(samples[i + 2]), 255});
    return out;
}

// Grey value 5 is the tRNS colour of the grey cases with transparency.
bytes grey_without_5(const std::vector<uint16_t>& samples) {
    bytes out = as_bytes(samples);
    std::replace(out.begin(), out.end(), uint8_t{5}, uint8_t{0});
    return out;
}

bytes grey_alpha_to_grey(const std::vector<uint16_t>& samples) {
    bytes out;
    for (size_t i = 0; i < samples.size(); i += 2)
        out.push_back(samples[i + 1] == 0 ? 0 : static_cast<uint8_t>(samples[i]));
    return out;
}

// Colour (0, 11, 22) is the tRNS colour of the RGB case with transparency.
bytes rgb_without_0_11_22(const std::vector<uint16_t>& samples) {
    bytes out = rgb_to_rgba(samples);
    for (size_t i = 0; i < out.size(); i += 4)
        if (out[i] == 0 && out[i + 1] == 11 && out[i + 2] == 22)
            out[i + 3] = 0;
    return out;
}

pf::picture png_of(int bit_depth, int colour_type, std::vector<pf::chunk> before = {}) {
    pf::picture p;
    p.bit_depth = bit_depth;
    p.colour_type = colour_type;
    p.before_data = std::move(before);
    return p;
}

const colour_case colour_cases[] = {
    {"Indexed1Bit", png_of(1, pf::indexed, {pf::plte(2)}), picture_kind::indexed, 2, {}, as_bytes},
    {"Indexed2BitThreeEntriesAndTrns",
     png_of(2, pf::indexed, {pf::plte(3), pf::trns({0, 128})}),
     picture_kind::indexed,
     3,
     {0, 128},
     as_bytes},
    {"Indexed4BitElevenEntries",
     png_of(4, pf::indexed, {pf::plte(11)}),
     picture_kind::indexed,
     11,
     {},
     as_bytes},
    {"Indexed8BitWithTrns",
     png_of(8, pf::indexed, {pf::plte(200), pf::trns(bytes(3, 7))}),
     picture_kind::indexed,
     200,
     {7, 7, 7},
     as_bytes},
    {"Grey1Bit", png_of(1, pf::grey), picture_kind::bare_indices, 0, {}, as_bytes},
    {"Grey2Bit", png_of(2, pf::grey), picture_kind::bare_indices, 0, {}, as_bytes},
    {"Grey4Bit", png_of(4, pf::grey), picture_kind::bare_indices, 0, {}, as_bytes},
    {"Grey8Bit", png_of(8, pf::grey), picture_kind::bare_indices, 0, {}, as_bytes},
    {"Grey4BitWithTrns",
     png_of(4, pf::grey, {pf::trns({0, 5})}),
     picture_kind::bare_indices,
     0,
     {},
     grey_without_5},
    {"GreyAlpha", png_of(8, pf::grey_alpha), picture_kind::bare_indices, 0, {}, grey_alpha_to_grey},
    {"Rgb", png_of(8, pf::rgb), picture_kind::true_colour, 0, {}, rgb_to_rgba},
    {"RgbWithTrns",
     png_of(8, pf::rgb, {pf::trns({0, 0, 0, 11, 0, 22})}),
     picture_kind::true_colour,
     0,
     {},
     rgb_without_0_11_22},
    {"Rgba", png_of(8, pf::rgba), picture_kind::true_colour, 0, {}, as_bytes},
};

class PngColourTypes : public PngTest,
                       public ::testing::WithParamInterface<std::tuple<colour_case, bool>> {};

TEST_P(PngColourTypes, ReadAsThePictureTheyHold) {
    const auto& [c, interlaced] = GetParam();
    pf::picture png = c.png;
    png.width = case_width;
    png.height = case_height;
    png.interlaced = interlaced;
    png.samples = samples_for(png);
    ASSERT_EQ(1, load(pf::encode(png))) << picture_reason();
    EXPECT_EQ(0u, err_code);
    EXPECT_STREQ("", picture_reason());
    EXPECT_EQ(static_cast<int32_t>(case_width), picture.width);
    EXPECT_EQ(static_cast<int32_t>(case_height), picture.height);
    EXPECT_EQ(c.kind, picture.kind);
    EXPECT_TRUE(pixels_of(picture) == c.expected(png.samples)) << "pixels differ";
    EXPECT_EQ(static_cast<uint32_t>(c.palette_entries), picture.palette_entries);
    if (c.kind == picture_kind::indexed) {
        const bytes plte = pf::plte(c.palette_entries).data;
        EXPECT_EQ(plte, bytes(picture.palette, picture.palette + plte.size()));
    }
    EXPECT_TRUE(std::all_of(picture.palette + 3 * c.palette_entries, picture.palette + 768,
                            [](uint8_t byte) { return byte == 0; }))
        << "entries beyond the palette are empty";
    bytes alpha = c.alpha;
    alpha.resize(256, 255);
    EXPECT_EQ(alpha, bytes(picture.alpha, picture.alpha + 256));
}

INSTANTIATE_TEST_SUITE_P(Kinds, PngColourTypes,
                         ::testing::Combine(::testing::ValuesIn(colour_cases), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<colour_case, bool>>& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Interlaced" : "");
                         });

// --- Reader: refusals ---------------------------------------------------------------

// A small indexed picture with transparency and a text chunk on either side
// of the data: every kind of chunk the reader meets.
pf::picture small_indexed() {
    pf::picture p = png_of(8, pf::indexed, {pf::plte(4), pf::trns({0}), {"tEXt", {'a', 0, 'b'}}});
    p.width = 3;
    p.height = 2;
    p.samples = {0, 1, 2, 3, 2, 1};
    p.after_data = {{"tIME", {7, 234, 1, 2, 3, 4, 5}}};
    return p;
}

pf::picture grey_picture(uint32_t width, uint32_t height, int bit_depth = 8,
                         int colour_type = pf::grey) {
    pf::picture p = png_of(bit_depth, colour_type);
    p.width = width;
    p.height = height;
    p.samples.assign(static_cast<size_t>(width) * height * pf::channels(colour_type), 1);
    return p;
}

struct refusal {
    const char* what;
    bytes file;
    uint32_t code;
    std::string reason;  // a part of picture_reason()
};

// IHDR, PLTE, ... with the IDAT of `p`'s picture replaced by raw filtered
// rows of the caller's choosing.
bytes with_rows(pf::picture p, const bytes& rows) {
    std::vector<pf::chunk> chunks = pf::chunks_of(p);
    for (pf::chunk& c : chunks)
        if (c.type == "IDAT")
            c.data = pf::zlib_stored(rows);
    return pf::file(chunks);
}

std::vector<pf::chunk> with_bad_crc(const std::string& type) {
    std::vector<pf::chunk> chunks = pf::chunks_of(small_indexed());
    for (pf::chunk& c : chunks)
        if (c.type == type)
            c.bad_crc = true;
    return chunks;
}

bytes with_ihdr(const bytes& header) {
    std::vector<pf::chunk> chunks = pf::chunks_of(small_indexed());
    chunks[0].data = header;
    return pf::file(chunks);
}

std::vector<refusal> refusals() {
    std::vector<refusal> cases;
    for (int colour_type : {pf::grey, pf::grey_alpha, pf::rgb, pf::rgba})
        cases.push_back({"16-bit samples", pf::encode(grey_picture(2, 2, 16, colour_type)), 9,
                         "16-bit samples"});
    for (const char* type : {"IHDR", "PLTE", "tRNS", "tEXt", "IDAT", "tIME", "IEND"})
        cases.push_back({type, pf::file(with_bad_crc(type)), 9, "CRC"});
    for (uint32_t side : {32768u, 40000u, 0x7FFFFFFFu}) {
        const std::string size = std::to_string(side);
        cases.push_back(
            {"wide", with_ihdr(pf::ihdr(side, 1, 8, pf::grey)), 9, "is " + size + " x 1 pixels"});
        cases.push_back(
            {"tall", with_ihdr(pf::ihdr(1, side, 8, pf::grey)), 9, "is 1 x " + size + " pixels"});
    }
    cases.push_back({"width 2^31", with_ihdr(pf::ihdr(0x80000000u, 1, 8, pf::grey)), 9, "damaged"});
    cases.push_back({"width 0", with_ihdr(pf::ihdr(0, 1, 8, pf::grey)), 9, "damaged"});
    cases.push_back({"bit depth 3", with_ihdr(pf::ihdr(3, 2, 3, pf::grey)), 9, "damaged"});

    for (int bit_depth : {2, 8}) {
        pf::picture beyond = small_indexed();
        beyond.bit_depth = bit_depth;
        beyond.before_data[0] = pf::plte(3);  // the samples hold index 3
        cases.push_back({"index 3 of 3 entries", pf::encode(beyond), 9,
                         "uses palette index 3, but its palette has 3 entries"});
    }
    pf::picture no_plte = small_indexed();
    no_plte.before_data.clear();
    cases.push_back({"indexed without PLTE", pf::encode(no_plte), 9, "damaged"});
    pf::picture long_trns = small_indexed();
    long_trns.before_data[1] = pf::trns(bytes(5, 0));
    cases.push_back({"tRNS longer than the palette", pf::encode(long_trns), 9, "tRNS"});
    // Rows of 1 filter byte and 3 indices.
    const bytes one_row = {0, 0, 1, 2};
    cases.push_back({"one row of two", with_rows(small_indexed(), one_row), 9, "damaged"});
    bytes three_rows = one_row;
    for (int i = 0; i < 2; ++i)
        three_rows.insert(three_rows.end(), one_row.begin(), one_row.end());
    cases.push_back({"three rows of two", with_rows(small_indexed(), three_rows), 9, "damaged"});
    bytes bad_filter = three_rows;
    bad_filter.resize(8);
    bad_filter[4] = 5;  // filter types end at 4
    cases.push_back({"filter type 5", with_rows(small_indexed(), bad_filter), 9, "damaged"});
    cases.push_back({"a PCX file", fixture::pcx_file(2, 2, {1, 2, 3, 4}, fixture::palette()), 9,
                     "not a PNG file"});
    cases.push_back({"nothing", {}, 2, "The file is empty."});
    return cases;
}

TEST_F(PngTest, DamagedAndUnsupportedFilesAreRefusedWithTheirReason) {
    for (const refusal& c : refusals()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(0, load(c.file));
        EXPECT_EQ(c.code, err_code);
        EXPECT_NE(nullptr, std::strstr(picture_reason(), c.reason.c_str())) << picture_reason();
        EXPECT_EQ(0, picture.width);
        EXPECT_EQ(nullptr, picture.pixels.get());
    }
}

TEST_F(PngTest, FileCutAnywhereIsRefusedAsCutShort) {
    const bytes whole = pf::encode(small_indexed());
    ASSERT_EQ(1, load(whole));
    for (size_t size = 1; size < whole.size(); ++size) {
        SCOPED_TRACE("cut to " + std::to_string(size) + " bytes");
        EXPECT_EQ(0, load(bytes(whole.begin(), whole.begin() + static_cast<long>(size))));
        EXPECT_EQ(2u, err_code);
        EXPECT_NE(nullptr, std::strstr(picture_reason(), "The file is cut short: it ends"))
            << picture_reason();
    }
    // The chunk where the file ends is named.
    const size_t into_idat = whole.size() - 12 - 12 - 7 - 4 - 1;
    EXPECT_EQ(0, load(bytes(whole.begin(), whole.begin() + static_cast<long>(into_idat))));
    EXPECT_NE(nullptr, std::strstr(picture_reason(), "ends inside its IDAT chunk"))
        << picture_reason();
}

TEST_F(PngTest, MissingFileIsNotOpened) {
    err_code = 0;
    EXPECT_EQ(0, png_load(dir.file("absent.png").c_str(), picture));
    EXPECT_EQ(1u, err_code);
    EXPECT_TRUE(picture.pixels == nullptr);
}

// --- Reader: decompression bombs ------------------------------------------------------

size_t largest_request = 0;

void* recording_allocator(size_t size) {
    largest_request = std::max(largest_request, size);
    return std::malloc(size);
}

// A picture larger than its file could hold even at deflate's best ratio is
// refused before its pixels are allocated.
TEST_F(PngTest, PictureLargerThanItsFileCouldHoldIsRefusedBeforeAllocating) {
    struct bomb {
        const char* what;
        uint32_t width, height;
        int colour_type;
    };
    const bomb bombs[] = {{"30000 x 30000 grey", 30000, 30000, pf::grey},
                          {"32767 x 32767 RGBA", 32767, 32767, pf::rgba},
                          {"32767 x 600 grey", 32767, 600, pf::grey}};
    for (const bomb& b : bombs) {
        SCOPED_TRACE(b.what);
        // The IHDR says so; the data is that of a small picture.
        std::vector<pf::chunk> chunks = pf::chunks_of(grey_picture(4, 4));
        chunks[0].data = pf::ihdr(b.width, b.height, 8, b.colour_type);
        largest_request = 0;
        set_allocator_for_testing(recording_allocator);
        const int loaded = load(pf::file(chunks));
        set_allocator_for_testing(nullptr);
        EXPECT_EQ(0, loaded);
        EXPECT_EQ(9u, err_code);
        EXPECT_NE(nullptr, std::strstr(picture_reason(), "more than its")) << picture_reason();
        EXPECT_LT(largest_request, 64u * 1024) << "nothing of the picture's size was allocated";
    }
}

}  // namespace
