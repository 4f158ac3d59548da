// The PNG module against the image tools modders use: PNG files written by
// Pillow, ImageMagick and netpbm (indexed with short palettes and tRNS, grey
// at 1 to 8 bits, grey with alpha, RGB, RGBA, interlaced, with the chunks
// GIMP adds) must load to what Pillow's decoder shows; the PNG files Ostrel
// writes must show the same pixels and colours in Pillow, ImageMagick and
// netpbm; and a save onto a full disk must fail and leave no file. Each
// tool's cases are skipped, with a notice, where it is not installed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "lib/GENERR.h"
#include "png/PNG.h"
#include "support/fixture.h"
#include "support/tools.h"
#include "support/png_fixture.h"

namespace {

using fixture::bytes;

using tools::convert;
using tools::pngtopnm;
using tools::pnmtopng;
using tools::have;
using tools::have_pillow;
using tools::python;

bool shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// Writes the Pillow files and the netpbm sources into the directory argv[1].
constexpr const char* make_script = R"(
import random, sys
from PIL import Image, PngImagePlugin
d = sys.argv[1]
rnd = random.Random(12)
W, H = 37, 23

def indexed(entries):
    im = Image.new("P", (W, H))
    im.putdata([rnd.randrange(entries) for _ in range(W * H)])
    im.putpalette([rnd.randrange(256) for _ in range(3 * entries)])
    return im

def colours(mode, channels):
    data = bytes((x * 7 + y * 13 + c * 71) % 256 if c < 3 else (0 if (x + y) % 4 == 0 else 200)
                 for y in range(H) for x in range(W) for c in range(channels))
    return Image.frombytes(mode, (W, H), data)

indexed(256).save(d + "/pil_p256.png")
indexed(2).save(d + "/pil_p2.png")
indexed(4).save(d + "/pil_p4.png")
indexed(5).save(d + "/pil_p5_trns.png", transparency=bytes([0, 128]))
# What GIMP writes besides the picture: resolution, text (also compressed),
# a colour profile, and one transparent entry.
info = PngImagePlugin.PngInfo()
info.add_text("Comment", "Created with GIMP")
info.add_text("Software", "GIMP 2.10", zip=True)
indexed(6).save(d + "/pil_gimp_like.png", transparency=0, dpi=(72, 72), pnginfo=info,
                icc_profile=b"not really a profile" * 40)
grey = Image.frombytes("L", (W, H), bytes((x * 7 + y * 3) % 256 for y in range(H) for x in range(W)))
grey.save(d + "/pil_l.png")
grey.save(d + "/pil_l_trns.png", transparency=10)
grey.save(d + "/source.pgm")
grey.point(lambda v: 255 if v > 100 else 0).convert("1").save(d + "/pil_1.png")
colours("LA", 2).save(d + "/pil_la.png")
rgb = colours("RGB", 3)
rgb.save(d + "/pil_rgb.png")
rgb.save(d + "/pil_rgb_trns.png", transparency=rgb.getpixel((3, 2)))
rgb.save(d + "/source.ppm")
colours("RGBA", 4).save(d + "/pil_rgba.png")
)";

// For each PNG file named, <file>.pillow: "P width height entries\n", the
// indices, 768 palette bytes and 256 opacities (P pictures); or
// "RGBA width height 0\n" and the picture in RGBA (all others).
constexpr const char* decode_script = R"(
import sys
from PIL import Image
for name in sys.argv[1:]:
    im = Image.open(name)
    im.load()
    out = open(name + ".pillow", "wb")
    if im.mode == "P":
        palette = im.getpalette()
        alpha = bytearray([255] * 256)
        t = im.info.get("transparency")
        if isinstance(t, int):
            alpha[t] = 0
        elif t is not None:
            alpha[:len(t)] = t
        out.write(b"P %d %d %d\n" % (im.width, im.height, len(palette) // 3))
        out.write(im.tobytes() + bytes(palette + [0] * (768 - len(palette))) + bytes(alpha))
    else:
        out.write(b"RGBA %d %d 0\n" % (im.width, im.height))
        out.write(im.convert("RGBA").tobytes())
)";

struct tool_file {
    const char* name;  // also the test's name
    bool (*available)();
    // The command that makes it from the Pillow files in `dir`; null for
    // the Pillow files themselves.
    std::string (*command)(const std::string& dir);
    picture_kind kind;
};

bool have_convert() {
    return have_pillow() && have(convert);
}

bool have_pnmtopng() {
    return have_pillow() && have(pnmtopng);
}

// ImageMagick's convert from one file of `dir` to another, `format`
// ("PNG8:", "PNG24:", ... or "") saying how.
std::string im(const std::string& dir, const std::string& from, const std::string& options,
               const std::string& format, const std::string& to) {
    return std::string(convert) + " " + quoted(dir + "/" + from) + " " + options + " " + format +
           quoted(dir + "/" + to);
}

const tool_file tool_files[] = {
    {"pil_p256", have_pillow, nullptr, picture_kind::indexed},
    {"pil_p2", have_pillow, nullptr, picture_kind::indexed},
    {"pil_p4", have_pillow, nullptr, picture_kind::indexed},
    {"pil_p5_trns", have_pillow, nullptr, picture_kind::indexed},
    {"pil_gimp_like", have_pillow, nullptr, picture_kind::indexed},
    {"pil_l", have_pillow, nullptr, picture_kind::bare_indices},
    {"pil_l_trns", have_pillow, nullptr, picture_kind::bare_indices},
    {"pil_1", have_pillow, nullptr, picture_kind::bare_indices},
    {"pil_la", have_pillow, nullptr, picture_kind::bare_indices},
    {"pil_rgb", have_pillow, nullptr, picture_kind::true_colour},
    {"pil_rgb_trns", have_pillow, nullptr, picture_kind::true_colour},
    {"pil_rgba", have_pillow, nullptr, picture_kind::true_colour},
    {"im_p_interlaced", have_convert,
     [](const std::string& d) {
         return im(d, "pil_p256.png", "-interlace PNG", "PNG8:", "im_p_interlaced.png");
     },
     picture_kind::indexed},
    {"im_rgb_interlaced", have_convert,
     [](const std::string& d) {
         return im(d, "pil_rgb.png", "-interlace PNG", "PNG24:", "im_rgb_interlaced.png");
     },
     picture_kind::true_colour},
    {"im_rgba", have_convert,
     [](const std::string& d) { return im(d, "pil_rgba.png", "", "PNG32:", "im_rgba.png"); },
     picture_kind::true_colour},
    {"im_grey4", have_convert,
     [](const std::string& d) {
         return im(d, "pil_l.png", "-depth 4 -type Grayscale", "", "im_grey4.png");
     },
     picture_kind::bare_indices},
    {"im_grey2_interlaced", have_convert,
     [](const std::string& d) {
         return im(d, "pil_l.png", "-depth 2 -type Grayscale -interlace PNG", "",
                   "im_grey2_interlaced.png");
     },
     picture_kind::bare_indices},
    {"pnm_grey4_interlaced", have_pnmtopng,
     [](const std::string& d) {
         // maxval 15: pnmtopng writes 4-bit samples.
         return "/usr/bin/pamdepth 15 " + quoted(d + "/source.pgm") + " | " + pnmtopng +
                " -interlace > " + quoted(d + "/pnm_grey4_interlaced.png") + " 2>/dev/null";
     },
     picture_kind::bare_indices},
    {"pnm_rgb", have_pnmtopng,
     [](const std::string& d) {
         // -force: RGB as it is, not turned into a palette.
         return std::string(pnmtopng) + " -force " + quoted(d + "/source.ppm") + " > " +
                quoted(d + "/pnm_rgb.png") + " 2>/dev/null";
     },
     picture_kind::true_colour},
};

void PrintTo(const tool_file& file, std::ostream* out) {
    *out << file.name;
}

// The files of all tools, made once for the suite.
class PngWrittenBy : public ::testing::TestWithParam<tool_file> {
public:
    static void SetUpTestSuite() {
        dir = std::make_unique<fixture::temp_dir>();
        if (!have_pillow() || !png_supported())
            return;
        made = shell(std::string(python) + " -c '" + make_script + "' " + quoted(dir->path()));
        std::string names;
        for (const tool_file& file : tool_files) {
            if (file.command != nullptr && file.available())
                made = shell(file.command(dir->path())) && made;
            names += " " + quoted(dir->file(std::string(file.name) + ".png"));
        }
        decoded = made && shell(std::string(python) + " -c '" + decode_script + "'" + names);
    }
    static void TearDownTestSuite() { dir.reset(); }

protected:
    static std::unique_ptr<fixture::temp_dir> dir;
    static bool made, decoded;
};

std::unique_ptr<fixture::temp_dir> PngWrittenBy::dir;
bool PngWrittenBy::made = false;
bool PngWrittenBy::decoded = false;

struct pillow_decode {
    std::string mode;
    int width = 0, height = 0, entries = 0;
    bytes data;
};

pillow_decode read_decode(const std::string& path) {
    const bytes file = fixture::read_file(path);
    pillow_decode d;
    size_t line_end = 0;
    while (line_end < file.size() && file[line_end] != '\n')
        ++line_end;
    char mode[8] = {};
    if (std::sscanf(std::string(file.begin(), file.begin() + static_cast<long>(line_end)).c_str(),
                    "%7s %d %d %d", mode, &d.width, &d.height, &d.entries) != 4)
        return {};
    d.mode = mode;
    d.data.assign(file.begin() + static_cast<long>(line_end) + 1, file.end());
    return d;
}

TEST_P(PngWrittenBy, LoadsAsPillowDecodesIt) {
    const tool_file& file = GetParam();
    if (!png_supported())
        GTEST_SKIP() << "NOTICE: this build has no PNG support (libpng not found)";
    if (!file.available())
        GTEST_SKIP() << "NOTICE: Pillow, or the tool that writes " << file.name
                     << ", is not installed";
    ASSERT_TRUE(made && decoded) << "a tool failed to write or Pillow to decode the files";
    const std::string path = dir->file(std::string(file.name) + ".png");
    const pillow_decode expected = read_decode(path + ".pillow");
    ASSERT_GT(expected.width, 0);

    PICTURE picture;
    err_code = 0;
    ASSERT_EQ(1, png_load(path.c_str(), picture)) << picture_reason();
    ASSERT_EQ(expected.width, picture.width);
    ASSERT_EQ(expected.height, picture.height);
    EXPECT_EQ(file.kind, picture.kind);
    const size_t count = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    const uint8_t* pixels = picture.pixels.get();

    if (expected.mode == "P") {
        ASSERT_EQ(picture_kind::indexed, picture.kind);
        ASSERT_EQ(count + 768 + 256, expected.data.size());
        EXPECT_TRUE(bytes(pixels, pixels + count) ==
                    bytes(expected.data.begin(), expected.data.begin() + count))
            << "indices differ";
        EXPECT_EQ(static_cast<uint32_t>(expected.entries), picture.palette_entries);
        const bytes palette(expected.data.begin() + count, expected.data.begin() + count + 768);
        EXPECT_EQ(palette, bytes(picture.palette, picture.palette + 768));
        const bytes alpha(expected.data.begin() + count + 768, expected.data.end());
        EXPECT_EQ(alpha, bytes(picture.alpha, picture.alpha + 256));
        return;
    }
    ASSERT_EQ(count * 4, expected.data.size());
    const uint8_t* rgba = expected.data.data();
    if (picture.kind == picture_kind::true_colour) {
        EXPECT_TRUE(bytes(pixels, pixels + 4 * count) == expected.data) << "colours differ";
        return;
    }
    // Grey: Pillow scales samples of fewer than 8 bits to 0..255; Ostrel
    // keeps them, and gives the fully transparent pixels index 0.
    const int bit_depth = png_fixture::chunk_data(fixture::read_file(path), "IHDR").at(8);
    const int scale = 255 / ((1 << bit_depth) - 1);
    size_t wrong = 0;
    for (size_t i = 0; i < count; ++i) {
        const int want = rgba[4 * i + 3] == 0 ? 0 : rgba[4 * i] / scale;
        wrong += pixels[i] != want;
    }
    EXPECT_EQ(0u, wrong) << "grey values differ from Pillow's (bit depth " << bit_depth << ")";
}

INSTANTIATE_TEST_SUITE_P(PngTools, PngWrittenBy, ::testing::ValuesIn(tool_files),
                         [](const ::testing::TestParamInfo<tool_file>& info) {
                             return std::string(info.param.name);
                         });

// 16-bit samples as a real tool writes them: refused with the reason.
TEST(PngTools, SixteenBitFromImageMagickIsRefused) {
    if (!png_supported())
        GTEST_SKIP() << "NOTICE: this build has no PNG support (libpng not found)";
    if (!have(convert))
        GTEST_SKIP() << "NOTICE: ImageMagick's convert not installed";
    fixture::temp_dir dir;
    const std::string path = dir.file("deep.png");
    ASSERT_TRUE(shell(std::string(convert) +
                      " -size 5x3 gradient:red-blue -depth 16 PNG48:" + quoted(path)));
    PICTURE picture;
    EXPECT_EQ(0, png_load(path.c_str(), picture));
    EXPECT_EQ(9u, err_code);
    EXPECT_NE(nullptr, std::strstr(picture_reason(), "16-bit samples")) << picture_reason();
}

// --- What Ostrel writes, read by the tools ----------------------------------------

constexpr int out_width = 61, out_height = 17;

bytes out_pixels() {
    bytes pixels(out_width * out_height);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i % 7 == 0 ? 0xC4 : (i * 37) % 251);
    return pixels;
}

// 256 distinct colours, so equal colours mean equal indices.
bytes out_palette() {
    bytes palette(768);
    for (int i = 0; i < 256; ++i) {
        palette[3 * i] = static_cast<uint8_t>(i);
        palette[3 * i + 1] = static_cast<uint8_t>(i * 3);
        palette[3 * i + 2] = static_cast<uint8_t>(255 - i);
    }
    return palette;
}

struct reader {
    const char* id;
    bool (*available)();
    // Decodes the PNG file into a binary PPM file.
    std::string (*command)(const std::string& png, const std::string& ppm);
};

const reader readers[] = {
    {"Pillow", have_pillow,
     [](const std::string& png, const std::string& ppm) {
         // Also what Pillow sees in the file: a P picture with neither
         // transparency nor gamma.
         return std::string(python) +
                " -c 'import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                "assert im.mode == \"P\" and \"transparency\" not in im.info "
                "and \"gamma\" not in im.info, (im.mode, im.info); "
                "im.convert(\"RGB\").save(sys.argv[2], \"PPM\")' " +
                quoted(png) + " " + quoted(ppm);
     }},
    {"ImageMagick", [] { return have(convert); },
     [](const std::string& png, const std::string& ppm) {
         return std::string(convert) + " " + quoted(png) + " ppm:" + quoted(ppm);
     }},
    {"Pngtopnm", [] { return have(pngtopnm); },
     [](const std::string& png, const std::string& ppm) {
         return std::string(pngtopnm) + " " + quoted(png) + " > " + quoted(ppm) + " 2>/dev/null";
     }},
};

void PrintTo(const reader& tool, std::ostream* out) {
    *out << tool.id;
}

class PngReadBy : public ::testing::TestWithParam<reader> {};

TEST_P(PngReadBy, SamePixelsAndColours) {
    const reader& tool = GetParam();
    if (!png_supported())
        GTEST_SKIP() << "NOTICE: this build has no PNG support (libpng not found)";
    if (!tool.available())
        GTEST_SKIP() << "NOTICE: " << tool.id << " not installed";
    fixture::temp_dir dir;
    const std::string png = dir.file("out.png");
    const std::string ppm = dir.file("out.ppm");
    const bytes pixels = out_pixels();
    const bytes palette = out_palette();
    ASSERT_EQ(1, png_save(png.c_str(), out_width, out_height, pixels.data(), palette.data()));
    ASSERT_TRUE(shell(tool.command(png, ppm))) << tool.command(png, ppm);

    const std::string head =
        "P6\n" + std::to_string(out_width) + " " + std::to_string(out_height) + "\n255\n";
    bytes expected(head.begin(), head.end());
    for (uint8_t index : pixels)
        expected.insert(expected.end(), palette.begin() + 3 * index,
                        palette.begin() + 3 * index + 3);
    EXPECT_TRUE(fixture::read_file(ppm) == expected) << "the decoded picture differs";
}

INSTANTIATE_TEST_SUITE_P(PngTools, PngReadBy, ::testing::ValuesIn(readers),
                         [](const ::testing::TestParamInfo<reader>& info) {
                             return std::string(info.param.id);
                         });

// --- A full disk ---------------------------------------------------------------------

// The file size limit stands in for a full disk: the save fails, says so,
// and leaves no unfinished file behind.
TEST(PngSave, FullDiskIsAFailureAndLeavesNoFile) {
    if (!png_supported())
        GTEST_SKIP() << "NOTICE: this build has no PNG support (libpng not found)";
    fixture::temp_dir dir;
    const std::string path = dir.file("full.png");
    bytes pixels(256 * 256);
    uint32_t state = 1;
    for (uint8_t& pixel : pixels) {
        state = state * 1103515245u + 12345u;
        pixel = static_cast<uint8_t>(state >> 23);
    }
    const bytes palette = out_palette();
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        err_code = 0;
        const int saved = png_save(path.c_str(), 256, 256, pixels.data(), palette.data());
        _exit(saved == 0 && err_code == 3 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "png_save did not fail with code 3";
    EXPECT_FALSE(fixture::file_exists(path)) << "the unfinished file was left behind";
}

}  // namespace
