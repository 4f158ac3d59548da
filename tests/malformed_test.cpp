// Damaged and hostile input through the real program: every such file ends
// the run with the message of its defect, and a texture file that an import
// did not finish is left exactly as it was. The readers' own unit tests
// cover the same defects one level down; here the whole road is walked,
// including the export, which reads a texture file by its own loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lib/GENCFG.h"
#include "lib_support.h"
#include "support/fixture.h"
#include "support/run.h"

namespace {

using fixture::bytes;
using run::fatal_report;
using run::workspace;

const std::string read_error = "Could not read from file!";
const std::string table_full = "Maximum array index reached, could not add entry!";
const std::string invalid_input = "Invalid input received!";

std::string offer(const std::string& name, const std::string& size) {
    return run::offer(name, size, name + ".pcx");
}

bytes cut(bytes file, size_t length) {
    file.resize(length);
    return file;
}

// A good image, then the image under test, then the terminator: the export
// offers the good image before it meets the damage.
const fixture::image good = fixture::simple_image("GOOD", 4, 2, false);

fixture::image victim(std::vector<fixture::record> records) {
    fixture::image img;
    img.name = "VICTIM";
    img.size = 1234;
    img.records = std::move(records);
    return img;
}

const fixture::record end_record = {"END ", {}};

// BHDR at offset 13 of the image, DATA's header at 47, its content at 55.
fixture::image plain_victim() {
    return victim({{"BHDR", fixture::bhdr(4, 2)}, {"DATA", fixture::pixels(4, 2)}, end_record});
}

bytes with_victim(const fixture::image& img) {
    return fixture::texture_file({good, img});
}

struct damaged_texture {
    const char* label;
    bytes file;
    std::string error_message;
    std::string log_line;  // a line the import's log must hold, or ""
    bool exports = false;  // the export, which has no image limit, reads it all
};

std::vector<damaged_texture> damaged_textures() {
    const bytes whole = with_victim(plain_victim());
    const size_t v = fixture::encode_image(good).size();  // where the victim starts

    fixture::image eleven = victim({});
    for (int i = 0; i < 10; ++i)
        eleven.records.push_back({"XTRA", {static_cast<uint8_t>(i)}});
    eleven.records.push_back(end_record);

    std::vector<fixture::image> hundred(1, good);
    for (int i = 1; i < 100; ++i)
        hundred.push_back(fixture::simple_image("I" + std::to_string(i), 2, 1, false, false));

    auto huge_data = [](uint32_t length) {
        fixture::record data{"DATA", fixture::pixels(4, 2)};
        data.length_override = length;
        return with_victim(victim({{"BHDR", fixture::bhdr(4, 2)}, data, end_record}));
    };
    auto fixed = [](const char* tag, size_t length) {
        return with_victim(victim({{tag, bytes(length, 7)}, end_record}));
    };

    return {
        {"cut inside a name", cut(whole, v + 4), read_error, ""},
        {"cut inside a size", cut(whole, v + 11), read_error, ""},
        {"cut inside a tag", cut(whole, v + 15), read_error, ""},
        {"cut inside a length", cut(whole, v + 19), read_error, ""},
        {"cut inside a bitmap header", cut(whole, v + 30), read_error, ""},
        {"cut inside the pixel data", cut(whole, v + 58), read_error, ""},
        {"length 0xFFFFFFFF", huge_data(0xFFFFFFFFu), read_error, ""},
        {"length 0x7FFFFFFF", huge_data(0x7FFFFFFFu), read_error, ""},
        {"an eleventh sub-record", with_victim(eleven), table_full, ""},
        {"a 101st entry", fixture::texture_file(hundred), table_full,
         "VUVEREDE - load(): Maximum number of images reached (100)!", true},
        {"BHDR of 25 bytes", fixed("BHDR", 25), "Invalid BHDR sub-record size received!",
         "Expected BHRD sub-record size of 26, found 25!"},
        {"IFHD of 45 bytes", fixed("IFHD", 45), "Invalid IFHD sub-record size received!",
         "Expected IFHD sub-record size of 44, found 45!"},
        {"CMAP of 767 bytes", fixed("CMAP", 767), "Invalid CMAP sub-record size received!",
         "Expected CMAP sub-record size of 768, found 767!"},
    };
}

void put_run_files(const workspace& ws, const bytes& texture) {
    ws.put("TEXBSI.001", texture);
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
    ws.put("new.pcx", fixture::pcx_file(3, 2, fixture::pixels(3, 2), fixture::palette()));
}

TEST(Malformed, DamagedTextureFilesStopTheImportAndStayAsTheyWere) {
    for (const damaged_texture& c : damaged_textures()) {
        SCOPED_TRACE(c.label);
        workspace ws;
        put_run_files(ws, c.file);
        const run::result r = ws.run({"/2TEX", "/i:1", "TEXBSI.001", "new.pcx"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, fatal_report(c.error_message, "Error loading texture file 'TEXBSI.001'!"));
        EXPECT_EQ(ws.bytes("TEXBSI.001"), c.file);
        EXPECT_EQ(ws.files(), (std::vector<std::string>{"TEXBSI.001", "new.pcx", "ostrel.ini",
                                                        "ostrel.log", "redguard.col"}));
        if (!c.log_line.empty()) {
            EXPECT_TRUE(libtest::contains(ws.log_lines(), c.log_line)) << c.log_line;
        }
    }
}

TEST(Malformed, DamagedTextureFilesStopTheExportAfterTheGoodImages) {
    for (const damaged_texture& c : damaged_textures()) {
        SCOPED_TRACE(c.label);
        workspace ws;
        put_run_files(ws, c.file);
        const run::result r = ws.run({"TEXBSI.001"}, std::string(120, 'n'));
        if (c.exports) {
            EXPECT_EQ(r.status, 1);
            size_t offers = 0;
            for (size_t at = r.out.find("(Y/N)?"); at != std::string::npos;
                 at = r.out.find("(Y/N)?", at + 1))
                ++offers;
            EXPECT_EQ(offers, 100u);
        } else {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, offer("good", "4x2") +
                                 fatal_report(c.error_message,
                                              "Error exporting file 'TEXBSI.001' to PCX!"));
        }
        EXPECT_EQ(ws.bytes("TEXBSI.001"), c.file);
    }
}

// A PCX header whose stored maximum x and y are given (the file holds the
// size minus one), followed by a little pixel data, the marker and a palette.
bytes pcx_with_extents(uint16_t max_x, uint16_t max_y) {
    bytes file = fixture::pcx_file(3, 2, fixture::pixels(3, 2), fixture::palette());
    file[8] = static_cast<uint8_t>(max_x);
    file[9] = static_cast<uint8_t>(max_x >> 8);
    file[10] = static_cast<uint8_t>(max_y);
    file[11] = static_cast<uint8_t>(max_y >> 8);
    return file;
}

TEST(Malformed, DamagedPcxFilesStopTheImportAndLeaveTheTexture) {
    const bytes good_pcx = fixture::pcx_file(3, 2, fixture::pixels(3, 2), fixture::palette());
    const bytes big_pcx = fixture::pcx_file(64, 64, fixture::pixels(64, 64, 3), fixture::palette());
    struct pcx_case {
        const char* label;
        bytes file;
        std::string error_message;
        std::string reason;
    };
    const auto size_reason = [](const char* size) {
        return std::string("Its size, ") + size + ", is not between 1x1 and 32767x32767.";
    };
    const std::vector<pcx_case> cases = {
        {"shorter than its header", cut(good_pcx, 100), read_error,
         "It is too short to be a PCX file (100 bytes; the header alone is 128)."},
        // Filling the missing pixels with 255 once imported a cut file as a
        // success, and the hostile header wrote a 1 GiB texture file.
        {"cut to 60 %", cut(big_pcx, big_pcx.size() * 6 / 10), read_error,
         "The file is cut short: its pixel data ends before the last pixel of its 64x64 "
         "picture."},
        {"a 997-byte file claiming 32767 x 32767", fixture::hostile_pcx(), read_error,
         "The file is cut short: its 869 bytes of pixel data cannot hold a picture of "
         "32767x32767."},
        {"cut inside its palette", cut(good_pcx, 128 + 400), read_error,
         "The file is cut short: its palette holds " +
             std::to_string(128 + 400 - (good_pcx.size() - 768)) + " of its 768 bytes."},
        {"width 0 (65536)", pcx_with_extents(0xFFFF, 1), invalid_input, size_reason("0x2")},
        {"height 0 (65536)", pcx_with_extents(2, 0xFFFF), invalid_input, size_reason("3x0")},
        {"width 32768", pcx_with_extents(0x7FFF, 1), invalid_input, size_reason("32768x2")},
        {"height 32768", pcx_with_extents(2, 0x7FFF), invalid_input, size_reason("3x32768")},
        {"negative width", pcx_with_extents(0x8000, 1), invalid_input, size_reason("-32767x2")},
        {"negative height", pcx_with_extents(2, 0xFFFE), invalid_input, size_reason("3x-1")},
    };
    const bytes texture = fixture::texture_file({good, fixture::simple_image("TWO", 3, 3, true)});
    for (const pcx_case& c : cases) {
        SCOPED_TRACE(c.label);
        workspace ws;
        put_run_files(ws, texture);
        ws.put("new.pcx", c.file);
        const run::result r = ws.run({"/2TEX", "/i:2", "TEXBSI.001", "new.pcx"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, fatal_report(c.error_message,
                                      "Error loading PCX file 'new.pcx'!\n   " + c.reason));
        EXPECT_EQ(ws.bytes("TEXBSI.001"), texture);
        EXPECT_EQ(ws.files(), (std::vector<std::string>{"TEXBSI.001", "new.pcx", "ostrel.ini",
                                                        "ostrel.log", "redguard.col"}));
    }
}

// Configuration lines no editor should write: each is logged and skipped,
// and the lines after it are read as usual.
TEST(Malformed, ConfigurationLinesNoEditorWrites) {
    struct config_case {
        const char* label;
        std::string content;
        std::string value;  // of `name` afterwards
        std::vector<std::string> messages;
    };
    const std::string long_value(100 * 1024, 'v');
    const std::vector<config_case> cases = {
        {"a 100 KiB line",
         "name = " + long_value + "\nnext = ok\n",
         long_value.substr(0, 255 - 7),
         {"FILEUTIL - read_eol(): Max string length exceeded, 255!"}},
        {"a 100 KiB line whose '=' lies beyond what is kept",
         std::string(100 * 1024, 'x') + "name = lost\nnext = ok\n",
         "old",
         {"FILEUTIL - read_eol(): Max string length exceeded, 255!", "   1: No '=' found!"}},
        {"only equals signs",
         "=\n==\n = = = \nnext = ok",
         "old",
         {"   1: Variable '' not found!", "   2: Variable '' not found!",
          "   3: Variable '' not found!"}},
    };
    for (const config_case& c : cases) {
        SCOPED_TRACE(c.label);
        CFG_FILE table;
        char value[512] = "old";
        char next[512] = "";
        table.add_var("name", value, CFG_STRING, 511);
        table.add_var("next", next, CFG_STRING, 511);
        std::vector<std::string> messages;
        {
            libtest::scoped_log log;
            const std::string path = log.dir().file("ostrel.ini");
            fixture::write_file(path, bytes(c.content.begin(), c.content.end()));
            EXPECT_EQ(table.parse_file(path.c_str()), 1);
            for (const std::string& line : log.close())
                if ((line.rfind("   ", 0) == 0 && line.rfind("    ", 0) != 0) ||
                    line.rfind("FILEUTIL - read_eol", 0) == 0)
                    messages.push_back(line);
        }
        EXPECT_EQ(std::string(value), c.value);
        EXPECT_EQ(std::string(next), "ok");
        EXPECT_EQ(messages, c.messages);
    }
}

}  // namespace
