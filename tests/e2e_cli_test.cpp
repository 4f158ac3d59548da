// The command line end to end: help screen, fatal reports, option grammar,
// where the directories come from, and the log of a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/run.h"

namespace {

using run::fatal_report;
using run::workspace;

const char* const no_file = "Failed to open file!";

// A texture file of two images (one with its own colour map), a palette and
// an empty configuration file, so that no error code is left over.
void standard_files(const workspace& ws) {
    ws.put("TEXBSI.001",
           fixture::texture_file({fixture::simple_image("SKY01", 8, 4, true, true, 1),
                                  fixture::simple_image("WALL", 6, 5, false, true, 2)}));
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
}

std::string help_screen() {
    return run::banner() +
           "     Export Redguard texture files to PCX files and vice-versa.\n\n"
           "   OSTREL [options] [TEXBSI.###] [file.PCX]\n"
           "      /? ......... View this help screen.\n"
           "      /2PCX ...... Saves texture files as PCX.\n"
           "      /2PNG ...... Saves texture files as PNG.\n"
           "      /2BSI\n"
           "      /2TEX ...... Saves a PCX as a texture file.\n"
           "      /p:file .... Specify another palette file (PAL/COL).\n"
           "      /l ......... Lists the images of the texture file.\n"
           "      /y ......... Saves every image without asking.\n"
           "      /n ......... Replaces the images named like the PCX files.\n"
           "      /r ......... Takes a picture's palette indices as they are.\n"
           "      /i:# ....... Convert or replace this image in file (1=first image)\n\n"
           "The texture file must have the format 'TEXBSI.###' and any given PCX file\n"
           "must end with '.PCX'.  A texture file and an image index must be specified\n"
           "if converting from a PCX file.  PCX files will be automatically overwritten.\n"
           "See the manual file OSTREL.TXT for more detailed information.\n";
}

std::vector<std::string> closing_lines() {
    return {"Heap is OK", "Used/Free/Total Memory: 0/0/0 bytes", "Closing log file..."};
}

std::vector<std::string> last_lines(const std::vector<std::string>& lines, size_t n) {
    return std::vector<std::string>(lines.end() - static_cast<long>(std::min(n, lines.size())),
                                    lines.end());
}

std::vector<std::string> open_attempts(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines)
        if (l.rfind("Attempting to open file", 0) == 0)
            out.push_back(l);
    return out;
}

TEST(CommandLine, HelpScreen) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"/?"},
        {"/help"},
        {"/HELP"},
        {"/xhelpx"},
        {"-help"},
        {"--HELP"},
        {"pic?.pcx"},
        {"/tmp/pic?/TEXBSI.001"},
        {"TEXBSI.001", "/?", "/i:x"},
    };
    for (const auto& args : cases) {
        std::string label;
        for (const std::string& a : args)
            label += "[" + a + "]";
        SCOPED_TRACE(label);
        workspace ws;
        standard_files(ws);
        const run::result r = ws.run(args);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, help_screen());
        EXPECT_EQ(r.err, "");
        // The help screen comes after the log was opened and the
        // configuration read; nothing else is opened.
        const std::vector<std::string> log = ws.log_lines();
        EXPECT_EQ(open_attempts(log),
                  std::vector<std::string>{"Attempting to open file 'ostrel.ini' in mode 'rt'"});
        EXPECT_EQ(last_lines(log, 3), closing_lines());
    }
}

struct fatal_case {
    const char* label;
    std::vector<std::string> args;
    std::string keys;
    std::string error_message;  // the "Error Message" line; "" for none
    std::string message;
};

TEST(CommandLine, FatalReports) {
    const std::vector<fatal_case> cases = {
        {"no texture file", {"/2PCX", "out.pcx"}, "", "", "Error: No texture file specified!"},
        {"import without PCX", {"/2TEX", "TEXBSI.001"}, "", "", "Error: No PCX file specified!"},
        {"import without index",
         {"/2TEX", "TEXBSI.001", "new.pcx"},
         "",
         "",
         "Error: Invalid image index -1 specified!"},
        {"index without digits",
         {"/2BSI", "/i:abc", "TEXBSI.001", "new.pcx"},
         "",
         "",
         "Error: Invalid image index 0 specified!"},
        {"palette missing",
         {"TEXBSI.001", "/p:missing.col"},
         "",
         no_file,
         "Error loading palette file 'missing.col'!"},
        {"palette too short",
         {"TEXBSI.001", "/p:short.col"},
         "",
         "",
         "Error loading palette file 'short.col'!"},
        {"texture missing (export)",
         {"TEXBSI.009"},
         "",
         no_file,
         "Error: Could not open image file 'TEXBSI.009'!"},
        {"index too high",
         {"/i:3", "TEXBSI.001"},
         "",
         "",
         "Specified image index 3 is too high, not enough images in file (2)!"},
    };
    for (const fatal_case& c : cases) {
        SCOPED_TRACE(c.label);
        workspace ws;
        standard_files(ws);
        ws.put("short.col", fixture::bytes(500, 7));
        const run::result r = ws.run(c.args, c.keys);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, fatal_report(c.error_message, c.message));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(last_lines(ws.log_lines(), 3), closing_lines());
        EXPECT_FALSE(ws.exists("sky01.pcx"));
    }
}

TEST(CommandLine, MissingConfigurationLeavesItsErrorCode) {
    workspace ws;
    standard_files(ws);
    std::remove(ws.path("ostrel.ini").c_str());
    const run::result r = ws.run({"/2TEX"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fatal_report(no_file, "Error: No texture file specified!"));
}

// The prompts of an export show that the run went on as an export, and
// which file and palette it used. The game directory is set, so a name
// joined to it and a name used unchanged lead to different files.
TEST(CommandLine, OptionsThatTheRunActsOn) {
    workspace ws;
    ws.put("game/TEXBSI.001",
           fixture::texture_file({fixture::simple_image("SKY01", 8, 4, true, true, 1),
                                  fixture::simple_image("WALL", 6, 5, false, true, 2)}));
    ws.put("game/redguard.col", fixture::palette());
    ws.put("game/my.col", fixture::palette(5));
    ws.put("other/TEXBSI.001",
           fixture::texture_file({fixture::simple_image("DOOR", 3, 3, false, true, 3)}));
    ws.put("pal/my.col", fixture::palette(9));
    ws.put_text("ostrel.ini", "");

    struct option_case {
        const char* label;
        std::vector<std::string> args;
        std::string first_line;
    };
    const std::string abs = ws.path();
    const std::vector<option_case> cases = {
        {"last direction wins", {"/2TEX", "/2PCX", "TEXBSI.001"}, "Image sky01 (8x4) -> sky01.pcx"},
        {"ignored arguments",
         {"pic.txt", "-2PCX", "/foo", "-i:2", "/i:", "/p:", "TEXBSI.001"},
         "Image sky01 (8x4) -> sky01.pcx"},
        {"texture with a directory", {"other/TEXBSI.001"}, "Image door (3x3) -> door.pcx"},
        {"palette joined to the game directory",
         {"/p:my.col", "TEXBSI.001"},
         "Image sky01 (8x4) -> sky01.pcx"},
        {"palette with a directory",
         {"/p:pal/my.col", "/I:2", "TEXBSI.001"},
         "Image wall (6x5) -> wall.pcx"},
        {"absolute paths",
         {abs + "/other/TEXBSI.001", "/p:" + abs + "/pal/my.col", abs + "/out/t.pcx"},
         "Image DOOR (3x3) -> " + abs + "/out/t00.pcx"},
    };
    for (const option_case& c : cases) {
        SCOPED_TRACE(c.label);
        const run::result r = ws.run(c.args, "\x1b", {{"OSTREL_PATH", ws.path("game")}});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "\n" + c.first_line + "\n        Save Image as PCX (Y/N)?\n");
    }
    // The palette actually read is the one the option names.
    const std::vector<std::string> log = ws.log_lines();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "Attempting to open file '" + abs + "/pal/my.col' in mode 'rb'"),
              log.end());
}

// Where the game directory comes from, seen in the palette path that a
// failed load reports.
TEST(CommandLine, GameDirectory) {
    struct directory_case {
        const char* label;
        const char* environment;  // nullptr: unset
        std::string config;
        std::string palette_path;
    };
    // The longest directory that still has room for its separator.
    const std::string long_dir = "/no/" + std::string(507, 'x');
    const std::vector<directory_case> cases = {
        {"none", nullptr, "", "redguard.col"},
        {"variable without separator", "/no/game", "", "/no/game/redguard.col"},
        {"variable with separator", "/no/game/", "", "/no/game/redguard.col"},
        {"configuration overrides", "/no/game", "redguard_path = /no/other\n",
         "/no/other/redguard.col"},
        {"configuration alone", nullptr, "redguard_path=/no/third/\n", "/no/third/redguard.col"},
        {"variable of 511 characters", long_dir.c_str(), "", long_dir + "/redguard.col"},
    };
    for (const directory_case& c : cases) {
        SCOPED_TRACE(c.label);
        workspace ws;
        ws.put_text("ostrel.ini", c.config);
        std::vector<std::pair<std::string, std::string>> env;
        if (c.environment != nullptr)
            env.emplace_back("OSTREL_PATH", c.environment);
        const run::result r = ws.run({"TEXBSI.001"}, "", env);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out,
                  fatal_report(no_file, "Error loading palette file '" + c.palette_path + "'!"));
    }
}

TEST(CommandLine, GameDirectoryFromTheEnvironmentIsUsed) {
    workspace game;
    standard_files(game);
    workspace here;
    here.put_text("ostrel.ini", "pcx_path = pcx\n");
    here.put_text("pcx/.keep", "");
    for (const std::string& dir : {game.path(), game.path() + "/"}) {
        SCOPED_TRACE(dir);
        const run::result r = here.run({"TEXBSI.001"}, "yy", {{"OSTREL_PATH", dir}});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, run::offer("sky01", "8x4", "pcx/sky01.pcx") +
                             run::offer("wall", "6x5", "pcx/wall.pcx"));
    }
    EXPECT_EQ(here.files(), (std::vector<std::string>{"ostrel.ini", "ostrel.log", "pcx/.keep",
                                                      "pcx/sky01.pcx", "pcx/wall.pcx"}));
}

TEST(CommandLine, LogOfACompletedExport) {
    workspace ws;
    standard_files(ws);
    const run::result r = ws.run({"TEXBSI.001"}, "yy");
    ASSERT_EQ(r.status, 1);
    const std::vector<std::string> log = ws.log_lines();
    ASSERT_GE(log.size(), 8u);
    EXPECT_EQ(log[0].rfind("Opened Log File ostrel.log on ", 0), 0u) << log[0];
    EXPECT_EQ(log[1], "5 Modules currently in use.");
    EXPECT_EQ(log[2], "     1) Program: GENUTIL");
    EXPECT_EQ(open_attempts(log), (std::vector<std::string>{
                                      "Attempting to open file 'ostrel.ini' in mode 'rt'",
                                      "Attempting to open file 'redguard.col' in mode 'rb'",
                                      "Attempting to open file 'TEXBSI.001' in mode 'rb'",
                                      "Attempting to open file 'sky01.pcx' in mode 'wb'",
                                      "Attempting to open file 'wall.pcx' in mode 'wb'",
                                  }));
    EXPECT_EQ(last_lines(log, 3), closing_lines());
}

TEST(CommandLine, LogOfAFatalRun) {
    workspace ws;
    standard_files(ws);
    const run::result r = ws.run({"TEXBSI.001", "/p:none.col"});
    ASSERT_EQ(r.status, 0);
    const std::vector<std::string> log = ws.log_lines();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].rfind("Opened Log File ostrel.log on ", 0), 0u) << log[0];
    EXPECT_EQ(log[1], "5 Modules currently in use.");
    EXPECT_EQ(open_attempts(log),
              (std::vector<std::string>{"Attempting to open file 'ostrel.ini' in mode 'rt'",
                                        "Attempting to open file 'none.col' in mode 'rb'"}));
    EXPECT_EQ(last_lines(log, 3), closing_lines());
}

}  // namespace
