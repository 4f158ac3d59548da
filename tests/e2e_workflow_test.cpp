// A modder's workflow end to end: the list of a texture file's images, the
// help and version options.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "lib_support.h"
#include "png/PNG.h"
#include "support/fixture.h"
#include "support/run.h"

namespace {

using fixture::bytes;
using run::fatal_report;
using run::workspace;

std::string sample_file(const std::string& name) {
    return std::string(OSTREL_SOURCE_DIR) + "/samples/" + name;
}

const std::string list_header =
    "Image  Name       Size         Frames  Colours             Data\n";

// Every column of the bundled sample, the animated image among them; the
// palette file is not needed and nothing is written.
TEST(List, TheSample) {
    workspace ws;
    ws.put("TEXBSI.001", fixture::read_file(sample_file("TEXBSI.001")));
    const run::result r = ws.run({"/l", "TEXBSI.001"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, list_header +
                         "    1  SKY01      64x32             1  own                 2048\n"
                         "    2  WALL       32x32             1  palette file        1024\n"
                         "    3  ODD        13x9              1  own                  117\n"
                         "    4  DOOR       24x40             1  palette file         960\n"
                         "    5  FIRE01     16x16             4  palette file         912\n"
                         "5 images in 'TEXBSI.001'.\n");
    EXPECT_EQ(ws.files(), (std::vector<std::string>{"TEXBSI.001", "ostrel.log"}));
}

// An image without a bitmap header or pixel data, a name with a control
// character; "/L" with an import direction still only lists.
TEST(List, OddImagesAndADamagedFile) {
    fixture::image bare;
    bare.name = "NO\x01HDR";
    bare.size = 5;
    bare.records = {{"XTRA", {1}}, {"END ", {}}};
    const bytes file = fixture::texture_file({fixture::simple_image("ONE", 3, 2, false), bare});
    workspace ws;
    ws.put("TEXBSI.001", file);
    const run::result r = ws.run({"/2TEX", "/L", "TEXBSI.001"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, list_header +
                         "    1  ONE        3x2               1  palette file           6\n"
                         "    2  NO?HDR     -                 1  palette file           -\n"
                         "2 images in 'TEXBSI.001'.\n");

    // Cut inside the second image: the first is listed, then the reason.
    bytes cut = file;
    cut.resize(fixture::encode_image(fixture::simple_image("ONE", 3, 2, false)).size() + 15);
    ws.put("TEXBSI.001", cut);
    const run::result damaged = ws.run({"/l", "TEXBSI.001"});
    EXPECT_EQ(damaged.status, 0);
    EXPECT_EQ(damaged.out,
              list_header + "    1  ONE        3x2               1  palette file           6\n" +
                  fatal_report("Could not read from file!",
                               "Error: The texture file 'TEXBSI.001' is damaged after image 1!"));
    EXPECT_EQ(ws.bytes("TEXBSI.001"), cut);
}

// "/y": every image saved without a prompt, a line for each as today, and
// the count at the end; an image that cannot be saved is counted as failed
// and the others are saved.
TEST(YesToAll, SavesWithoutAsking) {
    fixture::image no_header;
    no_header.name = "NOHDR";
    no_header.size = 9;
    no_header.records = {{"DATA", {1, 2, 3}}, {"END ", {}}};
    const std::vector<fixture::image> images = {fixture::simple_image("SKY01", 8, 4, true, true, 1),
                                                no_header,
                                                fixture::simple_image("WALL", 6, 5, false, true, 2)};
    workspace ws;
    ws.put("TEXBSI.001", fixture::texture_file(images));
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
    const run::result r = ws.run({"/Y", "TEXBSI.001"}, "nnn");  // keys are not read
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "\nImage sky01 (8x4) -> sky01.pcx\n"
              "\nImage nohdr (-1x-1) -> nohdr.pcx\n      Error exporting PCX file!\n"
              "      the image has no bitmap header (BHDR)\n"
              "\nImage wall (6x5) -> wall.pcx\n"
              "\n   2 images saved, 1 failed.\n");
    EXPECT_EQ(ws.bytes("sky01.pcx"),
              fixture::pcx_file(8, 4, fixture::pixels(8, 4, 1), fixture::cmap(1)));
    EXPECT_EQ(ws.bytes("wall.pcx"),
              fixture::pcx_file(6, 5, fixture::pixels(6, 5, 2), fixture::palette()));
    EXPECT_FALSE(ws.exists("nohdr.pcx"));

    if (!png_supported())
        GTEST_SKIP() << "NOTICE: this build has no PNG support; its part of the test is skipped";
    const run::result one = ws.run({"/y", "/i:3", "TEXBSI.001", "out/pic.png"});
    EXPECT_EQ(one.out, "\nImage WALL (6x5) -> out/pic02.png\n      Error exporting PNG file!\n"
                       "      could not create 'out/pic02.png': No such file or directory\n"
                       "\n   0 images saved, 1 failed.\n");
    EXPECT_TRUE(libtest::contains(ws.log_lines(),
                                 "Image not saved as 'out/pic02.png': could not create "
                                 "'out/pic02.png': No such file or directory"));
    ws.put_text("out/.keep", "");
    const run::result again = ws.run({"/y", "/i:3", "TEXBSI.001", "out/pic.png"});
    EXPECT_EQ(again.out, "\nImage WALL (6x5) -> out/pic02.png\n\n   1 image saved, 0 failed.\n");
    EXPECT_TRUE(ws.exists("out/pic02.png"));
}

// --- Import by name -------------------------------------------------------------

std::vector<fixture::image> named_images() {
    return {fixture::simple_image("SKY01", 8, 4, true, true, 1),
            fixture::simple_image("WALL", 6, 5, false, true, 2),
            fixture::simple_image("A/B", 3, 3, false, true, 3),
            fixture::simple_image("DOOR", 4, 4, false, true, 4)};
}

void named_files(const workspace& ws) {
    ws.put("TEXBSI.001", fixture::texture_file(named_images()));
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
}

size_t writes_of_the_texture(const workspace& ws) {
    size_t writes = 0;
    for (const std::string& line : ws.log_lines())
        writes += line == "Attempting to open file 'TEXBSI.001' in mode 'wb'" ? 1 : 0;
    return writes;
}

// One picture and three: exactly those images change, in one write; a line
// per picture says which image it replaced, in the order given.
TEST(ByName, PicturesGoIntoTheImagesOfTheirNames) {
    workspace ws;
    named_files(ws);
    const bytes sky = fixture::pixels(8, 4, 50);
    ws.put("Sky01.PCX", fixture::pcx_file(8, 4, sky, fixture::cmap(1)));
    const run::result one = ws.run({"/2TEX", "/n", "TEXBSI.001", "Sky01.PCX"});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.out, "   Sky01.PCX -> image 1 'SKY01'\n"
                       "   Successfully saved texture file 'TEXBSI.001'...");
    std::vector<fixture::image> expected = named_images();
    expected[0] = fixture::with_picture(expected[0], 8, 4, sky);
    EXPECT_EQ(ws.bytes("TEXBSI.001"), fixture::texture_file(expected));

    // A PNG among them, a name the export writes with '_', a new size.
    if (!png_supported())
        GTEST_SKIP() << "NOTICE: this build has no PNG support; its part of the test is skipped";
    named_files(ws);
    const bytes door = fixture::pixels(5, 2, 7), ab = fixture::pixels(3, 3, 9);
    ws.put("pics/door.pcx", fixture::pcx_file(5, 2, door, fixture::palette()));
    ws.put("a_b.pcx", fixture::pcx_file(3, 3, ab, fixture::palette()));
    ASSERT_EQ(ws.run({"/2PNG", "/y", "/i:2", "TEXBSI.001"}).status, 1);  // wall.png
    const run::result three =
        ws.run({"/2TEX", "/N", "TEXBSI.001", "pics/door.pcx", "wall.png", "a_b.pcx"});
    EXPECT_EQ(three.status, 1) << three.out;
    EXPECT_EQ(three.out, "   pics/door.pcx -> image 4 'DOOR'\n"
                         "   Image 4 'DOOR' was 4x4, is now 5x2.\n"
                         "   wall.png -> image 2 'WALL'\n"
                         "   a_b.pcx -> image 3 'A/B'\n"
                         "   Successfully saved texture file 'TEXBSI.001'...");
    expected = named_images();
    expected[3] = fixture::with_picture(expected[3], 5, 2, door);
    expected[2] = fixture::with_picture(expected[2], 3, 3, ab);
    EXPECT_EQ(ws.bytes("TEXBSI.001"), fixture::texture_file(expected));
    EXPECT_EQ(writes_of_the_texture(ws), 1u);
}

// Any picture that fails stops the run before anything is written, and
// the message names it.
TEST(ByName, AnyFailureWritesNothing) {
    const bytes sky = fixture::pcx_file(8, 4, fixture::pixels(8, 4), fixture::cmap(1));
    const bytes wall = fixture::pcx_file(6, 5, fixture::pixels(6, 5), fixture::palette());
    struct refusal {
        const char* what;
        std::vector<std::string> pictures;
        std::string error_message, message;
        bool twins = false;  // a texture with two images named alike
    };
    const refusal cases[] = {
        {"missing file", {"sky01.pcx", "gone/door.pcx"}, "Failed to open file!",
         "Error loading PCX file 'gone/door.pcx'!"},
        {"no image of that name", {"sky01.pcx", "roof.pcx"}, "",
         "Error: No image of 'TEXBSI.001' has the name of 'roof.pcx'!"},
        {"two images match", {"a_b.pcx"}, "",
         "Error: Images 3 'A/B' and 5 'A_B' of 'TEXBSI.001' both have the name of 'a_b.pcx'; "
         "give that picture with /i: instead!",
         true},
        {"a refused picture", {"sky01.pcx", "wall.pcx", "door.pcx"}, "Invalid input received!",
         "Error: 8 colours of 'door.pcx' are not in the palette of image 4 (first: #01080F at "
         "0,0)!\n   Paint with the colours of the palette that the export gives this image only "
         "(see \"Colours\" in the README)."},
        {"an image given twice", {"wall.pcx", "sky01.pcx", "WALL.png"}, "",
         "Error: Image 2 'WALL' is given twice, by 'wall.pcx' and 'WALL.png'!"},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.what);
        workspace ws;
        std::vector<fixture::image> images = named_images();
        if (c.twins)
            images.push_back(fixture::simple_image("A_B", 2, 2, false));
        ws.put("TEXBSI.001", fixture::texture_file(images));
        ws.put("redguard.col", fixture::palette());
        ws.put_text("ostrel.ini", "");
        ws.put("sky01.pcx", sky);
        ws.put("wall.pcx", wall);
        ws.put("WALL.png", wall);
        ws.put("a_b.pcx", wall);
        ws.put("door.pcx", fixture::pcx_file(4, 4, fixture::pixels(4, 4), fixture::cmap(1)));
        const bytes before = ws.bytes("TEXBSI.001");
        const std::vector<std::string> files = ws.files();
        std::vector<std::string> args = {"/2TEX", "/n", "TEXBSI.001"};
        args.insert(args.end(), c.pictures.begin(), c.pictures.end());
        const run::result r = ws.run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, fatal_report(c.error_message, c.message));
        EXPECT_EQ(ws.bytes("TEXBSI.001"), before);
        std::vector<std::string> after = ws.files();
        after.erase(std::remove(after.begin(), after.end(), "ostrel.log"), after.end());
        EXPECT_EQ(after, files) << "nothing left behind";
        EXPECT_EQ(writes_of_the_texture(ws), 0u);
    }
}

TEST(HelpAndVersion, ShortHelpAndVersionEndWithStatus1) {
    workspace ws;
    const run::result help = ws.run({"-h"});
    EXPECT_EQ(help.status, 1);
    EXPECT_EQ(help.out, ws.run({"/?"}).out);
    const run::result version = ws.run({"--version", "TEXBSI.001"});
    EXPECT_EQ(version.status, 1);
    EXPECT_EQ(version.out, run::banner().substr(1));
}

// The manual exists, names every option the help screen names, and is
// installed beside the program.
TEST(Manual, CoversTheHelpScreenAndIsInstalled) {
    const bytes manual = fixture::read_file(std::string(OSTREL_SOURCE_DIR) + "/OSTREL.TXT");
    ASSERT_FALSE(manual.empty());
    const std::string text(manual.begin(), manual.end());
    workspace ws;
    std::istringstream help(ws.run({"/?"}).out);
    int options = 0;
    for (std::string line; std::getline(help, line);) {
        const size_t at = line.find('/');
        if (line.rfind("      /", 0) != 0 || at == std::string::npos)
            continue;
        const std::string option = line.substr(at, line.find(' ', at) - at);
        EXPECT_NE(text.find("  " + option + " "), std::string::npos) << option;
        ++options;
    }
    EXPECT_GE(options, 10);

    const std::string prefix = ws.path("prefix");
    const std::string command = "cmake --install '" + std::string(OSTREL_BUILD_DIR) +
                                "' --prefix '" + prefix + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_EQ(ws.bytes("prefix/share/doc/ostrel/OSTREL.TXT"), manual);
    EXPECT_EQ(ws.bytes("prefix/bin/ostrel"), fixture::read_file(run::binary()));
}

}  // namespace
