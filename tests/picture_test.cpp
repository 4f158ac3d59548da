// The colour rule: which palette indices show a picture's pixels in the
// colours the user saw, and which pictures are refused.
#include "picture/PICTURE.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "lib/GENERR.h"
#include "support/fixture.h"

namespace {

using fixture::bytes;

// A target palette of 256 distinct colours, as an image's colour map is.
bytes target() {
    return fixture::distinct_palette();
}

void fill(PICTURE& picture, picture_kind kind, int width, int height, const bytes& pixels,
          const bytes& palette = {}) {
    picture.clear();
    picture.kind = kind;
    picture.width = width;
    picture.height = height;
    picture.pixels = create_bytes(static_cast<uint32_t>(pixels.size()));
    std::copy(pixels.begin(), pixels.end(), picture.pixels.get());
    std::copy_n(palette.begin(), std::min<size_t>(palette.size(), 768), picture.palette);
    picture.palette_entries = static_cast<uint32_t>(palette.size() / 3);
    std::memset(picture.alpha, 255, sizeof picture.alpha);
}

bytes mapped(const PICTURE& picture, const bytes& palette, colour_report& report,
             bool raw = false) {
    bytes out(static_cast<size_t>(picture.width) * picture.height);
    err_code = 0;
    if (map_colours(picture, palette.data(), raw, out.data(), report) == 0)
        return {};
    return out;
}

bytes some_indices(size_t count, unsigned seed) {
    return fixture::random_bytes(count, seed);
}

// Saved with the exported palette: the indices stay, byte for byte. Saved
// with the palette reordered: the same indices come back.
TEST(ColourRule, ExportedOrReorderedPaletteGivesTheSameIndices) {
    const bytes palette = target();
    const bytes indices = some_indices(40 * 30, 1);
    PICTURE picture;
    colour_report report;
    fill(picture, picture_kind::indexed, 40, 30, indices, palette);
    EXPECT_EQ(mapped(picture, palette, report), indices);
    EXPECT_EQ(report.moved, 0u);

    // A paint program moved every colour: new index n holds old colour order[n].
    std::vector<int> order(256);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    std::vector<int> position(256);
    bytes reordered(768);
    for (int n = 0; n < 256; ++n) {
        std::memcpy(&reordered[3 * n], &palette[3 * order[n]], 3);
        position[order[n]] = n;
    }
    bytes saved(indices.size());
    for (size_t i = 0; i < indices.size(); ++i)
        saved[i] = static_cast<uint8_t>(position[indices[i]]);
    fill(picture, picture_kind::indexed, 40, 30, saved, reordered);
    EXPECT_EQ(mapped(picture, palette, report), indices);
    EXPECT_GT(report.moved, 200u);
    std::vector<bool> used(256);
    for (uint8_t v : indices)
        used[v] = true;
    EXPECT_EQ(report.colours, static_cast<uint32_t>(std::count(used.begin(), used.end(), true)));
}

// A colour the target holds twice: the picture's index stays where its
// colour matches there; elsewhere the lowest index of that colour wins. A
// palette entry with alpha 0 is the transparent index 0.
TEST(ColourRule, DuplicateColoursAndTransparentEntries) {
    bytes palette = target();
    std::memcpy(&palette[3 * 9], &palette[3 * 4], 3);  // index 9 repeats index 4's colour
    bytes picture_palette = palette;
    std::memcpy(&picture_palette[3 * 30], &palette[3 * 4], 3);  // and so does index 30 here
    PICTURE picture;
    fill(picture, picture_kind::indexed, 5, 1, {4, 9, 30, 31, 12}, picture_palette);
    picture.alpha[31] = 0;
    colour_report report;
    EXPECT_EQ(mapped(picture, palette, report), (bytes{4, 9, 4, 0, 12}));
    EXPECT_EQ(report.colours, 5u);
    EXPECT_EQ(report.moved, 2u);
}

TEST(ColourRule, TrueColourTakesTheLowestIndexOfEachColour) {
    bytes palette = target();
    std::memcpy(&palette[3 * 200], &palette[3 * 100], 3);
    const auto c = [&](int i, uint8_t alpha = 255) {
        return bytes{palette[3 * i], palette[3 * i + 1], palette[3 * i + 2], alpha};
    };
    bytes rgba;
    for (const bytes& px : {c(200), c(100), c(7), c(7, 128), bytes{1, 2, 3, 0}, c(0)})
        rgba.insert(rgba.end(), px.begin(), px.end());
    PICTURE picture;
    fill(picture, picture_kind::true_colour, 3, 2, rgba);
    colour_report report;
    // Half opacity keeps its colour; full transparency is index 0.
    EXPECT_EQ(mapped(picture, palette, report), (bytes{100, 100, 7, 7, 0, 0}));
    EXPECT_EQ(report.colours, 4u);  // 100's colour, 7's colour, transparent, 0's colour
    EXPECT_EQ(report.missing, 0u);
}

// Missing colours: counted once each, the first pixel of one named.
TEST(ColourRule, MissingColoursAreCountedAndTheFirstNamed) {
    const bytes palette = target();
    PICTURE picture;
    colour_report report;
    const bytes rgba = {0, 255, 0, 255,   9, 9, 9, 255,   1, 254, 7, 255,
                        9, 9, 9, 255,     8, 8, 8, 255,   5, 5, 5, 0};
    fill(picture, picture_kind::true_colour, 3, 2, rgba);
    EXPECT_TRUE(mapped(picture, palette, report).empty());
    EXPECT_EQ(err_code, 9u);
    EXPECT_EQ(report.missing, 2u);
    EXPECT_EQ(report.first_x, 1);
    EXPECT_EQ(report.first_y, 0);
    EXPECT_EQ(bytes(report.first_colour, report.first_colour + 3), (bytes{9, 9, 9}));

    // Indexed: the earliest pixel of any missing colour, whatever its index.
    bytes picture_palette = palette;
    const uint8_t odd[3] = {3, 3, 3};
    const uint8_t odder[3] = {4, 4, 4};
    std::memcpy(&picture_palette[3 * 2], odd, 3);
    std::memcpy(&picture_palette[3 * 200], odder, 3);
    fill(picture, picture_kind::indexed, 4, 2, {1, 1, 1, 1, 200, 2, 2, 200}, picture_palette);
    EXPECT_TRUE(mapped(picture, palette, report).empty());
    EXPECT_EQ(report.missing, 2u);
    EXPECT_EQ(report.first_x, 0);
    EXPECT_EQ(report.first_y, 1);
    EXPECT_EQ(bytes(report.first_colour, report.first_colour + 3), (bytes{4, 4, 4}));
}

// Indices without a palette, and "/r", go in as they are; "/r" has nothing
// to take from a true-colour picture.
TEST(ColourRule, RawAndBareIndicesStayAsTheyAre) {
    const bytes palette = target();
    bytes other = fixture::palette(3);
    const bytes indices = some_indices(64, 2);
    PICTURE picture;
    colour_report report;
    fill(picture, picture_kind::bare_indices, 8, 8, indices);
    EXPECT_EQ(mapped(picture, palette, report), indices);
    fill(picture, picture_kind::indexed, 8, 8, indices, other);
    EXPECT_EQ(mapped(picture, palette, report, true), indices);
    EXPECT_EQ(report.moved, 0u);

    fill(picture, picture_kind::true_colour, 1, 1, {0, 255, 0, 255});
    clear_picture_reason();
    EXPECT_TRUE(mapped(picture, palette, report, true).empty());
    EXPECT_EQ(err_code, 9u);
    EXPECT_NE(std::strstr(picture_reason(), "true-colour"), nullptr);
}

// The picture's own buffer may take the indices.
TEST(ColourRule, MapsInPlace) {
    const bytes palette = target();
    bytes shifted(768);
    for (int n = 0; n < 256; ++n)
        std::memcpy(&shifted[3 * n], &palette[3 * ((n + 1) % 256)], 3);
    PICTURE picture;
    fill(picture, picture_kind::indexed, 3, 1, {0, 1, 255}, shifted);
    colour_report report;
    ASSERT_EQ(1, map_colours(picture, palette.data(), false, picture.pixels.get(), report));
    EXPECT_EQ(bytes(picture.pixels.get(), picture.pixels.get() + 3), (bytes{1, 2, 0}));
}

}  // namespace
