// The import end to end: one PCX picture into one image of a texture file,
// byte for byte, and a texture file that stays as it was whenever the import
// fails.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pcx/PCX.h"
#include "picture/PICTURE.h"
#include "support/fixture.h"
#include "support/run.h"

namespace {

using run::fatal_report;
using run::workspace;

std::vector<fixture::image> three_images() {
    return {fixture::simple_image("ONE", 8, 4, true, true, 1),
            fixture::simple_image("TWO", 6, 5, false, true, 2),
            fixture::simple_image("THREE", 5, 5, true, false, 3)};
}

using fixture::with_picture;

void standard_files(const workspace& ws, const std::vector<fixture::image>& images) {
    ws.put("TEXBSI.001", fixture::texture_file(images));
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
}

TEST(Import, ReplacesOnePictureByteForByte) {
    const fixture::bytes px = fixture::pixels(7, 3, 40);
    for (const char* direction : {"/2TEX", "/2bsi"}) {
        SCOPED_TRACE(direction);
        workspace ws;
        standard_files(ws, three_images());
        // The palette the export gives image 2, which has no colour map.
        ws.put("new.pcx", fixture::pcx_file(7, 3, px, fixture::palette()));

        const run::result r = ws.run({direction, "/i:2", "TEXBSI.001", "new.pcx"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out,
                  "   Image 2 'TWO' was 6x5, is now 7x3.\n"
                  "   Successfully saved texture file 'TEXBSI.001'...");
        EXPECT_EQ(r.err, "");

        std::vector<fixture::image> expected = three_images();
        expected[1] = with_picture(expected[1], 7, 3, px);
        EXPECT_EQ(ws.bytes("TEXBSI.001"), fixture::texture_file(expected));
        EXPECT_EQ(ws.files(), (std::vector<std::string>{"TEXBSI.001", "new.pcx", "ostrel.ini",
                                                        "ostrel.log", "redguard.col"}));
        std::vector<std::string> opened;
        for (const std::string& line : ws.log_lines())
            if (line.rfind("Attempting to open file", 0) == 0)
                opened.push_back(line);
        EXPECT_EQ(opened, (std::vector<std::string>{
                              "Attempting to open file 'ostrel.ini' in mode 'rt'",
                              "Attempting to open file 'redguard.col' in mode 'rb'",
                              "Attempting to open file 'TEXBSI.001' in mode 'rb'",
                              "Attempting to open file 'new.pcx' in mode 'rb'",
                              "Attempting to open file 'TEXBSI.001' in mode 'wb'",
                          }));
    }
}

// The last real image, an odd width, and the files found through the two
// directories: the game directory for the texture, pcx_path for the PCX.
TEST(Import, LastImageThroughTheDirectories) {
    workspace ws;
    ws.put("game/TEXBSI.001", fixture::texture_file(three_images()));
    ws.put("game/redguard.col", fixture::palette());
    const fixture::bytes px = fixture::pixels(9, 2, 5);
    ws.put("pictures/odd.pcx", fixture::pcx_file(9, 2, px, fixture::cmap(3)));
    ws.put_text("ostrel.ini", "redguard_path = game\npcx_path = pictures\n");

    const run::result r = ws.run({"/2TEX", "odd.pcx", "/i:3", "TEXBSI.001"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "   Image 3 'THREE' was 5x5, is now 9x2.\n"
              "   Successfully saved texture file 'game/TEXBSI.001'...");
    std::vector<fixture::image> expected = three_images();
    expected[2] = with_picture(expected[2], 9, 2, px);
    EXPECT_EQ(ws.bytes("game/TEXBSI.001"), fixture::texture_file(expected));
}

// Exporting a picture and importing it again gives back the very same file.
TEST(Import, ExportedPictureComesBackUnchanged) {
    workspace ws;
    std::vector<fixture::image> images = three_images();
    images.push_back(fixture::simple_image("ODD", 13, 7, false, true, 9));
    standard_files(ws, images);
    const fixture::bytes original = ws.bytes("TEXBSI.001");
    for (int index = 1; index <= 4; ++index) {
        SCOPED_TRACE(index);
        const std::string i = "/i:" + std::to_string(index);
        ASSERT_EQ(ws.run({i, "TEXBSI.001", "pic.pcx"}, "y").status, 1);
        const std::string exported = "pic0" + std::to_string(index - 1) + ".pcx";
        ASSERT_TRUE(ws.exists(exported));
        ASSERT_EQ(ws.run({"/2TEX", i, "TEXBSI.001", exported}).status, 1);
        EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
    }
}

// The save replaces the file the link points to; the link stays, and so do
// the file's permissions.
TEST(Import, KeepsLinkAndPermissions) {
    workspace ws;
    ws.put("real/TEXBSI.001", fixture::texture_file(three_images()));
    ws.put("redguard.col", fixture::palette());
    ws.put("new.pcx", fixture::pcx_file(2, 2, fixture::pixels(2, 2), fixture::cmap(1)));
    ASSERT_EQ(chmod(ws.path("real/TEXBSI.001").c_str(), 0640), 0);
    std::filesystem::create_symlink("real/TEXBSI.001", ws.path("TEXBSI.001"));

    ASSERT_EQ(ws.run({"/2TEX", "/i:1", "TEXBSI.001", "new.pcx"}).status, 1);
    EXPECT_TRUE(std::filesystem::is_symlink(ws.path("TEXBSI.001")));
    struct stat info {};
    ASSERT_EQ(stat(ws.path("real/TEXBSI.001").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    std::vector<fixture::image> expected = three_images();
    expected[0] = with_picture(expected[0], 2, 2, fixture::pixels(2, 2));
    EXPECT_EQ(ws.bytes("real/TEXBSI.001"), fixture::texture_file(expected));
}

struct failure_case {
    const char* label;
    std::vector<std::string> args;
    std::string error_message;
    std::string message;
    long file_size_limit = 0;
};

TEST(Import, FailureLeavesTheTextureFileAsItWas) {
    // Large enough that a file size limit below it stops the save part-way.
    std::vector<fixture::image> images = three_images();
    images.push_back(fixture::simple_image("BIG", 256, 200, false, true, 4));
    fixture::image no_data;
    no_data.name = "NODATA";
    no_data.size = 5;
    no_data.records = {{"BHDR", fixture::bhdr(4, 4)}, {"END ", {}}};
    images.push_back(no_data);
    fixture::bytes bad_pcx = fixture::pcx_file(3, 3, fixture::pixels(3, 3), fixture::palette());
    bad_pcx[8] = 0xFF;  // maximum x 0xFFFF: a width no picture can have
    bad_pcx[9] = 0xFF;

    // new.pcx has the colours of image 1, plain.pcx those of the palette
    // file (the images without a colour map of their own).
    const std::vector<failure_case> cases = {
        {"texture missing",
         {"/2TEX", "/i:1", "TEXBSI.009", "new.pcx"},
         "Failed to open file!",
         "Error loading texture file 'TEXBSI.009'!"},
        {"PCX missing",
         {"/2TEX", "/i:1", "TEXBSI.001", "gone.pcx"},
         "Failed to open file!",
         "Error loading PCX file 'gone.pcx'!"},
        {"PCX of impossible size",
         {"/2TEX", "/i:1", "TEXBSI.001", "bad.pcx"},
         "Invalid input received!",
         "Error loading PCX file 'bad.pcx'!\n"
         "   Its size, 0x3, is not between 1x1 and 32767x32767."},
        {"index of the terminator",
         {"/2TEX", "/i:6", "TEXBSI.001", "new.pcx"},
         "General array index overflow detected!",
         "Error replacing image 6 in texture!"},
        {"index beyond the file",
         {"/2TEX", "/i:99", "TEXBSI.001", "new.pcx"},
         "General array index overflow detected!",
         "Error replacing image 99 in texture!"},
        {"image without pixel data",
         {"/2TEX", "/i:5", "TEXBSI.001", "plain.pcx"},
         "No matching image record found!",
         "Error replacing image 5 in texture!"},
        {"save cut short",
         {"/2TEX", "/i:1", "TEXBSI.001", "new.pcx"},
         "Could not write to file!",
         "Error saving texture file 'TEXBSI.001'!",
         32 * 1024},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.label);
        workspace ws;
        standard_files(ws, images);
        ws.put("new.pcx", fixture::pcx_file(3, 3, fixture::pixels(3, 3), fixture::cmap(1)));
        ws.put("plain.pcx", fixture::pcx_file(3, 3, fixture::pixels(3, 3), fixture::palette()));
        ws.put("bad.pcx", bad_pcx);
        const fixture::bytes before = ws.bytes("TEXBSI.001");
        ASSERT_GT(before.size(), 40u * 1024);

        run::options o = ws.with(c.args);
        o.file_size_limit = c.file_size_limit;
        const run::result r = run::piped(o);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, fatal_report(c.error_message, c.message));
        EXPECT_EQ(ws.bytes("TEXBSI.001"), before);
        // Nothing left behind: no temporary file beside the texture file.
        EXPECT_EQ(ws.files(), (std::vector<std::string>{"TEXBSI.001", "bad.pcx", "new.pcx",
                                                        "ostrel.ini", "ostrel.log", "plain.pcx",
                                                        "redguard.col"}));
    }
}

TEST(Import, DamagedTextureFileIsNotWritten) {
    workspace ws;
    fixture::bytes cut = fixture::texture_file(three_images());
    cut.resize(cut.size() - 9);  // no terminator
    ws.put("TEXBSI.001", cut);
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
    ws.put("new.pcx", fixture::pcx_file(3, 3, fixture::pixels(3, 3), fixture::palette()));
    const run::result r = ws.run({"/2TEX", "/i:1", "TEXBSI.001", "new.pcx"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fatal_report("Could not read from file!",
                                  "Error loading texture file 'TEXBSI.001'!"));
    EXPECT_EQ(ws.bytes("TEXBSI.001"), cut);
}

}  // namespace

// Real PCX files from other programs, with "/r" (indices as they are): what
// the reader takes as indices goes into the texture exactly as it decodes
// them; true colour has no indices to take, and what the reader refuses
// leaves the texture untouched.
TEST(Import, RealPcxFiles) {
    const std::string shared = fixture::shared_dir();
    if (shared.empty())
        GTEST_SKIP() << "no shared corpus beside the repository";
    std::vector<std::string> paths;
    for (const char* sub : {"/corpus/pcx", "/corpus/pcx/malformed"}) {
        for (const auto& entry : std::filesystem::directory_iterator(shared + sub))
            if (entry.is_regular_file())
                paths.push_back(entry.path().string());
    }
    ASSERT_FALSE(paths.empty());
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        PICTURE picture;
        const bool indices =
            load_pcx_picture(path.c_str(), picture) != 0 && picture.kind != picture_kind::true_colour;

        workspace ws;
        standard_files(ws, three_images());
        ws.put("real.pcx", fixture::read_file(path));
        const fixture::bytes before = ws.bytes("TEXBSI.001");
        const run::result r = ws.run({"/2TEX", "/r", "/i:2", "TEXBSI.001", "real.pcx"});
        ASSERT_TRUE(r.exited);
        if (indices) {
            EXPECT_EQ(r.status, 1) << r.out;
            const size_t count = static_cast<size_t>(picture.width) * picture.height;
            const fixture::bytes px(picture.pixels.get(), picture.pixels.get() + count);
            std::vector<fixture::image> expected = three_images();
            expected[1] = with_picture(expected[1], picture.width, picture.height, px);
            EXPECT_EQ(ws.bytes("TEXBSI.001"), fixture::texture_file(expected));
        } else {
            EXPECT_EQ(r.status, 0);
            EXPECT_NE(r.out.find("Error loading PCX file 'real.pcx'!\n   "), std::string::npos)
                << r.out;
            EXPECT_EQ(ws.bytes("TEXBSI.001"), before);
        }
    }
}
