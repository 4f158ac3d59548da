// Ostrel against the image tools modders use, through the real program:
// the PCX files it exports must show the same colours in Pillow, netpbm and
// ImageMagick, and the 8-bit PCX files those tools write must import with
// the right pixel indices. Each tool's test is skipped, with a notice,
// where the tool is not installed.
#include <gtest/gtest.h>

#include <iostream>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/tools.h"
#include "support/run.h"

namespace {

using fixture::bytes;
using run::workspace;

using tools::convert;
using tools::pcxtoppm;
using tools::ppmtopcx;
using tools::have;
using tools::have_pillow;
using tools::python;

bool shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// A binary PPM (P6, maxval 255): width, height and the RGB bytes.
struct rgb_image {
    int width = 0, height = 0;
    bytes rgb;
};

rgb_image read_ppm(const std::string& path) {
    const bytes data = fixture::read_file(path);
    rgb_image image;
    size_t at = 0;
    auto token = [&]() {
        std::string out;
        while (at < data.size()) {
            if (data[at] == '#') {
                while (at < data.size() && data[at] != '\n')
                    ++at;
            } else if (std::isspace(data[at])) {
                ++at;
            } else {
                break;
            }
        }
        while (at < data.size() && !std::isspace(data[at]))
            out.push_back(static_cast<char>(data[at++]));
        return out;
    };
    if (token() != "P6")
        return image;
    image.width = std::atoi(token().c_str());
    image.height = std::atoi(token().c_str());
    if (token() != "255")
        return rgb_image();
    ++at;  // the one whitespace byte before the samples
    if (at <= data.size())
        image.rgb.assign(data.begin() + static_cast<long>(at), data.end());
    return image;
}

void write_ppm(const std::string& path, int width, int height, const bytes& rgb) {
    const std::string head =
        "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    bytes out(head.begin(), head.end());
    out.insert(out.end(), rgb.begin(), rgb.end());
    fixture::write_file(path, out);
}

bytes colours_of(const bytes& indices, const bytes& palette) {
    bytes rgb;
    rgb.reserve(indices.size() * 3);
    for (uint8_t index : indices)
        rgb.insert(rgb.end(), palette.begin() + 3 * index, palette.begin() + 3 * index + 3);
    return rgb;
}

// An odd width, runs longer than one unit holds, values above 0xC0 standing
// alone and in runs.
bytes picture(int width, int height) {
    bytes px(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            px[static_cast<size_t>(y) * width + x] =
                y % 3 == 0 ? static_cast<uint8_t>(x < 66 ? 0xC9 : 0xC0 + x % 7)
                           : static_cast<uint8_t>((x * 3 + y * 7) % 97 + (x % 5 == 0 ? 150 : 0));
    return px;
}

using fixture::with_picture;

// --- What Ostrel exports, read by the tools ----------------------------------

struct reader {
    const char* id;  // the test's name
    const char* name;
    bool (*available)();
    // Decodes a PCX file into a P6 PPM file.
    std::string (*command)(const std::string& pcx, const std::string& ppm);
};

const reader readers[] = {
    {"Pillow", "Pillow", have_pillow,
     [](const std::string& pcx, const std::string& ppm) {
         return std::string(python) +
                " -c 'import sys; from PIL import Image; "
                "Image.open(sys.argv[1]).convert(\"RGB\").save(sys.argv[2], \"PPM\")' " +
                quoted(pcx) + " " + quoted(ppm);
     }},
    {"Pcxtoppm", "netpbm's pcxtoppm", [] { return have(pcxtoppm); },
     [](const std::string& pcx, const std::string& ppm) {
         return std::string(pcxtoppm) + " " + quoted(pcx) + " > " + quoted(ppm) + " 2>/dev/null";
     }},
    {"ImageMagick", "ImageMagick's convert", [] { return have(convert); },
     [](const std::string& pcx, const std::string& ppm) {
         return std::string(convert) + " " + quoted(pcx) + " ppm:" + quoted(ppm);
     }},
};

void PrintTo(const reader& tool, std::ostream* out) {
    *out << tool.name;
}

class ExportReadBy : public ::testing::TestWithParam<reader> {};

TEST_P(ExportReadBy, SameColours) {
    const reader& tool = GetParam();
    if (!tool.available())
        GTEST_SKIP() << "NOTICE: " << tool.name << " not installed";
    // One image with its own colour map, one that takes the palette file's.
    constexpr int width = 101, height = 7;
    const bytes px = picture(width, height);
    const std::vector<fixture::image> images = {
        with_picture(fixture::simple_image("SKY01", 4, 4, true, true, 5), width, height, px),
        with_picture(fixture::simple_image("WALL", 4, 4, false), 33, 3, picture(33, 3))};
    workspace ws;
    ws.put("TEXBSI.001", fixture::texture_file(images));
    ws.put("redguard.col", fixture::palette(2));
    ws.put_text("ostrel.ini", "");
    const run::result r = ws.run({"TEXBSI.001"}, "yy");
    ASSERT_EQ(r.status, 1) << r.out;

    const struct {
        std::string file;
        int width, height;
        bytes rgb;
    } exported[] = {{"sky01.pcx", width, height, colours_of(px, fixture::cmap(5))},
                    {"wall.pcx", 33, 3, colours_of(picture(33, 3), fixture::palette(2))}};
    for (const auto& e : exported) {
        SCOPED_TRACE(e.file);
        const std::string ppm = ws.path(e.file + ".ppm");
        ASSERT_TRUE(shell(tool.command(ws.path(e.file), ppm)));
        const rgb_image decoded = read_ppm(ppm);
        EXPECT_EQ(decoded.width, e.width);
        EXPECT_EQ(decoded.height, e.height);
        // Both palettes hold 256 distinct colours, so equal colours mean
        // equal indices.
        EXPECT_TRUE(decoded.rgb == e.rgb) << "colours differ";
    }
}

INSTANTIATE_TEST_SUITE_P(InteropTools, ExportReadBy, ::testing::ValuesIn(readers),
                         [](const ::testing::TestParamInfo<reader>& info) {
                             return std::string(info.param.id);
                         });

// --- What the tools write, imported by Ostrel -----------------------------------

// The picture the tools are given: its indices, and their colours in a
// palette of 256 distinct colours (so a colour names one index).
constexpr int source_width = 75, source_height = 9;

bytes source_palette() {
    bytes palette(768);
    for (int i = 0; i < 256; ++i) {
        palette[3 * i] = static_cast<uint8_t>(i * 5);
        palette[3 * i + 1] = static_cast<uint8_t>(255 - i);
        palette[3 * i + 2] = static_cast<uint8_t>(i * 11);
    }
    return palette;
}

struct writer {
    const char* id;  // the test's name
    const char* name;
    bool (*available)();
    // Writes out.pcx in `dir` from source.raw (indices), palette.raw (768
    // bytes), source.ppm (colours) and palette.ppm (the palette as 256 x 1).
    std::string (*command)(const std::string& dir);
    bool keeps_indices;  // else the palette may be reordered (the colour rule maps it back)
    bool pads;           // writes bytes per line above an odd width
};

const writer writers[] = {
    {"Pillow", "Pillow", have_pillow,
     [](const std::string& dir) {
         return std::string(python) +
                " -c 'import sys; from PIL import Image; d = sys.argv[1]; "
                "im = Image.frombytes(\"P\", (" +
                std::to_string(source_width) + ", " + std::to_string(source_height) +
                "), open(d + \"/source.raw\", \"rb\").read()); "
                "im.putpalette(open(d + \"/palette.raw\", \"rb\").read()); "
                "im.save(d + \"/out.pcx\")' " +
                quoted(dir);
     },
     true, true},
    {"ImageMagick", "ImageMagick's convert", [] { return have(convert); },
     [](const std::string& dir) {
         return std::string(convert) + " " + quoted(dir + "/source.ppm") +
                " -type Palette pcx:" + quoted(dir + "/out.pcx");
     },
     false, false},
    {"Ppmtopcx", "netpbm's ppmtopcx", [] { return have(ppmtopcx); },
     [](const std::string& dir) {
         return std::string(ppmtopcx) + " -8bit -palette=" + quoted(dir + "/palette.ppm") + " " +
                quoted(dir + "/source.ppm") + " > " + quoted(dir + "/out.pcx") + " 2>/dev/null";
     },
     true, false},
};

void PrintTo(const writer& tool, std::ostream* out) {
    *out << tool.name;
}

class ImportWrittenBy : public ::testing::TestWithParam<writer> {};

TEST_P(ImportWrittenBy, RightIndices) {
    const writer& tool = GetParam();
    if (!tool.available())
        GTEST_SKIP() << "NOTICE: " << tool.name << " not installed";
    const bytes indices = picture(source_width, source_height);
    const bytes palette = source_palette();
    // Image 2 shows the source's colours, as if the picture had been
    // exported from it: BHDR, IFHD, CMAP, DATA, END.
    std::vector<fixture::image> images = {fixture::simple_image("ONE", 8, 4, true, true, 1),
                                          fixture::simple_image("TWO", 6, 5, true, true, 2)};
    images[1].records[2].content = palette;
    workspace ws;
    ws.put("source.raw", indices);
    ws.put("palette.raw", palette);
    write_ppm(ws.path("source.ppm"), source_width, source_height, colours_of(indices, palette));
    bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    write_ppm(ws.path("palette.ppm"), 256, 1, colours_of(all, palette));
    ASSERT_TRUE(shell(tool.command(ws.path()))) << tool.command(ws.path());

    // What the writer made: 8 bits in one plane, its palette at the end.
    const bytes pcx = fixture::read_file(ws.path("out.pcx"));
    ASSERT_GT(pcx.size(), 128u + 769u);
    EXPECT_EQ(pcx[3], 8);
    EXPECT_EQ(pcx[65], 1);
    const int bytes_per_line = pcx[66] | pcx[67] << 8;
    if (tool.pads) {
        EXPECT_GT(bytes_per_line, source_width) << "no padding to drop: the case is not tried";
    }
    const bytes pcx_palette(pcx.end() - 768, pcx.end());

    ws.put("TEXBSI.001", fixture::texture_file(images));
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
    const run::result r = ws.run({"/2TEX", "/i:2", "TEXBSI.001", "out.pcx"});
    ASSERT_EQ(r.status, 1) << r.out;

    // Read back by position: image 2's DATA follows its BHDR, IFHD and
    // CMAP; everything else of the file must be as expected.
    const bytes texture = ws.bytes("TEXBSI.001");
    const size_t data_at =
        fixture::encode_image(images[0]).size() + 9 + 4 + (8 + 26) + (8 + 44) + (8 + 768) + 8;
    ASSERT_GE(texture.size(), data_at + indices.size());
    const bytes imported(texture.begin() + static_cast<long>(data_at),
                         texture.begin() + static_cast<long>(data_at + indices.size()));
    // Whatever order the writer gave its palette, the game shows the colours
    // the picture showed: with a palette of distinct colours, the very indices.
    EXPECT_TRUE(imported == indices) << "the imported indices name other colours";
    if (!tool.keeps_indices && pcx_palette == palette)
        std::cout << "NOTICE: " << tool.name << " kept the palette's order this time\n";
    std::vector<fixture::image> expected = images;
    expected[1] = with_picture(images[1], source_width, source_height, imported);
    EXPECT_TRUE(texture == fixture::texture_file(expected))
        << "bytes other than the picture's changed";
}

INSTANTIATE_TEST_SUITE_P(InteropTools, ImportWrittenBy, ::testing::ValuesIn(writers),
                         [](const ::testing::TestParamInfo<writer>& info) {
                             return std::string(info.param.id);
                         });

}  // namespace
