// The interactive export end to end: output names, the answers Y, N and Esc
// from a pipe and from a terminal, the failures of the walk, and the
// terminal's settings after a run that was interrupted.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/run.h"

namespace {

using run::fatal_report;
using run::workspace;

using run::offer;
const std::string& prompt = run::export_prompt;

std::vector<fixture::image> two_images() {
    return {fixture::simple_image("SKY01", 8, 4, true, true, 1),
            fixture::simple_image("WALL", 6, 5, false, true, 2)};
}

// What the program writes for the two images: the first with its own
// colour map, the second with the palette file's colours.
fixture::bytes sky_pcx() {
    return fixture::pcx_file(8, 4, fixture::pixels(8, 4, 1), fixture::cmap(1));
}
fixture::bytes wall_pcx() {
    return fixture::pcx_file(6, 5, fixture::pixels(6, 5, 2), fixture::palette());
}

void standard_files(const workspace& ws, const std::vector<fixture::image>& images) {
    ws.put("TEXBSI.001", fixture::texture_file(images));
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "pcx_path = pcx\n");
    ws.put_text("pcx/.keep", "");
    ws.put_text("e/out/.keep", "");
}

std::vector<std::string> pcx_files(const workspace& ws) {
    std::vector<std::string> out;
    for (const std::string& f : ws.files())
        if (f.size() > 4 && f.compare(f.size() - 4, 4, ".pcx") == 0)
            out.push_back(f);
    return out;
}

// "@" at the start of a path stands for the workspace's own directory.
struct naming_case {
    const char* label;
    std::string pcx_argument;  // "" for none
    std::string shown_sky, shown_wall;
    std::string file_sky, file_wall;  // as shown
    std::string disk_sky, disk_wall;  // as found on disk
};

TEST(Export, OutputNames) {
    const std::string forty(40, 'a');
    const std::vector<naming_case> cases = {
        {"own names in pcx_path", "", "sky01", "wall", "pcx/sky01.pcx", "pcx/wall.pcx",
         "pcx/sky01.pcx", "pcx/wall.pcx"},
        {"numbered in the argument's directory", "e/out/tex.pcx", "SKY01", "WALL",
         "e/out/tex00.pcx", "e/out/tex01.pcx", "e/out/tex00.pcx", "e/out/tex01.pcx"},
        {"backslash directory", "e\\out\\tex.PCX", "SKY01", "WALL", "e\\out\\tex00.pcx",
         "e\\out\\tex01.pcx", "e/out/tex00.pcx", "e/out/tex01.pcx"},
        {"absolute directory", "@/e/out/t.pcx", "SKY01", "WALL", "@/e/out/t00.pcx",
         "@/e/out/t01.pcx", "e/out/t00.pcx", "e/out/t01.pcx"},
        {"no directory: pcx_path", "pic.pcx", "SKY01", "WALL", "pcx/pic00.pcx", "pcx/pic01.pcx",
         "pcx/pic00.pcx", "pcx/pic01.pcx"},
        {"empty base name: own names", "e/out/.pcx", "sky01", "wall", "e/out/sky01.pcx",
         "e/out/wall.pcx", "e/out/sky01.pcx", "e/out/wall.pcx"},
        {"extension cut at the last dot", "my.tex.pcx", "SKY01", "WALL", "pcx/my.tex00.pcx",
         "pcx/my.tex01.pcx", "pcx/my.tex00.pcx", "pcx/my.tex01.pcx"},
        {"base name cut to 40 characters", std::string(50, 'a') + ".pcx", "SKY01", "WALL",
         "pcx/" + forty + "00.pcx", "pcx/" + forty + "01.pcx", "pcx/" + forty + "00.pcx",
         "pcx/" + forty + "01.pcx"},
    };
    for (const naming_case& c : cases) {
        SCOPED_TRACE(c.label);
        workspace ws;
        standard_files(ws, two_images());
        auto resolve = [&](const std::string& s) {
            return s.rfind("@", 0) == 0 ? ws.path() + s.substr(1) : s;
        };
        std::vector<std::string> args = {"TEXBSI.001"};
        if (!c.pcx_argument.empty())
            args.push_back(resolve(c.pcx_argument));
        const run::result r = ws.run(args, "yy");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, offer(c.shown_sky, "8x4", resolve(c.file_sky)) +
                             offer(c.shown_wall, "6x5", resolve(c.file_wall)));
        EXPECT_EQ(pcx_files(ws), (std::vector<std::string>{c.disk_sky, c.disk_wall}));
        EXPECT_EQ(ws.bytes(c.disk_sky), sky_pcx());
        EXPECT_EQ(ws.bytes(c.disk_wall), wall_pcx());
    }
}

TEST(Export, NumbersFollowThePositionInTheFile) {
    workspace ws;
    std::vector<fixture::image> images;
    for (int i = 0; i < 12; ++i) {
        images.push_back(fixture::simple_image("IMG" + std::to_string(i), 2, 2, false, true,
                                               static_cast<uint8_t>(i)));
    }
    standard_files(ws, images);
    const run::result r = ws.run({"/i:11", "TEXBSI.001", "t.pcx"}, "y");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, offer("IMG10", "2x2", "pcx/t10.pcx"));
    EXPECT_EQ(pcx_files(ws), std::vector<std::string>{"pcx/t10.pcx"});
}

// Image names come from the file: they may not steer the output elsewhere
// nor put control characters on the terminal.
TEST(Export, CraftedImageNamesStayInTheOutputDirectory) {
    workspace ws;
    standard_files(ws, {fixture::simple_image("../../EVIL", 2, 2, false),
                        fixture::simple_image("A/B:C\\D", 2, 2, false),
                        fixture::simple_image("X\x1b[2JY", 2, 2, false)});
    const run::result r = ws.run({"TEXBSI.001"}, "yyy");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, offer("../../evi", "2x2", "pcx/.._.._evi.pcx") +
                         offer("a/b:c\\d", "2x2", "pcx/a_b_c_d.pcx") +
                         offer("x?[2jy", "2x2", "pcx/x_[2jy.pcx"));
    EXPECT_EQ(pcx_files(ws),
              (std::vector<std::string>{"pcx/.._.._evi.pcx", "pcx/a_b_c_d.pcx", "pcx/x_[2jy.pcx"}));
}

struct keys_case {
    const char* label;
    std::vector<std::string> args;
    std::string keys;
    int offers;  // images offered
    std::vector<std::string> written;
};

TEST(Export, AnswersFromAPipe) {
    std::vector<fixture::image> images = two_images();
    images.push_back(fixture::simple_image("DOOR", 3, 3, false, true, 3));
    const std::vector<keys_case> cases = {
        {"Y and N", {"TEXBSI.001"}, "yny", 3, {"pcx/door.pcx", "pcx/sky01.pcx"}},
        {"capitals", {"TEXBSI.001"}, "YNY", 3, {"pcx/door.pcx", "pcx/sky01.pcx"}},
        {"other keys ignored", {"TEXBSI.001"}, "x\r\n 1q\x7fy?N", 3, {"pcx/sky01.pcx"}},
        {"Esc stops", {"TEXBSI.001"}, "y\x1byy", 2, {"pcx/sky01.pcx"}},
        {"Esc first", {"TEXBSI.001"}, "\x1b", 1, {}},
        {"end of input is Esc", {"TEXBSI.001"}, "n", 2, {}},
        {"no input at all", {"TEXBSI.001"}, "", 1, {}},
        {"index selects one image", {"/i:3", "TEXBSI.001", "x.pcx"}, "y", 1, {"pcx/x02.pcx"}},
        {"index of the last image", {"/i:2", "TEXBSI.001"}, "y", 1, {"pcx/wall.pcx"}},
        {"Esc at the selected image", {"/i:2", "TEXBSI.001"}, "\x1b", 1, {}},
    };
    for (const keys_case& c : cases) {
        SCOPED_TRACE(c.label);
        workspace ws;
        standard_files(ws, images);
        const run::result r = ws.run(c.args, c.keys);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
        size_t offers = 0;
        for (size_t at = r.out.find(prompt + "\n"); at != std::string::npos;
             at = r.out.find(prompt + "\n", at + 1)) {
            ++offers;
        }
        EXPECT_EQ(offers, static_cast<size_t>(c.offers)) << r.out;
        EXPECT_EQ(pcx_files(ws), c.written);
    }
}

TEST(Export, ImageWithoutBitmapHeaderIsReportedAndTheWalkGoesOn) {
    workspace ws;
    fixture::image bare;
    bare.name = "BARE";
    bare.size = 16;
    bare.records = {{"DATA", fixture::pixels(4, 4)}, {"END ", {}}};
    std::vector<fixture::image> images = {bare};
    images.push_back(two_images()[1]);
    standard_files(ws, images);
    const run::result r = ws.run({"TEXBSI.001"}, "yy");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, offer("bare", "-1x-1", "pcx/bare.pcx") + "      Error exporting PCX file!\n" +
                         "      the image has no bitmap header (BHDR)\n" +
                         offer("wall", "6x5", "pcx/wall.pcx"));
    EXPECT_EQ(pcx_files(ws), std::vector<std::string>{"pcx/wall.pcx"});
    EXPECT_EQ(ws.bytes("pcx/wall.pcx"), wall_pcx());
}

TEST(Export, UnwritableOutputIsReportedAndTheWalkGoesOn) {
    workspace ws;
    standard_files(ws, two_images());
    const run::result r = ws.run({"TEXBSI.001", "missing/t.pcx"}, "yy");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              offer("SKY01", "8x4", "missing/t00.pcx") + "      Error exporting PCX file!\n" +
                  "      could not create 'missing/t00.pcx': No such file or directory\n" +
                  offer("WALL", "6x5", "missing/t01.pcx") + "      Error exporting PCX file!\n" +
                  "      could not create 'missing/t01.pcx': No such file or directory\n");
}

TEST(Export, FileWithoutTerminator) {
    workspace ws;
    standard_files(ws, two_images());
    fixture::bytes cut = ws.bytes("TEXBSI.001");
    cut.resize(cut.size() - 9);
    ws.put("TEXBSI.001", cut);
    const run::result r = ws.run({"TEXBSI.001"}, "yn");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, offer("sky01", "8x4", "pcx/sky01.pcx") + offer("wall", "6x5", "pcx/wall.pcx") +
                         fatal_report("Could not read from file!",
                                      "Error exporting file 'TEXBSI.001' to PCX!"));
    // What was saved before the failure stays.
    EXPECT_EQ(pcx_files(ws), std::vector<std::string>{"pcx/sky01.pcx"});
}

TEST(Export, IndexBeyondTheFileIsReportedAfterTheWalk) {
    workspace ws;
    fixture::bytes damaged = fixture::texture_file(two_images());
    damaged.resize(damaged.size() - 9);
    ws.put("cut/TEXBSI.001", damaged);
    standard_files(ws, two_images());
    run::result r = ws.run({"/i:3", "TEXBSI.001"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        r.out,
        fatal_report("", "Specified image index 3 is too high, not enough images in file (2)!"));
    // The whole file is read first: a damaged one is reported as such.
    r = ws.run({"/i:3", "cut/TEXBSI.001"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fatal_report("Could not read from file!",
                                  "Error exporting file 'cut/TEXBSI.001' to PCX!"));
}

// --- On a terminal -------------------------------------------------------------

std::vector<fixture::image> three_images() {
    std::vector<fixture::image> images = two_images();
    images.push_back(fixture::simple_image("DOOR", 3, 3, false, true, 3));
    return images;
}

TEST(ExportOnATerminal, KeysWithoutEchoOrEnter) {
    workspace ws;
    standard_files(ws, three_images());
    run::terminal term(ws.with({"TEXBSI.001"}));

    ASSERT_TRUE(term.expect(prompt)) << term.output();
    // The prompt is shown while the key is awaited, in raw mode.
    ASSERT_TRUE(term.wait_for_key_read());
    termios during{};
    ASSERT_TRUE(term.settings(&during));
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(during.c_lflag & ISIG, 0u);
    term.send("y");

    ASSERT_TRUE(term.expect(prompt)) << term.output();
    ASSERT_TRUE(term.wait_for_key_read());
    // An arrow key and a function key are not Esc; 'n' skips the image.
    term.send("\x1b[A");
    term.send("\x1bOP");
    term.send("\x1b[15~");
    term.send("N");

    ASSERT_TRUE(term.expect(prompt)) << term.output();
    ASSERT_TRUE(term.wait_for_key_read());
    term.send("\x1b");
    const run::result r = term.finish();
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    // Nothing typed is echoed: each prompt is followed by the line break alone.
    EXPECT_EQ(r.out, offer("sky01", "8x4", "pcx/sky01.pcx") + offer("wall", "6x5", "pcx/wall.pcx") +
                         offer("door", "3x3", "pcx/door.pcx"));
    EXPECT_EQ(pcx_files(ws), std::vector<std::string>{"pcx/sky01.pcx"});

    termios after{};
    ASSERT_TRUE(term.settings(&after));
    EXPECT_TRUE(run::same_settings(after, term.initial_settings()));
}

// However the run ends while a prompt waits, the terminal gets its settings
// back.
TEST(ExportOnATerminal, SettingsAreRestoredOnEveryWayOut) {
    struct way_out {
        const char* label;
        std::string keys;
        bool damaged;  // a file without terminator ends in a fatal report
        int signal;    // the signal expected to end the program, or 0
        int status;
    };
    const std::vector<way_out> cases = {
        {"Ctrl-C", "\x03", false, SIGINT, -1},
        {"Esc", "\x1b", false, 0, 1},
        {"fatal error after the last answer", "nnn", true, 0, 0},
    };
    for (const way_out& c : cases) {
        SCOPED_TRACE(c.label);
        workspace ws;
        standard_files(ws, three_images());
        if (c.damaged) {
            fixture::bytes cut = ws.bytes("TEXBSI.001");
            cut.resize(cut.size() - 9);
            ws.put("TEXBSI.001", cut);
        }
        run::terminal term(ws.with({"TEXBSI.001"}));
        for (char key : c.keys) {
            ASSERT_TRUE(term.expect(prompt)) << term.output();
            ASSERT_TRUE(term.wait_for_key_read());
            term.send(std::string(1, key));
        }
        const run::result r = term.finish();
        EXPECT_EQ(r.signal, c.signal) << r.out;
        if (c.signal == 0) {
            EXPECT_EQ(r.status, c.status);
        }
        termios after{};
        ASSERT_TRUE(term.settings(&after));
        EXPECT_TRUE(run::same_settings(after, term.initial_settings()));
        EXPECT_NE(after.c_lflag & ECHO, 0u);
        EXPECT_NE(after.c_lflag & ICANON, 0u);
    }
}

// --- The bundled sample ---------------------------------------------------------

std::string sample_dir() {
    return std::string(OSTREL_SOURCE_DIR) + "/samples";
}

TEST(Sample, CommittedFilesAreWhatTheGeneratorMakes) {
    const char* python = "/usr/bin/python3";
    if (!std::filesystem::exists(python))
        GTEST_SKIP() << "no " << python << " to run the generator";
    workspace ws;
    const std::string command =
        std::string(python) + " " + OSTREL_SOURCE_DIR + "/tools/make_sample.py " + ws.path("made");
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const char* name : {"TEXBSI.001", "redguard.col"}) {
        SCOPED_TRACE(name);
        const fixture::bytes committed = fixture::read_file(sample_dir() + "/" + name);
        ASSERT_FALSE(committed.empty());
        EXPECT_EQ(committed, ws.bytes(std::string("made/") + name));
    }
}

TEST(Sample, ExportsEveryImage) {
    workspace ws;
    ws.put("TEXBSI.001", fixture::read_file(sample_dir() + "/TEXBSI.001"));
    ws.put("redguard.col", fixture::read_file(sample_dir() + "/redguard.col"));
    const run::result r = ws.run({"TEXBSI.001"}, "yyyyy");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, offer("sky01", "64x32", "sky01.pcx") + offer("wall", "32x32", "wall.pcx") +
                         offer("odd", "13x9", "odd.pcx") + offer("door", "24x40", "door.pcx") +
                         offer("fire01", "16x16, 4 frames", "fire01.pcx"));
    EXPECT_EQ(pcx_files(ws), (std::vector<std::string>{"door.pcx", "fire01.pcx", "odd.pcx",
                                                       "sky01.pcx", "wall.pcx"}));
}

}  // namespace
