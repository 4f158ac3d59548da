// A modder's workflow end to end: the list of a texture file's images, the
// help and version options.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

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
              "\nImage wall (6x5) -> wall.pcx\n"
              "\n   2 images saved, 1 failed.\n");
    EXPECT_EQ(ws.bytes("sky01.pcx"),
              fixture::pcx_file(8, 4, fixture::pixels(8, 4, 1), fixture::cmap(1)));
    EXPECT_EQ(ws.bytes("wall.pcx"),
              fixture::pcx_file(6, 5, fixture::pixels(6, 5, 2), fixture::palette()));
    EXPECT_FALSE(ws.exists("nohdr.pcx"));

    const run::result one = ws.run({"/y", "/i:3", "TEXBSI.001", "out/pic.png"});
    EXPECT_EQ(one.out, "\nImage WALL (6x5) -> out/pic02.png\n      Error exporting PNG file!\n"
                       "\n   0 images saved, 1 failed.\n");
    ws.put_text("out/.keep", "");
    const run::result again = ws.run({"/y", "/i:3", "TEXBSI.001", "out/pic.png"});
    EXPECT_EQ(again.out, "\nImage WALL (6x5) -> out/pic02.png\n\n   1 image saved, 0 failed.\n");
    EXPECT_TRUE(ws.exists("out/pic02.png"));
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
