// PNG end to end: which command lines export PNG, the names they write,
// round trips of every image of the sample, and PNG files as paint programs
// save them (Pillow and ImageMagick) going back into the texture.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "png/PNG.h"
#include "support/fixture.h"
#include "support/tools.h"
#include "support/run.h"

namespace {

const char* const no_png = "NOTICE: this build has no PNG support (libpng not found)";

using fixture::bytes;
using run::fatal_report;
using run::workspace;

using tools::convert;
using tools::have_pillow;
using tools::python;

bool shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string sample(const std::string& name) {
    return std::string(OSTREL_SOURCE_DIR) + "/samples/" + name;
}

void sample_files(const workspace& ws) {
    ws.put("TEXBSI.001", fixture::read_file(sample("TEXBSI.001")));
    ws.put("redguard.col", fixture::read_file(sample("redguard.col")));
}

std::vector<std::string> pictures(const workspace& ws) {
    std::vector<std::string> out;
    for (const std::string& f : ws.files())
        if (f.size() > 4 && (f.substr(f.size() - 4) == ".png" || f.substr(f.size() - 4) == ".pcx"))
            out.push_back(f);
    return out;
}

const std::string png_prompt = "        Save Image as PNG (Y/N)?\n";

// Which command lines write PNG: "/2PNG", or no direction option and a
// picture argument ending in ".png"; the last direction option wins.
TEST(Png, CommandLinesAndNames) {
    if (!png_supported())
        GTEST_SKIP() << no_png;
    struct line {
        std::vector<std::string> args;
        std::vector<std::string> written;
    };
    const line lines[] = {
        {{"/2PNG", "/i:2", "TEXBSI.001"}, {"wall.png"}},
        {{"/i:2", "TEXBSI.001", "tex.png"}, {"tex01.png"}},
        {{"/i:2", "TEXBSI.001", "TEX.PNG"}, {"TEX01.png"}},
        {{"/2png", "/i:2", "TEXBSI.001", "tex.pcx"}, {"tex01.png"}},
        {{"/2PNG", "/2PCX", "/i:2", "TEXBSI.001"}, {"wall.pcx"}},
        {{"/2PCX", "/i:2", "TEXBSI.001", "tex.png"}, {"tex01.pcx"}},
        {{"/i:2", "TEXBSI.001", "tex.pcx"}, {"tex01.pcx"}},
    };
    for (const line& l : lines) {
        SCOPED_TRACE(l.args[0] + " " + l.args.back());
        workspace ws;
        sample_files(ws);
        const run::result r = ws.run(l.args, "y");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(pictures(ws), l.written);
        const bool png = l.written[0].substr(l.written[0].size() - 4) == ".png";
        EXPECT_NE(r.out.find(png ? "Save Image as PNG" : "Save Image as PCX"), std::string::npos);
    }
    // "/2PNG /2TEX" imports.
    workspace ws;
    sample_files(ws);
    EXPECT_EQ(ws.run({"/2PNG", "/2TEX", "TEXBSI.001"}).out,
              fatal_report("Failed to open file!", "Error: No PCX file specified!"));
}

// Every image of the sample, the animated one too, out as PNG and back in:
// the very same texture file. A PNG under a .pcx name, and a PCX under a
// .png name, are read by what they hold.
TEST(Png, EveryImageOfTheSampleComesBackUnchanged) {
    if (!png_supported())
        GTEST_SKIP() << no_png;
    workspace ws;
    sample_files(ws);
    const bytes original = ws.bytes("TEXBSI.001");
    const run::result r = ws.run({"/2PNG", "TEXBSI.001"}, "yyyyy");
    ASSERT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nImage fire01 (16x16, 4 frames) -> fire01.png\n" + png_prompt),
              std::string::npos);
    const char* names[] = {"sky01", "wall", "odd", "door", "fire01"};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(names[i]);
        const bytes png = ws.bytes(std::string(names[i]) + ".png");
        ASSERT_TRUE(is_png_signature(png.data(), png.size()));
        const std::string index = "/i:" + std::to_string(i + 1);
        const run::result in = ws.run({"/2TEX", index, "TEXBSI.001", std::string(names[i]) + ".png"});
        EXPECT_EQ(in.out, "   Successfully saved texture file 'TEXBSI.001'...");
        EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
        // The same picture under the other format's name.
        ws.put("disguised.pcx", png);
        EXPECT_EQ(ws.run({"/2TEX", index, "TEXBSI.001", "disguised.pcx"}).status, 1);
        EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
    }
    ASSERT_EQ(ws.run({"/i:4", "TEXBSI.001", "door.pcx"}, "y").status, 1);
    ws.put("disguised.png", ws.bytes("door03.pcx"));
    EXPECT_EQ(ws.run({"/2TEX", "/i:4", "TEXBSI.001", "disguised.png"}).status, 1);
    EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
}

// A damaged PNG is refused with the format's name and the reason; nothing
// is written.
TEST(Png, DamagedFilesAreRefused) {
    if (!png_supported())
        GTEST_SKIP() << no_png;
    workspace ws;
    sample_files(ws);
    ASSERT_EQ(ws.run({"/2PNG", "/i:2", "TEXBSI.001"}, "y").status, 1);
    const bytes png = ws.bytes("wall.png");
    const bytes original = ws.bytes("TEXBSI.001");
    ws.put("cut.png", bytes(png.begin(), png.end() - 20));  // IEND is the last 12 bytes
    const run::result r = ws.run({"/2TEX", "/i:2", "TEXBSI.001", "cut.png"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fatal_report("Could not read from file!",
                                  "Error loading PNG file 'cut.png'!\n"
                                  "   The file is cut short: it ends inside its IDAT chunk."));
    EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
}

// What paint programs save from an exported picture, read back into the
// image: the colours are the exported ones, in any kind of PNG.
TEST(Png, PicturesSavedByPaintProgramsImportUnchanged) {
    if (!png_supported())
        GTEST_SKIP() << no_png;
    struct saver {
        const char* what;
        bool pillow;  // else ImageMagick
        std::string command;  // from out.png to in.png, in the workspace
    };
    const std::string py = std::string(python) + " -c 'from PIL import Image; im = Image.open(\"out.png\"); ";
    const saver savers[] = {
        {"Pillow, RGB", true, py + "im.convert(\"RGB\").save(\"in.png\")'"},
        {"Pillow, RGBA", true, py + "im.convert(\"RGBA\").save(\"in.png\")'"},
        {"Pillow, only the colours used", true, py + "im.save(\"in.png\", optimize=True)'"},
        {"Pillow, with tRNS", true,
         py + "im.info[\"transparency\"] = 200; im.save(\"in.png\", transparency=200)'"},
        {"ImageMagick, interlaced", false,
         std::string(convert) + " out.png -interlace PNG in.png"},
        {"ImageMagick, palette reordered", false,
         std::string(convert) + " out.png -type Palette PNG8:in.png"},
        {"ImageMagick, true colour", false, std::string(convert) + " out.png PNG24:in.png"},
    };
    for (const saver& s : savers) {
        SCOPED_TRACE(s.what);
        if (s.pillow ? !have_pillow() : access(convert, X_OK) != 0) {
            std::cout << "NOTICE: " << (s.pillow ? "Pillow" : "ImageMagick")
                      << " not installed; skipped\n";
            continue;
        }
        workspace ws;
        sample_files(ws);
        const bytes original = ws.bytes("TEXBSI.001");
        ASSERT_EQ(ws.run({"/i:3", "TEXBSI.001", "out.png"}, "y").status, 1);
        ws.put("out.png", ws.bytes("out02.png"));
        ASSERT_TRUE(shell("cd '" + ws.path() + "' && " + s.command));
        const run::result r = ws.run({"/2TEX", "/i:3", "TEXBSI.001", "in.png"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
    }
}

// Grey PNG files carry no palette: their grey values are the indices.
TEST(Png, GreyValuesAreIndices) {
    if (!png_supported())
        GTEST_SKIP() << no_png;
    if (!have_pillow())
        GTEST_SKIP() << "NOTICE: Pillow not installed";
    workspace ws;
    ws.put("TEXBSI.001", fixture::texture_file({fixture::simple_image("WALL", 6, 5, false)}));
    ws.put("redguard.col", fixture::palette());
    const bytes grey = fixture::pixels(4, 3, 9);
    ws.put("grey.raw", grey);
    ASSERT_TRUE(shell("cd '" + ws.path() + "' && " + python +
                      " -c 'from PIL import Image; Image.frombytes(\"L\", (4, 3), "
                      "open(\"grey.raw\", \"rb\").read()).save(\"grey.png\")'"));
    ASSERT_EQ(ws.run({"/2TEX", "/i:1", "TEXBSI.001", "grey.png"}).status, 1);
    std::vector<fixture::image> expected = {fixture::simple_image("WALL", 6, 5, false)};
    expected[0] = fixture::with_picture(expected[0], 4, 3, grey);
    EXPECT_EQ(ws.bytes("TEXBSI.001"), fixture::texture_file(expected));
}

}  // namespace
