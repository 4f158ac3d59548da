// Runs in hostile or odd surroundings, end to end: output names that lead to
// the texture file or to a file written earlier in the run, names longer
// than their buffers, a log or configuration file that is a link, a FIFO or
// a device, a texture file read from a pipe or device, and standard streams
// that are closed or cannot be written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "safety_posix.h"
#include "support/fixture.h"
#include "support/run.h"

namespace {

using fixture::bytes;
using run::fatal_report;
using run::workspace;
using safety::launch;
using safety::process;
namespace fs = std::filesystem;

using run::offer;

void standard_files(const workspace& ws, const std::vector<fixture::image>& images,
                    const std::string& texture_name = "TEXBSI.001") {
    ws.put(texture_name, fixture::texture_file(images));
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
}

// The PCX file the export writes for an image of simple_image without a
// colour map.
bytes exported(int width, int height, uint8_t seed) {
    return fixture::pcx_file(width, height, fixture::pixels(width, height, seed),
                             fixture::palette());
}

// --- Output names that lead to the texture file -------------------------------------------

// Written through a temporary file and a rename, such an output would put
// the picture in the texture file's place; it is refused, and the walk goes
// on with the next image.
TEST(Surroundings, TheExportNeverWritesTheTextureFileItReads) {
    struct alias_case {
        const char* label;
        std::string texture;  // the texture file's name
        std::string image;    // the first image's name
        std::string alias;    // a link to the texture file made first, or ""
        bool hard = false;
    };
    const std::vector<alias_case> cases = {
        {"named like its own image", "texbsi.01.pcx", "TEXBSI.01", ""},
        {"symbolic link", "TEXBSI.001", "SKY01", "sky01.pcx"},
        {"hard link", "TEXBSI.001", "SKY01", "sky01.pcx", true},
    };
    for (const alias_case& c : cases) {
        SCOPED_TRACE(c.label);
        workspace ws;
        const std::vector<fixture::image> images = {
            fixture::simple_image(c.image, 4, 3, false, true, 5),
            fixture::simple_image("WALL", 6, 5, false, true, 2)};
        standard_files(ws, images, c.texture);
        const bytes texture = ws.bytes(c.texture);
        if (!c.alias.empty() && c.hard)
            fs::create_hard_link(ws.path(c.texture), ws.path(c.alias));
        else if (!c.alias.empty())
            fs::create_symlink(c.texture, ws.path(c.alias));
        std::string own = c.image;
        for (char& ch : own)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        const run::result r = ws.run({c.texture}, "yy");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, offer(own, "4x3", own + ".pcx") + "      Error exporting PCX file!\n" +
                             "      '" + own +
                             ".pcx' is the texture file being read; it stays "
                             "as it is.\n" +
                             offer("wall", "6x5", "wall.pcx"));
        EXPECT_EQ(ws.bytes(c.texture), texture);
        EXPECT_EQ(ws.bytes("wall.pcx"), exported(6, 5, 2));
        if (!c.alias.empty() && !c.hard) {
            EXPECT_TRUE(fs::is_symlink(ws.path(c.alias)));
        }
    }
}

// --- Two images, one file ---------------------------------------------------------------------

// Names that differ only where the file name cannot ("Sky" and "SKY" are
// both lowered, "A/B" and "A_B" both become "a_b"): the later image gets its
// position appended, and its line says which file it spared.
TEST(Surroundings, ImagesOfTheSameFileNameAreAllKept) {
    workspace ws;
    const std::vector<fixture::image> images = {
        fixture::simple_image("Sky", 2, 2, false, true, 1),
        fixture::simple_image("SKY", 3, 2, false, true, 2),
        fixture::simple_image("A/B", 2, 3, false, true, 3),
        fixture::simple_image("A_B", 4, 1, false, true, 4),
        fixture::simple_image("sky", 1, 1, false, true, 5),
        fixture::simple_image("SKY_01", 2, 1, false, true, 6)};
    standard_files(ws, images);
    const run::result r = ws.run({"TEXBSI.001"}, "yyyyyy");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              offer("sky", "2x2", "sky.pcx") +
                  offer("sky", "3x2", "sky_01.pcx", " (sky.pcx holds an earlier image)") +
                  offer("a/b", "2x3", "a_b.pcx") +
                  offer("a_b", "4x1", "a_b_03.pcx", " (a_b.pcx holds an earlier image)") +
                  offer("sky", "1x1", "sky_04.pcx", " (sky.pcx holds an earlier image)") +
                  offer("sky_01", "2x1", "sky_01_05.pcx", " (sky_01.pcx holds an earlier image)"));
    const std::vector<std::pair<std::string, bytes>> files = {
        {"sky.pcx", exported(2, 2, 1)},    {"sky_01.pcx", exported(3, 2, 2)},
        {"a_b.pcx", exported(2, 3, 3)},    {"a_b_03.pcx", exported(4, 1, 4)},
        {"sky_04.pcx", exported(1, 1, 5)}, {"sky_01_05.pcx", exported(2, 1, 6)}};
    for (const auto& file : files)
        EXPECT_EQ(ws.bytes(file.first), file.second) << file.first;
}

// An image that was not saved spares no name: the next one of that name
// takes it.
TEST(Surroundings, OnlySavedImagesTakeTheirName) {
    workspace ws;
    standard_files(ws, {fixture::simple_image("SKY", 2, 2, false, true, 1),
                        fixture::simple_image("sky", 3, 2, false, true, 2)});
    const run::result r = ws.run({"TEXBSI.001"}, "ny");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, offer("sky", "2x2", "sky.pcx") + offer("sky", "3x2", "sky.pcx"));
}

// --- Names longer than their buffers ------------------------------------------------------------

// A name cut to fit would name another file: "<dir>/TEXBSI.001-mod", cut to
// 512 characters, is "<dir>/TEXBSI.001". Each name that does not fit ends
// the run before anything is read or written.
TEST(Surroundings, NamesThatDoNotFitAreRefusedNotCut) {
    workspace ws;
    // 501 characters of directory, in two levels (a level holds 255).
    const std::string dir = std::string(250, 'a') + "/" + std::string(250, 'b');
    standard_files(ws, {fixture::simple_image("ONE", 4, 3, false)}, dir + "/TEXBSI.001");
    ws.put("new.pcx", exported(4, 3, 9));
    const bytes texture = ws.bytes(dir + "/TEXBSI.001");
    const std::string long_texture = dir + "/TEXBSI.001-mod";
    const std::string long_pcx = std::string(510, 'p') + ".pcx";
    const std::string long_palette = std::string(513, 'c');
    const std::string long_directory = "/" + std::string(511, 'd');
    const std::string long_line = "pcx_path = " + std::string(300, 'o') + "\n";
    struct long_case {
        const char* label;
        std::vector<std::string> args;
        std::string environment;  // OSTREL_PATH, or ""
        std::string config;
        std::string message;
    };
    const std::vector<long_case> cases = {
        {"texture file",
         {"/2TEX", "/i:1", long_texture, "new.pcx"},
         "",
         "",
         "Error: Texture file name '" + long_texture + "' is longer than 512 characters!"},
        {"PCX file",
         {"/2TEX", "/i:1", "TEXBSI.001", long_pcx},
         "",
         "",
         "Error: Picture file name '" + long_pcx + "' is longer than 512 characters!"},
        {"palette file",
         {"/p:" + long_palette, "TEXBSI.001"},
         "",
         "",
         "Error: Palette file name '" + long_palette + "' is longer than 512 characters!"},
        {"game directory",
         {"TEXBSI.001"},
         long_directory,
         "",
         "Error: The directory '" + long_directory +
             "' of OSTREL_PATH is longer than 511 characters!"},
        {"configuration value",
         {"TEXBSI.001"},
         "",
         "# ok\n" + long_line,
         "Error: The value of 'pcx_path' on line 2 of 'ostrel.ini' is too long (a line holds "
         "at most 255 characters, a directory 511)!"},
    };
    for (const long_case& c : cases) {
        SCOPED_TRACE(c.label);
        ws.put_text("ostrel.ini", c.config);
        std::vector<std::pair<std::string, std::string>> env;
        if (!c.environment.empty())
            env.emplace_back("OSTREL_PATH", c.environment);
        const run::result r = ws.run(c.args, "y", env);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, fatal_report("String bounds overflow!", c.message));
        EXPECT_EQ(ws.bytes(dir + "/TEXBSI.001"), texture);
        EXPECT_FALSE(ws.exists("one.pcx"));
    }
    // A comment line longer than a line holds loses nothing.
    ws.put_text("ostrel.ini", "# " + std::string(300, '#') + "\n");
    const run::result r = ws.run({dir + "/TEXBSI.001"}, "n");
    EXPECT_EQ(r.status, 1);
}

// --- The log and the configuration file --------------------------------------------------------

// In a directory others may write, "ostrel.log" may be a link aimed at a
// file of the user's, or a FIFO: neither is followed or waited for, and the
// run goes on without a log.
TEST(Surroundings, TheLogIsOnlyEverARegularFileOfItsOwn) {
    const bytes victim = {'k', 'e', 'e', 'p'};
    struct log_case {
        const char* label;
        bool fifo;
    };
    for (const log_case& c : {log_case{"symbolic link", false}, log_case{"FIFO", true}}) {
        SCOPED_TRACE(c.label);
        workspace ws;
        ws.put("victim", victim);
        if (c.fifo)
            ASSERT_EQ(mkfifo(ws.path("ostrel.log").c_str(), 0644), 0);
        else
            fs::create_symlink("victim", ws.path("ostrel.log"));
        run::options o = ws.with({});
        o.timeout_ms = 10000;
        const run::result r = run::piped(o);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 1);  // the help screen
        EXPECT_EQ(ws.bytes("victim"), victim);
        EXPECT_EQ(fs::is_fifo(ws.path("ostrel.log")), c.fifo);
        EXPECT_EQ(fs::is_symlink(ws.path("ostrel.log")), !c.fifo);
    }
}

// The configuration file is read only when it is a regular file: a link to
// /dev/zero (no line ever ends) or a FIFO (nobody writes it) is passed over
// as a missing file is.
TEST(Surroundings, TheConfigurationFileIsOnlyReadFromARegularFile) {
    for (const char* kind : {"/dev/zero", "FIFO"}) {
        SCOPED_TRACE(kind);
        workspace ws;
        if (std::string(kind) == "FIFO")
            ASSERT_EQ(mkfifo(ws.path("ostrel.ini").c_str(), 0644), 0);
        else
            fs::create_symlink(kind, ws.path("ostrel.ini"));
        run::options o = ws.with({"TEXBSI.001"});
        o.timeout_ms = 10000;
        const run::result r = run::piped(o);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, fatal_report("Failed to open file!",
                                      "Error loading palette file 'redguard.col'!"));
        const std::vector<std::string> log = ws.log_lines();
        EXPECT_NE(std::find(log.begin(), log.end(), "     'ostrel.ini' is not a regular file!"),
                  log.end());
    }
}

// --- A texture file read from a pipe or device ---------------------------------------------------

TEST(Surroundings, ATextureFileFromAPipeIsExportedWithinABound) {
    const std::vector<fixture::image> images = {
        fixture::simple_image("WALL", 6, 5, false, true, 2)};
    {
        SCOPED_TRACE("a FIFO with a texture file in it");
        workspace ws;
        standard_files(ws, images);
        ASSERT_EQ(mkfifo(ws.path("texbsi.fifo").c_str(), 0644), 0);
        const bytes texture = ws.bytes("TEXBSI.001");
        std::thread writer([&] {
            if (FILE* fifo = std::fopen(ws.path("texbsi.fifo").c_str(), "wb")) {
                std::fwrite(texture.data(), 1, texture.size(), fifo);
                std::fclose(fifo);
            }
        });
        const run::result r = ws.run({"texbsi.fifo"}, "y");
        writer.join();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, offer("wall", "6x5", "wall.pcx"));
        EXPECT_EQ(ws.bytes("wall.pcx"), exported(6, 5, 2));
    }
    {
        SCOPED_TRACE("a device that never ends");
        workspace ws;
        standard_files(ws, images);
        fs::create_symlink("/dev/zero", ws.path("texbsi.zero"));
        const std::string refused =
            fatal_report("Invalid input received!",
                         "Error: Texture file 'texbsi.zero' is not a regular file "
                         "and holds more than 256 MiB; save it as a file first!");
        run::result r = ws.run({"texbsi.zero"}, "y");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, refused);
        r = ws.run({"/l", "texbsi.zero"});  // the list reads the same way
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, refused);
    }
}

// An import must replace the file it reads, which a pipe or device cannot
// be: it is refused before a byte is read.
TEST(Surroundings, AnImportRefusesATextureFileThatIsNoRegularFile) {
    workspace ws;
    standard_files(ws, {fixture::simple_image("WALL", 6, 5, false)});
    ws.put("new.pcx", fixture::pcx_file(6, 5, fixture::pixels(6, 5, 7), fixture::palette()));
    ASSERT_EQ(mkfifo(ws.path("texbsi.fifo").c_str(), 0644), 0);
    const bytes texture = ws.bytes("TEXBSI.001");
    std::thread writer([&] {
        // Opened without waiting, so the writer does not hang when the
        // program never opens the FIFO for reading.
        const int fd = open(ws.path("texbsi.fifo").c_str(), O_WRONLY | O_NONBLOCK);
        for (int i = 0; fd < 0 && i < 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t n = write(fd, texture.data(), texture.size());
            close(fd);
        }
    });
    const run::result r = ws.run({"/2TEX", "/i:1", "texbsi.fifo", "new.pcx"});
    writer.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fatal_report("Invalid input received!",
                                  "Error: Texture file 'texbsi.fifo' is not a regular file, so it "
                                  "cannot be replaced!"));
}

// A picture that is a FIFO nobody writes would hold the import, and with
// it the texture file, for ever: it is refused at once, the file untouched.
TEST(Surroundings, AnImportRefusesAPictureThatIsNoRegularFile) {
    workspace ws;
    standard_files(ws, {fixture::simple_image("WALL", 6, 5, false)});
    ASSERT_EQ(mkfifo(ws.path("pipe.pcx").c_str(), 0644), 0);
    const bytes texture = ws.bytes("TEXBSI.001");
    run::options o = ws.with({"/2TEX", "/i:1", "TEXBSI.001", "pipe.pcx"});
    o.timeout_ms = 10000;
    const run::result r = run::piped(o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fatal_report("Invalid input received!",
                                  "Error loading PCX file 'pipe.pcx'!\n   It is not a regular "
                                  "file (a directory, a pipe or a device); save the picture as "
                                  "a file first."));
    EXPECT_EQ(ws.bytes("TEXBSI.001"), texture);
}

// --- Standard streams --------------------------------------------------------------------------

// Started with its standard streams closed, the program must not let the
// log (its first file) take descriptor 1, where the console's text goes.
TEST(Surroundings, ClosedStandardStreamsDoNotSendTheConsoleIntoTheLog) {
    workspace ws;
    standard_files(ws, {fixture::simple_image("WALL", 6, 5, false)});
    launch l;
    l.dir = ws.path();
    l.args = {"TEXBSI.001"};
    l.input = "y";
    l.closed = {1, 2};
    process exporting(l);
    EXPECT_EQ(exporting.wait(), 1);
    const std::string log = ws.text("ostrel.log");
    EXPECT_EQ(log.find("Save Image as PCX"), std::string::npos) << log;
    EXPECT_NE(log.find("Closing log file..."), std::string::npos) << log;
    EXPECT_TRUE(ws.exists("wall.pcx"));
}

// Console text that cannot be written (a full disk; /dev/full) is a failure
// of the run: status 0 and a line on standard error, not status 1.
TEST(Surroundings, AConsoleThatCannotBeWrittenFailsTheRun) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "NOTICE: no /dev/full on this system";
    const std::string said = "Ostrel: Error writing to standard output: No space left on device!\n";
    struct console_case {
        const char* label;
        std::vector<std::string> args;
        std::string keys;
    };
    for (const console_case& c :
         {console_case{"export", {"TEXBSI.001"}, "y"}, console_case{"help screen", {"/?"}, ""},
          console_case{"fatal report", {"TEXBSI.002"}, ""}}) {
        SCOPED_TRACE(c.label);
        workspace ws;
        standard_files(ws, {fixture::simple_image("WALL", 6, 5, false)});
        launch l;
        l.dir = ws.path();
        l.args = c.args;
        l.input = c.keys;
        l.stdout_path = "/dev/full";
        process running(l);
        EXPECT_EQ(running.wait(), 0);
        EXPECT_EQ(running.err(), said);
        EXPECT_FALSE(ws.exists("wall.pcx"));  // no answer is taken to a prompt nobody saw
    }
}

}  // namespace
