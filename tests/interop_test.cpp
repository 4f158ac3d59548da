// PCX files against other programs: what we write must decode the same in
// widely used readers, and real files from other writers must decode as
// those readers decode them (or fail cleanly, for the hostile ones).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "lib/GENERR.h"
#include "pcx/PCX.h"
#include "picture/PICTURE.h"
#include "support/fixture.h"
#include "support/tools.h"

namespace {

using fixture::bytes;
namespace fs = std::filesystem;

using tools::convert;
using tools::have;
using tools::have_pillow;
using tools::python;

// Decodes each PCX file with Pillow into out_dir/<n>.raw: width and height
// (16-bit little-endian), the 768 palette bytes, then the pixel indices.
// "open" lets Pillow read the file its own way; "lines" runs Pillow's PCX
// decoder over the data as scan lines of bytes-per-line bytes and crops them
// to the width, for files whose layout Pillow's opener refuses.
constexpr const char* decode_script = R"(
import sys
from PIL import Image
mode, out_dir = sys.argv[1], sys.argv[2]
for n, src in enumerate(sys.argv[3:]):
    d = open(src, 'rb').read()
    if mode == 'open':
        im = Image.open(src)
        im.load()
        pal = bytes(im.getpalette()[:768])
    else:
        w = (d[8] | d[9] << 8) + 1
        h = (d[10] | d[11] << 8) + 1
        bpl = d[66] | d[67] << 8
        im = Image.frombytes('P', (bpl, h), d[128:], 'pcx', 'P', bpl).crop((0, 0, w, h))
        pal = d[-768:]
    w, h = im.size
    with open('%s/%d.raw' % (out_dir, n), 'wb') as f:
        f.write(bytes([w & 255, w >> 8, h & 255, h >> 8]) + pal + im.tobytes())
)";

struct decoded {
    int width = 0, height = 0;
    bytes palette, pixels;
};

std::vector<decoded> pillow_decode(const fixture::temp_dir& dir, const std::string& mode,
                                   const std::vector<std::string>& files) {
    const std::string script = dir.file("decode.py");
    fixture::write_file(script, bytes(decode_script, decode_script + std::strlen(decode_script)));
    std::string command = std::string(python) + " " + script + " " + mode + " " + dir.path();
    for (const std::string& f : files)
        command += " '" + f + "'";
    EXPECT_EQ(0, std::system(command.c_str())) << command;
    std::vector<decoded> out;
    for (size_t n = 0; n < files.size(); ++n) {
        const bytes raw = fixture::read_file(dir.file(std::to_string(n) + ".raw"));
        decoded d;
        if (raw.size() >= 4 + 768) {
            d.width = raw[0] | raw[1] << 8;
            d.height = raw[2] | raw[3] << 8;
            d.palette.assign(raw.begin() + 4, raw.begin() + 4 + 768);
            d.pixels.assign(raw.begin() + 4 + 768, raw.end());
        }
        out.push_back(d);
    }
    return out;
}

// A picture with every kind of run: long runs across the 63 limit, lone
// bytes above 0xC0, runs that would continue into the next line, and an odd
// width.
bytes test_picture(int width, int height) {
    bytes px(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            px[static_cast<size_t>(y) * width + x] =
                x < 70 ? static_cast<uint8_t>(0xC7) : static_cast<uint8_t>(x * 7 + y * 13);
    return px;
}

class InteropTest : public ::testing::Test {
protected:
    void SetUp() override {
        palette = fixture::palette(77);
        pixels = test_picture(width, height);
        path = dir.file("ostrel.pcx");
        ASSERT_EQ(1, image.save_raw(path.c_str(), width, height, pixels.data(), palette.data()));
    }

    static constexpr int width = 101, height = 7;
    fixture::temp_dir dir;
    std::string path;
    bytes palette, pixels;
    PCX_IMAGE image;
};

TEST_F(InteropTest, PillowReadsOurFileAsWritten) {
    if (!have_pillow())
        GTEST_SKIP() << "NOTICE: /usr/bin/python3 with Pillow not found";
    const std::vector<decoded> got = pillow_decode(dir, "open", {path});
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(width, got[0].width);
    EXPECT_EQ(height, got[0].height);
    EXPECT_EQ(palette, got[0].palette);
    EXPECT_EQ(pixels, got[0].pixels);
}

TEST_F(InteropTest, NetpbmReadsOurFileAsWritten) {
    if (!have(tools::pcxtoppm))
        GTEST_SKIP() << "NOTICE: netpbm's pcxtoppm not found";
    const std::string ppm = dir.file("out.ppm");
    ASSERT_EQ(0, std::system((std::string(tools::pcxtoppm) + " '" + path + "' > '" + ppm +
                              "' 2>/dev/null")
                                 .c_str()));
    const bytes file = fixture::read_file(ppm);
    const std::string head =
        "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    ASSERT_GE(file.size(), head.size());
    ASSERT_EQ(head, std::string(file.begin(), file.begin() + head.size()));
    bytes expected;
    for (uint8_t index : pixels)
        expected.insert(expected.end(), palette.begin() + 3 * index,
                        palette.begin() + 3 * index + 3);
    EXPECT_EQ(expected, bytes(file.begin() + head.size(), file.end()));
}

// --- Real files from other writers --------------------------------------------

struct corpus_file {
    std::string path;
    bool in_scope;  // 8 bits, one plane, lines at least as long as the width, VGA palette
};

std::vector<corpus_file> corpus(const std::string& shared) {
    std::vector<corpus_file> files;
    for (const char* sub : {"/corpus/pcx", "/corpus/pcx/malformed"}) {
        for (const auto& entry : fs::directory_iterator(shared + sub)) {
            if (!entry.is_regular_file())
                continue;
            const std::string name = entry.path().string();
            const bytes d = fixture::read_file(name);
            const bool in_scope = std::string(sub) == "/corpus/pcx" && name.size() > 4 &&
                                  name.substr(name.size() - 4) == ".pcx" && d.size() > 128 + 769 &&
                                  d[3] == 8 && d[65] == 1 &&
                                  (d[66] | d[67] << 8) >= (d[8] | d[9] << 8) + 1 &&
                                  d[d.size() - 769] == 12;
            files.push_back({name, in_scope});
        }
    }
    std::sort(files.begin(), files.end(),
              [](const corpus_file& a, const corpus_file& b) { return a.path < b.path; });
    return files;
}

TEST(CorpusTest, EveryFileLoadsOrFailsCleanly) {
    const std::string shared = fixture::shared_dir();
    if (shared.empty())
        GTEST_SKIP() << "NOTICE: ../shared/corpus not found";
    int loaded = 0;
    for (const corpus_file& f : corpus(shared)) {
        PCX_IMAGE image;
        err_code = 0;
        const int result = image.load(f.path.c_str());
        if (result == 1) {
            ++loaded;
            EXPECT_GE(image.width(), 1) << f.path;
            EXPECT_GE(image.height(), 1) << f.path;
            EXPECT_NE(nullptr, image.pixels) << f.path;
            const bytes d = fixture::read_file(f.path);
            EXPECT_EQ(bytes(d.end() - 768, d.end()), bytes(image.palette, image.palette + 768))
                << f.path;
        } else {
            EXPECT_TRUE(err_code == 2 || err_code == 9) << f.path << ": code " << err_code;
        }
        if (f.in_scope) {
            EXPECT_EQ(1, result) << f.path;
        }
    }
    EXPECT_GT(loaded, 10);
}

TEST(CorpusTest, EightBitFilesDecodeAsPillowDecodesThem) {
    const std::string shared = fixture::shared_dir();
    if (shared.empty())
        GTEST_SKIP() << "NOTICE: ../shared/corpus not found";
    if (!have_pillow())
        GTEST_SKIP() << "NOTICE: /usr/bin/python3 with Pillow not found";
    std::vector<std::string> files;
    for (const corpus_file& f : corpus(shared))
        if (f.in_scope)
            files.push_back(f.path);
    ASSERT_GE(files.size(), 10u);  // padding by bytes, runs over the padding, filler...

    fixture::temp_dir dir;
    const std::vector<decoded> reference = pillow_decode(dir, "lines", files);
    ASSERT_EQ(files.size(), reference.size());
    for (size_t n = 0; n < files.size(); ++n) {
        PCX_IMAGE image;
        ASSERT_EQ(1, image.load(files[n].c_str())) << files[n];
        const size_t count = static_cast<size_t>(image.width()) * image.height();
        EXPECT_EQ(reference[n].width, image.width()) << files[n];
        EXPECT_EQ(reference[n].height, image.height()) << files[n];
        EXPECT_EQ(reference[n].palette, bytes(image.palette, image.palette + 768)) << files[n];
        EXPECT_TRUE(reference[n].pixels == bytes(image.pixels, image.pixels + count))
            << files[n] << ": pixels differ";
    }
}

// The colours of a picture as a paint program shows them: red, green and
// blue per pixel (indices without a palette as grey).
bytes colours_of(const PICTURE& picture) {
    bytes out;
    const size_t count = static_cast<size_t>(picture.width) * picture.height;
    for (size_t i = 0; i < count; ++i) {
        if (picture.kind == picture_kind::true_colour) {
            out.insert(out.end(), picture.pixels.get() + 4 * i, picture.pixels.get() + 4 * i + 3);
        } else if (picture.kind == picture_kind::indexed) {
            const uint8_t* c = picture.palette + 3 * picture.pixels.get()[i];
            out.insert(out.end(), c, c + 3);
        } else {
            out.insert(out.end(), 3, picture.pixels.get()[i]);
        }
    }
    return out;
}

// The pixels of a binary PPM (P6, maxval 255) and its size, as netpbm writes it.
bool read_ppm(const std::string& path, int& width, int& height, bytes& rgb) {
    const bytes file = fixture::read_file(path);
    const std::string text(file.begin(), file.end());
    int maxval = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "P6 %d %d %d%n", &width, &height, &maxval, &used) != 3 ||
        maxval != 255)
        return false;
    rgb.assign(file.begin() + used + 1, file.end());
    return rgb.size() == static_cast<size_t>(width) * height * 3;
}

// Every layout paint programs write (1, 2, 4, 8 bits; 4-plane EGA; 24- and
// 32-bit true colour; padding; an origin other than 0, 0) shows the colours
// that other readers show for the same file: netpbm's pcxtoppm and Pillow
// (each reads most of them, Pillow 9.4 not 4 bits in one plane nor RGBA, and
// neither the file with filler before its palette), and for RGBA, which
// pcxtoppm blends with black, ImageMagick's straight red, green, blue and
// alpha. Where Pillow and netpbm disagree (Pillow reads a padded 4-plane
// line wrongly), netpbm is followed.
TEST(CorpusTest, EveryLayoutShowsTheColoursOtherReadersShow) {
    const std::string shared = fixture::shared_dir();
    if (shared.empty())
        GTEST_SKIP() << "NOTICE: ../shared/corpus not found";
    const bool netpbm = have(tools::pcxtoppm);
    const bool pillow = have_pillow();
    const bool magick = have(convert);
    if (!netpbm && !pillow)
        GTEST_SKIP() << "NOTICE: neither netpbm's pcxtoppm nor Pillow found";
    if (!netpbm || !pillow || !magick)
        std::cout << "NOTICE: pcxtoppm, Pillow or ImageMagick missing; fewer comparisons\n";
    fixture::temp_dir dir;
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(shared + "/corpus/pcx")) {
        const std::string path = entry.path().string();
        if (!entry.is_regular_file() || path.substr(path.size() - 4) != ".pcx")
            continue;
        SCOPED_TRACE(path);
        PICTURE picture;
        ASSERT_EQ(1, load_pcx_picture(path.c_str(), picture)) << picture_reason();
        const bytes ours = colours_of(picture);
        const auto run_ok = [&](const std::string& command) {
            return std::system((command + " 2>/dev/null").c_str()) == 0;
        };
        int width = 0, height = 0;
        bytes by_netpbm, by_pillow;
        const std::string ppm = dir.file("out.ppm");
        if (netpbm && run_ok(std::string(tools::pcxtoppm) + " '" + path + "' > '" + ppm + "'") &&
            read_ppm(ppm, width, height, by_netpbm)) {
            EXPECT_EQ(width, picture.width);
            EXPECT_EQ(height, picture.height);
        }
        if (pillow && run_ok(std::string(python) +
                             " -c 'import sys; from PIL import Image; "
                             "Image.open(sys.argv[1]).convert(\"RGB\").save(sys.argv[2])' '" +
                             path + "' '" + ppm + "'") &&
            read_ppm(ppm, width, height, by_pillow)) {
            EXPECT_EQ(width, picture.width);
            EXPECT_EQ(height, picture.height);
        }
        const bool rgba = path.find("rgba") != std::string::npos;
        if (rgba && magick) {
            const std::string raw = dir.file("out.rgba");
            ASSERT_TRUE(run_ok(std::string(convert) + " '" + path + "' 'rgba:" + raw + "'"));
            const size_t count = static_cast<size_t>(picture.width) * picture.height * 4;
            EXPECT_TRUE(fixture::read_file(raw) ==
                        bytes(picture.pixels.get(), picture.pixels.get() + count))
                << "ImageMagick shows other colours or opacity";
            ++compared;
        } else if (!by_netpbm.empty()) {
            EXPECT_TRUE(by_netpbm == ours) << "netpbm shows other colours";
            ++compared;
        }
        if (!by_pillow.empty() && (by_netpbm.empty() || by_pillow == by_netpbm)) {
            EXPECT_TRUE(by_pillow == ours) << "Pillow shows other colours";
            ++compared;
        }
    }
    EXPECT_GT(compared, 20);
}

}  // namespace
