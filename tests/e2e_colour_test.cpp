// The colours of an import end to end: whatever order a paint program gave
// the palette, and whether it saved indices or true colour, the game shows
// the colours the user saw; a colour the image's palette lacks is refused
// before anything is written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "pcx/PCX.h"
#include "picture/PICTURE.h"
#include "support/fixture.h"
#include "support/tools.h"
#include "support/run.h"

namespace {

using fixture::bytes;
using run::fatal_report;
using run::workspace;

// Colours of 256 distinct values, so every colour has one index.
bytes distinct_palette(uint8_t seed) {
    bytes p(768);
    for (int i = 0; i < 256; ++i) {
        p[3 * i] = static_cast<uint8_t>(i + seed);
        p[3 * i + 1] = static_cast<uint8_t>(255 - i);
        p[3 * i + 2] = static_cast<uint8_t>(i * 3 + seed);
    }
    return p;
}

// Image 1 without a colour map (the palette file's colours), image 2 with
// its own; both pictures 12 x 6 using many colours.
std::vector<fixture::image> images() {
    std::vector<fixture::image> list = {fixture::simple_image("WALL", 12, 6, false, true, 1),
                                        fixture::simple_image("SKY", 12, 6, true, true, 2)};
    list[1].records[2].content = distinct_palette(40);  // BHDR, IFHD, CMAP, DATA, END
    return list;
}

bytes edited_pixels() {
    bytes px(12 * 6);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<uint8_t>((i * 37) % 251 + (i % 4 == 0 ? 4 : 0));
    return px;
}

void standard_files(const workspace& ws) {
    ws.put("TEXBSI.001", fixture::texture_file(images()));
    ws.put("redguard.col", distinct_palette(0));
    ws.put_text("ostrel.ini", "");
}

// The texture after image `index` (from 1) received `px`.
bytes expected_texture(int index, const bytes& px) {
    std::vector<fixture::image> list = images();
    list[index - 1] = fixture::with_picture(list[index - 1], 12, 6, px);
    return fixture::texture_file(list);
}

// The same colours in another order: picture index n holds old colour order[n].
void reorder(const bytes& px, const bytes& palette, unsigned seed, bytes& out_px,
             bytes& out_palette) {
    std::vector<int> order(256);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    std::vector<uint8_t> position(256);
    out_palette.assign(768, 0);
    for (int n = 0; n < 256; ++n) {
        std::memcpy(&out_palette[3 * n], &palette[3 * order[n]], 3);
        position[order[n]] = static_cast<uint8_t>(n);
    }
    out_px.clear();
    for (uint8_t v : px)
        out_px.push_back(position[v]);
}

// The pixels as true colour, in planes of red, green, blue (and alpha).
bytes true_colour_lines(const bytes& px, const bytes& palette, int planes, int width) {
    bytes lines;
    for (size_t row = 0; row < px.size() / width; ++row)
        for (int p = 0; p < planes; ++p)
            for (int x = 0; x < width; ++x) {
                const uint8_t v = px[row * width + x];
                lines.push_back(p == 3 ? (v == 0 ? 0 : 255) : palette[3 * v + p]);
            }
    return lines;
}

size_t colours_in(const bytes& px) {
    std::vector<bool> used(256);
    for (uint8_t v : px)
        used[v] = true;
    return static_cast<size_t>(std::count(used.begin(), used.end(), true));
}

// Indices in any palette order, and true colour in 3 and 4 planes, all give
// the very texture that a picture saved with the exported palette gives.
TEST(Colours, EveryWayOfSavingTheSameColoursGivesTheSameTexture) {
    const bytes px = edited_pixels();
    const std::string n = std::to_string(colours_in(px));
    for (int index : {1, 2}) {
        SCOPED_TRACE(index);
        const bytes palette = index == 1 ? distinct_palette(0) : distinct_palette(40);
        bytes moved_px, moved_palette;
        reorder(px, palette, 9, moved_px, moved_palette);
        bytes alpha_px = px;
        alpha_px[5] = 0;  // a transparent pixel: index 0 in the game
        struct way {
            const char* what;
            bytes file;
            bytes pixels;  // what the image gets
            std::string line;
        };
        const std::string image = std::to_string(index);
        const way ways[] = {
            {"the exported palette", fixture::pcx_file(12, 6, px, palette), px, ""},
            {"the palette reordered", fixture::pcx_file(12, 6, moved_px, moved_palette), px,
             "   " + n + " of the " + n +
                 " colours of 'in.pcx' were matched to other indices of the palette of image " +
                 image + ".\n"},
            {"24-bit", fixture::pcx_layout_file(12, 6, 8, 3, 12, true_colour_lines(px, palette, 3, 12), {}, {}), px,
             "   The " + n + " colours of 'in.pcx' were matched to the palette of image " + image +
                 ".\n"},
            {"32-bit with a transparent pixel",
             fixture::pcx_layout_file(12, 6, 8, 4, 12, true_colour_lines(alpha_px, palette, 4, 12),
                                      {}, {}),
             alpha_px,
             "   The " + std::to_string(colours_in(alpha_px)) +
                 " colours of 'in.pcx' were matched to the palette of image " + image + ".\n"},
        };
        for (const way& w : ways) {
            SCOPED_TRACE(w.what);
            workspace ws;
            standard_files(ws);
            ws.put("in.pcx", w.file);
            const run::result r = ws.run({"/2TEX", "/i:" + image, "TEXBSI.001", "in.pcx"});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, w.line + "   Successfully saved texture file 'TEXBSI.001'...");
            EXPECT_EQ(ws.bytes("TEXBSI.001"), expected_texture(index, w.pixels));
        }
    }
}

// Pictures written by real tools from an exported picture: ImageMagick
// (which reorders the palette, and writes true colour when asked) and a
// netpbm round trip. Each gives back the texture byte for byte.
TEST(Colours, PicturesRewrittenByPaintToolsImportUnchanged) {
    struct tool {
        const char* what;
        const char* program;
        std::string command;
    };
    using tools::convert;
    using tools::ppmtopcx;
    const std::string netpbm =
        std::string(tools::pcxtoppm) + " out.pcx | " + tools::ppmtopcx;
    const tool programs[] = {
        {"ImageMagick, palette", convert, std::string(convert) + " out.pcx -type Palette in.pcx"},
        {"ImageMagick, true colour", convert,
         std::string(convert) + " out.pcx -type TrueColor in.pcx"},
        {"ImageMagick, RGBA", convert, std::string(convert) + " out.pcx -type TrueColorAlpha in.pcx"},
        {"netpbm round trip", ppmtopcx, netpbm + " > in.pcx"},
        {"netpbm, 24-bit", ppmtopcx, netpbm + " -24bit > in.pcx"},
    };
    for (const tool& t : programs) {
        SCOPED_TRACE(t.what);
        if (!tools::have(t.program) || !tools::have(tools::pcxtoppm)) {
            std::cout << "NOTICE: " << t.program << " not installed; " << t.what << " skipped\n";
            continue;
        }
        workspace ws;
        standard_files(ws);
        const bytes original = ws.bytes("TEXBSI.001");
        ASSERT_EQ(ws.run({"/i:2", "TEXBSI.001", "out.pcx"}, "y").status, 1);
        ws.put("out.pcx", fixture::read_file(ws.path("out01.pcx")));
        ASSERT_EQ(std::system(("cd '" + ws.path() + "' && " + t.command + " 2>/dev/null").c_str()), 0);
        const run::result r = ws.run({"/2TEX", "/i:2", "TEXBSI.001", "in.pcx"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
    }
}

// A netpbm round trip of a picture of few colours comes back as 1 bit in
// 3 planes, with the colours in another order.
TEST(Colours, NetpbmRoundTripOfFewColours) {
    if (!tools::have(tools::pcxtoppm) || !tools::have(tools::ppmtopcx))
        GTEST_SKIP() << "NOTICE: netpbm not installed";
    workspace ws;
    std::vector<fixture::image> list = images();
    bytes few(12 * 6);
    for (size_t i = 0; i < few.size(); ++i)
        few[i] = static_cast<uint8_t>(200 + (i * 5 % 7));  // 7 colours
    list[0] = fixture::with_picture(list[0], 12, 6, few);
    ws.put("TEXBSI.001", fixture::texture_file(list));
    ws.put("redguard.col", distinct_palette(0));
    const bytes original = ws.bytes("TEXBSI.001");
    ASSERT_EQ(ws.run({"/i:1", "TEXBSI.001", "out.pcx"}, "y").status, 1);
    ASSERT_EQ(std::system(("cd '" + ws.path() + "' && " + tools::pcxtoppm + " out00.pcx | " +
                           tools::ppmtopcx + " > in.pcx 2>/dev/null")
                              .c_str()),
              0);
    const bytes written = ws.bytes("in.pcx");
    ASSERT_GT(written.size(), 66u);
    EXPECT_EQ(written[3], 1);  // bits per pixel
    EXPECT_EQ(written[65], 3);  // planes
    const run::result r = ws.run({"/2TEX", "/i:1", "TEXBSI.001", "in.pcx"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
}

// 16-colour and black-and-white pictures: their few colours, found in the
// image's palette wherever they stand there.
TEST(Colours, FewColourPicturesFindTheirColours) {
    bytes header(48);
    for (int i = 0; i < 16; ++i) {
        const bytes p = distinct_palette(0);
        std::memcpy(&header[3 * i], &p[3 * (i * 16 + 3)], 3);  // colour i is index 16 i + 3
    }
    // 4 bits, 12 x 6: index (x + y) % 16.
    bytes lines;
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 12; x += 2)
            lines.push_back(static_cast<uint8_t>(((x + y) % 16) << 4 | (x + 1 + y) % 16));
    bytes expected;
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 12; ++x)
            expected.push_back(static_cast<uint8_t>(((x + y) % 16) * 16 + 3));
    workspace ws;
    standard_files(ws);
    ws.put("ega.pcx", fixture::pcx_layout_file(12, 6, 4, 1, 6, lines, header, {}));
    EXPECT_EQ(ws.run({"/2TEX", "/i:1", "TEXBSI.001", "ega.pcx"}).status, 1);
    EXPECT_EQ(ws.bytes("TEXBSI.001"), expected_texture(1, expected));

    // Black and white, into a palette holding both (black at 7, white at 9).
    bytes palette = distinct_palette(0);
    std::memset(&palette[3 * 7], 0, 3);
    std::memset(&palette[3 * 9], 255, 3);
    ws.put("redguard.col", palette);
    ws.put("TEXBSI.001", fixture::texture_file(images()));
    const bytes mono_lines = {0xF0, 0x0F, 0xAA, 0x55, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0};
    ws.put("mono.pcx", fixture::pcx_layout_file(12, 6, 1, 1, 2, mono_lines, {}, {}));
    EXPECT_EQ(ws.run({"/2TEX", "/i:1", "TEXBSI.001", "mono.pcx"}).status, 1);
    bytes mono;
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 12; ++x) {
            const uint8_t byte = mono_lines[y * 2 + x / 8];
            mono.push_back(byte >> (7 - x % 8) & 1 ? 9 : 7);
        }
    std::vector<fixture::image> list = images();
    list[0] = fixture::with_picture(list[0], 12, 6, mono);
    EXPECT_EQ(ws.bytes("TEXBSI.001"), fixture::texture_file(list));
}

TEST(Colours, MissingColoursAreRefusedAndNamed) {
    const bytes px = edited_pixels();
    bytes palette = distinct_palette(40);
    bytes foreign = palette;
    foreign[3 * px[14]] ^= 0x80;  // pixel 14 (2, 1) and every other of its index
    foreign[3 * px[20] + 2] ^= 0x01;
    workspace ws;
    standard_files(ws);
    const bytes original = ws.bytes("TEXBSI.001");
    ws.put("wall.pcx", fixture::pcx_file(12, 6, px, foreign));
    const run::result r = ws.run({"/2TEX", "/i:2", "TEXBSI.001", "wall.pcx"});
    EXPECT_EQ(r.status, 0);
    char first[8];
    std::snprintf(first, sizeof first, "#%02X%02X%02X", foreign[3 * px[14]],
                  foreign[3 * px[14] + 1], foreign[3 * px[14] + 2]);
    EXPECT_EQ(r.out, fatal_report("Invalid input received!",
                                  "Error: 2 colours of 'wall.pcx' are not in the palette of image "
                                  "2 (first: " + std::string(first) + " at 2,1)!\n"
                                  "   Paint with the colours of the palette that the export "
                                  "gives this image only (see \"Colours\" in the README)."));
    EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
    EXPECT_EQ(ws.files(), (std::vector<std::string>{"TEXBSI.001", "ostrel.ini", "ostrel.log",
                                                    "redguard.col", "wall.pcx"}));
}

// "/r" takes the indices as they are, whatever the palettes say; so does a
// PCX without a palette. True colour has no indices to take.
TEST(Colours, RawIndices) {
    const bytes px = edited_pixels();
    workspace ws;
    standard_files(ws);
    ws.put("other.pcx", fixture::pcx_file(12, 6, px, fixture::palette(99)));
    const run::result r = ws.run({"/2TEX", "/R", "/i:2", "TEXBSI.001", "other.pcx"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "   Successfully saved texture file 'TEXBSI.001'...");
    EXPECT_EQ(ws.bytes("TEXBSI.001"), expected_texture(2, px));

    standard_files(ws);
    bytes no_marker = fixture::pcx_file(12, 6, px, fixture::palette(99));
    no_marker.resize(no_marker.size() - 769);
    ws.put("bare.pcx", no_marker);
    EXPECT_EQ(ws.run({"/2TEX", "/i:2", "TEXBSI.001", "bare.pcx"}).status, 1);
    EXPECT_EQ(ws.bytes("TEXBSI.001"), expected_texture(2, px));

    standard_files(ws);
    const bytes original = ws.bytes("TEXBSI.001");
    ws.put("rgb.pcx", fixture::pcx_layout_file(12, 6, 8, 3, 12,
                                               true_colour_lines(px, distinct_palette(40), 3, 12),
                                               {}, {}));
    const run::result refused = ws.run({"/2TEX", "/r", "/i:2", "TEXBSI.001", "rgb.pcx"});
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(refused.out,
              fatal_report("Invalid input received!",
                           "Error loading PCX file 'rgb.pcx'!\n   It is a true-colour picture, "
                           "which has no indices to take as they are; import it without /r, or "
                           "save it as a 256-colour picture."));
    EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
}

// Real pictures of every layout (1 and 4 bits, EGA planes, 256 colours, true
// colour) into an image whose colour map holds their colours in another
// order: every pixel shows in the game the colour the file shows, a
// transparent one is index 0; a picture of more than 256 colours is refused.
TEST(Colours, CorpusPicturesShowTheirColours) {
    const std::string shared = fixture::shared_dir();
    if (shared.empty())
        GTEST_SKIP() << "NOTICE: no shared corpus beside the repository";
    int imported = 0;
    for (const auto& entry : std::filesystem::directory_iterator(shared + "/corpus/pcx")) {
        const std::string path = entry.path().string();
        if (!entry.is_regular_file() || path.substr(path.size() - 4) != ".pcx")
            continue;
        SCOPED_TRACE(path);
        PICTURE picture;
        ASSERT_EQ(1, load_pcx_picture(path.c_str(), picture));
        if (picture.kind == picture_kind::bare_indices)
            continue;
        // The colour each pixel shows (-1: transparent), and the distinct ones.
        const size_t count = static_cast<size_t>(picture.width) * picture.height;
        std::vector<int64_t> shown(count);
        std::map<int64_t, int> distinct;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* c = picture.kind == picture_kind::true_colour
                                   ? picture.pixels.get() + 4 * i
                                   : picture.palette + 3 * picture.pixels.get()[i];
            const bool clear = picture.kind == picture_kind::true_colour && c[3] == 0;
            shown[i] = clear ? -1 : (int64_t{c[0]} << 16 | c[1] << 8 | c[2]);
            if (!clear)
                distinct.emplace(shown[i], 0);
        }
        // The colours from index 255 down, so that few of them keep their index.
        bytes palette(768, 0);
        int next = 255;
        for (auto& colour : distinct) {
            if (next < 0)
                break;
            colour.second = next;
            palette[3 * next] = static_cast<uint8_t>(colour.first >> 16);
            palette[3 * next + 1] = static_cast<uint8_t>(colour.first >> 8);
            palette[3 * next + 2] = static_cast<uint8_t>(colour.first);
            --next;
        }
        fixture::image image = fixture::simple_image("REAL", 4, 4, true);
        image.records[2].content = palette;  // BHDR, IFHD, CMAP, DATA, END
        workspace ws;
        ws.put("TEXBSI.001", fixture::texture_file({image}));
        ws.put("redguard.col", fixture::palette());
        ws.put("real.pcx", fixture::read_file(path));
        const bytes before = ws.bytes("TEXBSI.001");
        const run::result r = ws.run({"/2TEX", "/i:1", "TEXBSI.001", "real.pcx"});
        if (distinct.size() > 256) {
            EXPECT_EQ(r.status, 0);
            EXPECT_NE(r.out.find("are not in the palette of image 1"), std::string::npos);
            EXPECT_EQ(ws.bytes("TEXBSI.001"), before);
            continue;
        }
        ASSERT_EQ(r.status, 1) << r.out;
        const bytes texture = ws.bytes("TEXBSI.001");
        const size_t data_at = 9 + 4 + (8 + 26) + (8 + 44) + (8 + 768) + 8;
        ASSERT_GE(texture.size(), data_at + count);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t index = texture[data_at + i];
            const int64_t colour = int64_t{palette[3 * index]} << 16 | palette[3 * index + 1] << 8 |
                                   palette[3 * index + 2];
            if (shown[i] < 0 ? index != 0 : colour != shown[i]) {
                ADD_FAILURE() << "pixel " << i << " shows another colour";
                break;
            }
        }
        ++imported;
    }
    EXPECT_GE(imported, 10);
}

}  // namespace
