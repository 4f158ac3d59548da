// Animated images end to end: the export writes their frames as one strip,
// the import takes a strip back, and nothing ever writes plain pixels over
// a frame table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib_support.h"
#include "pcx/PCX.h"
#include "support/fixture.h"
#include "support/run.h"

namespace {

using fixture::bytes;
using run::fatal_report;
using run::workspace;

constexpr size_t data_record = 2;  // BHDR, IFHD, DATA, END

// A still image, the sample animated image, and one with its own colour map.
std::vector<fixture::image> images() {
    return {fixture::simple_image("WALL", 6, 5, false, true, 2),
            fixture::sample_animated_image("FIRE01"),
            fixture::sample_animated_image("WATER", true)};
}

void standard_files(const workspace& ws, const std::vector<fixture::image>& list) {
    ws.put("TEXBSI.001", fixture::texture_file(list));
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
}

struct decoded {
    int width = 0, height = 0;
    bytes pixels, palette;
};

decoded load_pcx(const std::string& path) {
    PCX_IMAGE pcx;
    decoded out;
    if (pcx.load(path.c_str()) == 0)
        return out;
    out.width = pcx.width();
    out.height = pcx.height();
    out.pixels.assign(pcx.pixels, pcx.pixels + static_cast<size_t>(out.width) * out.height);
    out.palette.assign(pcx.palette, pcx.palette + PCX_IMAGE::palette_size);
    return out;
}

TEST(Animated, ExportWritesTheFramesAsAStrip) {
    workspace ws;
    standard_files(ws, images());
    const run::result r = ws.run({"TEXBSI.001"}, "yyy");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, run::offer("wall", "6x5", "wall.pcx") +
                         run::offer("fire01", "5x4, 3 frames", "fire01.pcx") +
                         run::offer("water", "5x4, 3 frames", "water.pcx"));

    const bytes data = fixture::sample_animated_image("X").records[data_record].content;
    const decoded fire = load_pcx(ws.path("fire01.pcx"));
    EXPECT_EQ(fire.width, 5);
    EXPECT_EQ(fire.height, 12);
    EXPECT_EQ(fire.pixels, fixture::strip_of(data, 5, 4, 3));
    EXPECT_EQ(fire.palette, fixture::palette());
    EXPECT_EQ(load_pcx(ws.path("water.pcx")).palette, fixture::cmap(4));
    // The strip goes out exactly as a still picture of that size would.
    EXPECT_EQ(ws.bytes("fire01.pcx"),
              fixture::pcx_file(5, 12, fixture::strip_of(data, 5, 4, 3), fixture::palette()));
}

TEST(Animated, UnchangedStripGivesTheSameFile) {
    workspace ws;
    standard_files(ws, images());
    const bytes original = ws.bytes("TEXBSI.001");
    for (const char* index : {"/i:2", "/i:3"}) {
        SCOPED_TRACE(index);
        ASSERT_EQ(ws.run({index, "TEXBSI.001", "strip.pcx"}, "y").status, 1);
        const std::string exported = index[3] == '2' ? "strip01.pcx" : "strip02.pcx";
        const run::result r = ws.run({"/2TEX", index, "TEXBSI.001", exported});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
    }
}

// One row of frame 2 becomes a new row: a new table, every distinct row
// once in frame and row order, the 7 bytes that followed the rows behind
// them, and the size moved by the change of length; nothing else changes.
TEST(Animated, EditedStripRebuildsTheTable) {
    workspace ws;
    standard_files(ws, images());
    const bytes data = fixture::sample_animated_image("X").records[data_record].content;
    bytes strip = fixture::strip_of(data, 5, 4, 3);
    for (int x = 0; x < 5; ++x)
        strip[5 * 8 + x] = 0x77;  // frame 2, row 0 (was A)
    ws.put("edited.pcx", fixture::pcx_file(5, 12, strip, fixture::palette()));

    const run::result r = ws.run({"/2TEX", "/i:2", "TEXBSI.001", "edited.pcx"});
    EXPECT_EQ(r.status, 1) << r.out;

    const bytes rows = {1,    2,    3,    4,    5,    0xC0, 0xC1, 0xFF, 0xC0, 0xC0,
                        9,    9,    9,    9,    9,    0x10, 0x20, 0x30, 0x40, 0x50,
                        200,  0,    200,  0,    200,  0x77, 0x77, 0x77, 0x77, 0x77,
                        0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    const bytes rebuilt =
        fixture::frame_data({48, 53, 58, 48, 63, 53, 58, 68, 73, 48, 68, 63}, rows);
    std::vector<fixture::image> expected = images();
    expected[1].records[data_record].content = rebuilt;
    expected[1].size += 5;
    EXPECT_EQ(ws.bytes("TEXBSI.001"), fixture::texture_file(expected));
    EXPECT_EQ(fixture::strip_of(rebuilt, 5, 4, 3), strip);
}

// Frames of a new size: the header takes the frame size, the frame count
// and every other word stay.
TEST(Animated, StripOfANewFrameSize) {
    workspace ws;
    standard_files(ws, images());
    bytes strip(7 * 6);
    for (size_t i = 0; i < strip.size(); ++i)
        strip[i] = static_cast<uint8_t>(i < 14 ? 3 : i);  // two equal rows in frame 0
    ws.put("big.pcx", fixture::pcx_file(7, 6, strip, fixture::cmap(4)));  // WATER's colours

    ASSERT_EQ(ws.run({"/2TEX", "/i:3", "TEXBSI.001", "big.pcx"}).status, 1);

    std::vector<fixture::image> expected = images();
    bytes rows(strip.begin() + 7, strip.end());  // the first row is stored once
    const bytes data = fixture::frame_data({24, 24, 31, 38, 45, 52}, rows);
    // WATER has a colour map: BHDR, IFHD, CMAP, DATA, END.
    const bytes old = expected[2].records[3].content;
    bytes with_tail = data;
    with_tail.insert(with_tail.end(), old.end() - 7, old.end());
    expected[2].records[0].content = fixture::animated_bhdr(7, 2, 3);
    expected[2].size += static_cast<int32_t>(with_tail.size()) - static_cast<int32_t>(old.size());
    expected[2].records[3].content = with_tail;
    EXPECT_EQ(ws.bytes("TEXBSI.001"), fixture::texture_file(expected));
}

// A strip of the wrong height, and images whose header says "animated" but
// whose table is damaged: refused, the file untouched, nothing left behind.
TEST(Animated, RefusedImportsLeaveTheFileAsItWas) {
    const std::string no_strip =
        "The image is animated: 3 frames of 5x4, so the picture must be a strip of 3 frames "
        "stacked from top to bottom, its height a multiple of 3 (5x12 for frames of the same "
        "size); this picture is 5x13.";
    const auto damaged = [](const std::string& why) {
        return "The image says it is animated, but " + why +
               "; it is left as it is rather than made worse.";
    };
    const bytes sample = fixture::sample_animated_image("X").records[data_record].content;
    struct refusal {
        const char* what;
        fixture::image image;
        std::string reason;
    };
    const auto with_header = [](int16_t width, int16_t frames) {
        fixture::image img = fixture::sample_animated_image("FIRE01");
        img.records[0].content = fixture::animated_bhdr(width, 4, frames);
        return img;
    };
    const auto with_data = [](const bytes& data) {
        return fixture::animated_image("FIRE01", 5, 4, 3, data);
    };
    bytes past_end = sample;
    past_end[44] = 76;  // the last entry: 76 + 5 > 80
    const refusal cases[] = {
        {"height not a multiple", fixture::sample_animated_image("FIRE01"), no_strip},
        {"entry past the end", with_data(past_end),
         damaged("an entry of its frame table points past the end of its DATA")},
        {"table longer than DATA", with_data(bytes(sample.begin(), sample.begin() + 40)),
         damaged("its frame table is longer than its DATA")},
        {"frame count 0", with_header(5, 0), damaged("its frame count is not between 1 and 64")},
        {"frame count -2", with_header(5, -2), damaged("its frame count is not between 1 and 64")},
        {"width 0", with_header(0, 3),
         damaged("its width or height is not between 1 and 32767")},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.what);
        workspace ws;
        standard_files(ws, {images()[0], c.image});
        const bytes original = ws.bytes("TEXBSI.001");
        ws.put("strip.pcx", fixture::pcx_file(5, 13, bytes(65, 1), fixture::palette()));

        const run::result r = ws.run({"/2TEX", "/i:2", "TEXBSI.001", "strip.pcx"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, fatal_report("Invalid input received!",
                                      "Error replacing image 2 in texture!\n   " + c.reason));
        EXPECT_EQ(ws.bytes("TEXBSI.001"), original);
        EXPECT_EQ(ws.files(), (std::vector<std::string>{"TEXBSI.001", "ostrel.ini", "ostrel.log",
                                                        "redguard.col", "strip.pcx"}));
    }
}

// A damaged table exports as the plain pixels its header promises, as any
// still image would, and the log says why.
TEST(Animated, DamagedTableExportsAsPlainPixels) {
    workspace ws;
    fixture::image img = fixture::sample_animated_image("FIRE01");
    img.records[0].content = fixture::animated_bhdr(5, 4, 0);
    standard_files(ws, {img});
    const run::result r = ws.run({"TEXBSI.001"}, "y");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Image fire01 (5x4) -> fire01.pcx"), std::string::npos);
    const bytes data = img.records[data_record].content;
    EXPECT_EQ(load_pcx(ws.path("fire01.pcx")).pixels, bytes(data.begin(), data.begin() + 20));
    EXPECT_TRUE(libtest::contains(ws.log_lines(),
                                  "VUVEREDE - save_pcx(): Image 'fire01' says it is animated, "
                                  "but its frame count is not between 1 and 64: exported as "
                                  "plain pixels!"));
}

}  // namespace
