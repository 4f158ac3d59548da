// Whole texture files: load and save byte for byte, limits, replacing a
// picture, the size queries and export to PCX.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "lib/GENERR.h"
#include "lib_support.h"
#include "pcx/PCX.h"
#include "support/fixture.h"
#include "texture/VUVEREDE.h"

namespace {

using fixture::bytes;
using fixture::image;
using fixture::record;

using fixture::names_in;

class TexListTest : public ::testing::Test {
protected:
    // Writes `data` as a texture file and loads it.
    int load_bytes(const bytes& data, const std::string& name = "TEXBSI.001") {
        path = dir.file(name);
        fixture::write_file(path, data);
        err_code = 0;
        return list.load(path.c_str());
    }

    // Saves the list to a fresh file and returns its bytes.
    bytes saved() {
        const std::string out = dir.file("saved.tex");
        EXPECT_EQ(1, list.save(out.c_str()));
        return fixture::read_file(out);
    }

    // The bytes the list's images write, without save(): it syncs every
    // file, which would make the many-file tests slow.
    bytes written() {
        const fixture::scratch_stream scratch;
        FILE* file = scratch.get();
        EXPECT_NE(nullptr, file);
        if (file == nullptr)
            return {};
        for (int32_t i = 0; i < list.image_count; ++i)
            EXPECT_EQ(1, entry(i).write(file));
        const long size = std::ftell(file);
        bytes out(static_cast<size_t>(size));
        std::rewind(file);
        if (size > 0) {
            EXPECT_EQ(out.size(), std::fread(out.data(), 1, out.size(), file));
        }
        return out;
    }

    TEX_IMAGE& entry(int index) { return *list.images[index]; }

    fixture::temp_dir dir;
    std::string path;
    TEX_IMAGE_LIST list;
};

// --- Load and save --------------------------------------------------------------

TEST_F(TexListTest, LoadThenSaveGivesTheSameBytes) {
    image unknown_and_empty{"odd",
                            77,
                            {{"BHDR", fixture::bhdr(2, 2)},
                             {"ZZZZ", {1, 2, 3, 4, 5}},
                             {"IFHD", {}},
                             {"CMAP", {}},
                             {"DATA", {}},
                             {"END ", {}}}};
    image lower_case{
        "lower",
        5,
        {{"bhdr", bytes(25, 7)}, {"data", {1}}, {"end ", {2}}, {"END\0", {3}}, {"END ", {}}}};
    image end_content{"endc", -1, {{"DATA", {4, 4}}, {"END ", {9, 8, 7}}}};
    image two_data{
        "two",
        1 << 30,
        {{"BHDR", fixture::bhdr(2, 1)}, {"DATA", {1, 2}}, {"DATA", {3, 4, 5, 6, 7}}, {"END ", {}}}};
    image long_data = fixture::simple_image("longdata", 3, 3, true);
    long_data.records[3].content.insert(long_data.records[3].content.end(), 11, 0xAB);
    image nine = fixture::simple_image("NINECHARS", 2, 2, false);
    image after_nul = fixture::simple_image(std::string("a\0bcdefgh", 9), 2, 2, false);

    struct round_trip {
        const char* what;
        bytes file;
    };
    const std::vector<round_trip> cases = {
        {"only a terminator", bytes(9, 0)},
        {"terminator with bytes of its own",
         fixture::texture_file({}, {0, 1, 2, 3, 4, 5, 6, 7, 8})},
        {"plain images", fixture::texture_file({fixture::simple_image("a", 4, 4, true),
                                                fixture::simple_image("b", 3, 5, false)})},
        {"unknown tags, zero lengths", fixture::texture_file({unknown_and_empty})},
        {"lower-case tags", fixture::texture_file({lower_case})},
        {"END with content", fixture::texture_file({end_content})},
        {"two DATA records", fixture::texture_file({two_data})},
        {"DATA longer than the picture", fixture::texture_file({long_data})},
        {"nine-character name, bytes after a NUL", fixture::texture_file({nine, after_nul})},
    };
    for (const round_trip& c : cases) {
        ASSERT_EQ(1, load_bytes(c.file)) << c.what;
        EXPECT_EQ(c.file, saved()) << c.what;
    }
}

TEST_F(TexListTest, NothingAfterTheTerminatorIsReadOrWritten) {
    bytes file = fixture::texture_file({fixture::simple_image("x", 2, 2, false)});
    const size_t real = file.size();
    file.insert(file.end(), {'j', 'u', 'n', 'k', 0xFF});
    ASSERT_EQ(1, load_bytes(file));
    EXPECT_EQ(2, list.image_count);
    EXPECT_EQ(bytes(file.begin(), file.begin() + real), saved());
}

// A texture file made of random records: every kind of tag, length and
// content, so that the round trip is tried on files no one thought of.
bytes random_texture(std::mt19937& random) {
    const char* tags[] = {"BHDR", "IFHD",  "CMAP", "DATA", "bhdr",
                          "Data", "END\0", "end ", "XYZW", "\x01\x02\x03\x04"};
    std::vector<image> images;
    const int count = static_cast<int>(random() % 6);
    for (int i = 0; i < count; ++i) {
        image img;
        img.name = std::string(1 + random() % 9, 'a');
        for (char& c : img.name)
            c = static_cast<char>(1 + random() % 255);
        img.size = static_cast<int32_t>(random());
        const int records = static_cast<int>(random() % 10);  // END makes it 10 at most
        for (int r = 0; r < records; ++r) {
            const std::string tag(tags[random() % 10], 4);
            bytes content;
            if (tag == "BHDR")
                content = random() % 4 ? fixture::bhdr(static_cast<int16_t>(random()), 3) : bytes();
            else if (tag == "IFHD")
                content = random() % 4 ? fixture::ifhd() : bytes();
            else if (tag == "CMAP")
                content = random() % 4 ? fixture::cmap(static_cast<uint8_t>(random())) : bytes();
            else
                content = bytes(random() % 300, static_cast<uint8_t>(random()));
            img.records.push_back({tag, content});
        }
        bytes end_content(random() % 3 == 0 ? random() % 5 : 0, 0xE0);
        img.records.push_back({"END ", end_content});
        images.push_back(img);
    }
    bytes terminator(9, 0);
    for (size_t i = 1; i < 9; ++i)
        terminator[i] = static_cast<uint8_t>(random());
    return fixture::texture_file(images, terminator);
}

TEST_F(TexListTest, RandomFilesRoundTrip) {
    std::mt19937 random(0x7E7B51);
    for (int n = 0; n < 300; ++n) {
        const bytes file = random_texture(random);
        ASSERT_EQ(1, load_bytes(file)) << "file " << n;
        ASSERT_EQ(file, written()) << "file " << n;
    }
}

TEST_F(TexListTest, DamagedFilesFailCleanlyOrRoundTrip) {
    // Bytes changed, cut off or inserted: a file that still loads saves to
    // exactly the bytes it was read from, and nothing reads out of bounds.
    std::mt19937 random(4711);
    int loaded = 0;
    for (int n = 0; n < 400; ++n) {
        bytes file = random_texture(random);
        switch (random() % 3) {
            case 0:
                for (int k = 0; k < 3; ++k)
                    file[random() % file.size()] = static_cast<uint8_t>(random());
                break;
            case 1:
                file.resize(random() % file.size());
                break;
            default:
                file.insert(file.begin() + random() % file.size(), static_cast<uint8_t>(random()));
        }
        if (load_bytes(file) != 1) {
            EXPECT_NE(0u, err_code) << "file " << n;
            continue;
        }
        ++loaded;
        const bytes out = written();
        ASSERT_LE(out.size(), file.size());
        EXPECT_EQ(bytes(file.begin(), file.begin() + out.size()), out) << "file " << n;
    }
    EXPECT_GT(loaded, 20);
}

TEST_F(TexListTest, HundredEntriesAtMost) {
    std::vector<image> images(99, fixture::simple_image("i", 1, 1, false, false));
    ASSERT_EQ(1, load_bytes(fixture::texture_file(images)));
    EXPECT_EQ(100, list.image_count);

    images.push_back(images.back());
    libtest::scoped_log log;
    EXPECT_EQ(0, load_bytes(fixture::texture_file(images)));
    EXPECT_EQ(7u, err_code);
    EXPECT_EQ(100, list.image_count);
    EXPECT_TRUE(libtest::contains(log.close(),
                                  "VUVEREDE - load(): Maximum number of images reached (100)!"));
}

TEST_F(TexListTest, FailedLoadsKeepWhatTheyRead) {
    const bytes good = fixture::texture_file({fixture::simple_image("keep", 2, 2, false)});
    ASSERT_EQ(1, load_bytes(good));
    err_code = 0;
    EXPECT_EQ(0, list.load(dir.file("missing").c_str()));
    EXPECT_EQ(1u, err_code);
    EXPECT_EQ(2, list.image_count);  // not even freed
    EXPECT_STREQ("keep", entry(0).name);

    // No terminator after the last image: the read of the next name is short.
    bytes cut = good;
    cut.resize(cut.size() - 9);
    EXPECT_EQ(0, load_bytes(cut));
    EXPECT_EQ(2u, err_code);
    EXPECT_EQ(2, list.image_count);  // the image and the failed entry
    list.free();
    EXPECT_EQ(0, list.image_count);
    EXPECT_EQ(nullptr, list.images[0]);
}

TEST_F(TexListTest, SaveLogsTheRealPathAndLeavesNoTemporaryFile) {
    ASSERT_EQ(1, load_bytes(fixture::texture_file({fixture::simple_image("x", 2, 2, true)})));
    libtest::scoped_log log;
    ASSERT_EQ(1, list.save(path.c_str()));
    const std::string line = "Attempting to open file '" + path + "' in mode 'wb'";
    EXPECT_TRUE(libtest::contains(log.close(), line));
    EXPECT_EQ(std::vector<std::string>{"TEXBSI.001"}, names_in(dir.path()));
}

TEST_F(TexListTest, AFailedWriteLeavesTheFileAsItWas) {
    const bytes original = fixture::texture_file({fixture::simple_image("x", 2, 2, true)});
    ASSERT_EQ(1, load_bytes(original));
    entry(0).records[0].length = 25;  // the bitmap header can no longer be written
    err_code = 0;
    EXPECT_EQ(0, list.save(path.c_str()));
    EXPECT_EQ(1001u, err_code);
    EXPECT_EQ(original, fixture::read_file(path));
    EXPECT_EQ(std::vector<std::string>{"TEXBSI.001"}, names_in(dir.path()));

    err_code = 0;
    EXPECT_EQ(0, list.save(dir.file("no/such/dir/TEXBSI.001").c_str()));
    EXPECT_EQ(1u, err_code);
}

// --- Replacing a picture --------------------------------------------------------

TEST_F(TexListTest, PutPictureMatchesTheWorkedExample) {
    // DATA of 4,096 bytes (64 x 64) replaced by a 64 x 32 picture.
    image before = fixture::simple_image("wall", 64, 64, true);
    image other = fixture::simple_image("floor", 8, 8, false);
    const int32_t s = before.size;
    ASSERT_EQ(1, load_bytes(fixture::texture_file({other, before})));

    const bytes picture = fixture::pixels(64, 32, 99);
    ASSERT_EQ(1, list.put_picture(1, 64, 32, picture.data()));
    EXPECT_EQ(s - 2048, entry(1).size);
    EXPECT_EQ(64, list.get_width(1));
    EXPECT_EQ(32, list.get_height(1));

    image after = before;
    after.size = s - 2048;
    after.records[0].content = fixture::bhdr(64, 32);  // the other eleven words as they were
    after.records[3].content = picture;
    ASSERT_EQ(1, list.save(path.c_str()));
    EXPECT_EQ(fixture::texture_file({other, after}), fixture::read_file(path));
}

TEST_F(TexListTest, PutPictureIndexAndArgumentChecks) {
    ASSERT_EQ(1, load_bytes(fixture::texture_file({fixture::simple_image("a", 2, 2, false),
                                                   fixture::simple_image("b", 2, 2, false)})));
    const bytes px(4, 1);
    struct index_case {
        int32_t index;
        const uint8_t* pixels;
        int result;
        uint32_t code;
    };
    const index_case cases[] = {
        {-1, px.data(), 0, 5}, {2, px.data(), 0, 5},  // 2 is the terminator
        {3, px.data(), 0, 5},  {0, nullptr, 0, 8},   {1, px.data(), 1, 0},
    };
    for (const index_case& c : cases) {
        err_code = 0;
        EXPECT_EQ(c.result, list.put_picture(c.index, 2, 2, c.pixels)) << c.index;
        EXPECT_EQ(c.code, err_code) << c.index;
    }
    TEX_IMAGE_LIST empty;
    EXPECT_EQ(0, empty.put_picture(0, 2, 2, px.data()));
    EXPECT_EQ(5u, err_code);
}

TEST_F(TexListTest, PutPictureNeedsUsableRecordsAndTouchesNothingOtherwise) {
    struct record_case {
        const char* what;
        std::vector<record> records;
        int result;
        uint32_t code;
    };
    const bytes data(4, 1);
    const std::vector<record_case> cases = {
        {"no DATA", {{"BHDR", fixture::bhdr(2, 2)}, {"END ", {}}}, 0, 1006},
        {"no BHDR", {{"DATA", data}, {"END ", {}}}, 0, 1006},
        {"empty BHDR", {{"BHDR", {}}, {"DATA", data}, {"END ", {}}}, 0, 1006},
        {"raw bhdr", {{"bhdr", fixture::bhdr(2, 2)}, {"DATA", data}, {"END ", {}}}, 0, 1006},
        {"empty DATA", {{"BHDR", fixture::bhdr(2, 2)}, {"DATA", {}}, {"END ", {}}}, 0, 1006},
        {"lower-case data", {{"BHDR", fixture::bhdr(2, 2)}, {"data", data}, {"END ", {}}}, 1, 0},
    };
    const bytes px = {9, 8, 7, 6, 5, 4};
    for (const record_case& c : cases) {
        const bytes file = fixture::texture_file({image{"t", 500, c.records}});
        ASSERT_EQ(1, load_bytes(file)) << c.what;
        err_code = 0;
        EXPECT_EQ(c.result, list.put_picture(0, 3, 2, px.data())) << c.what;
        EXPECT_EQ(c.code, err_code) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(file, written()) << c.what << ": changed";
        } else {
            EXPECT_EQ(502, entry(0).size) << c.what;
        }
    }
}

TEST_F(TexListTest, PutPictureRefusesSizesAHeaderCannotHold) {
    const bytes file = fixture::texture_file({fixture::simple_image("a", 2, 2, false)});
    ASSERT_EQ(1, load_bytes(file));
    const bytes px(40000, 1);
    for (const auto& size : {std::pair<int, int>{0, 2}, {2, 0}, {-1, 2}, {32768, 1}, {1, 40000}}) {
        err_code = 0;
        EXPECT_EQ(0, list.put_picture(0, size.first, size.second, px.data()));
        EXPECT_EQ(9u, err_code);
    }
    EXPECT_EQ(file, written());
}

TEST_F(TexListTest, SizeFieldWrapsInThirtyTwoBits) {
    image img = fixture::simple_image("big", 2, 2, false);
    img.size = INT32_MAX - 10;
    ASSERT_EQ(1, load_bytes(fixture::texture_file({img})));
    const bytes px(64, 3);
    ASSERT_EQ(1, list.put_picture(0, 8, 8, px.data()));
    EXPECT_EQ(static_cast<int32_t>(static_cast<uint32_t>(INT32_MAX) - 10u + 60u), entry(0).size);
}

// --- Size queries ---------------------------------------------------------------

TEST_F(TexListTest, SizeQueries) {
    image raw_header{"raw", 9, {{"bhdr", fixture::bhdr(5, 6)}, {"DATA", {1}}, {"END ", {}}}};
    image empty_header{"empty", 9, {{"BHDR", {}}, {"END ", {}}}};
    ASSERT_EQ(1, load_bytes(fixture::texture_file(
                     {fixture::simple_image("a", 7, 3, false), raw_header, empty_header})));
    struct query {
        int32_t index;
        int32_t width;
        uint32_t width_code;
        int32_t height;
        uint32_t height_code;
    };
    const query cases[] = {
        {0, 7, 0, 3, 0},
        {1, -1, 0, -1, 1006},     // no exact "BHDR"; the case-blind one is raw bytes
        {2, -1, 1006, -1, 1006},  // a bitmap header without content
        {3, -1, 0, -1, 1006},     // the terminator
        {4, -1, 5, -1, 5},
        {-1, -1, 5, -1, 5},
    };
    for (const query& q : cases) {
        err_code = 0;
        EXPECT_EQ(q.width, list.get_width(q.index)) << q.index;
        EXPECT_EQ(q.width_code, err_code) << q.index;
        err_code = 0;
        EXPECT_EQ(q.height, list.get_height(q.index)) << q.index;
        EXPECT_EQ(q.height_code, err_code) << q.index;
    }
}

// --- Export ---------------------------------------------------------------------

class SavePcxTest : public TexListTest {
protected:
    // Loads a one-image file and exports the image; the PCX is read back.
    int export_image(const image& img, const uint8_t* palette) {
        EXPECT_EQ(1, load_bytes(fixture::texture_file({img})));
        pcx_path = dir.file("out.pcx");
        err_code = 0;
        return entry(0).save_pcx(pcx_path.c_str(), palette);
    }

    std::string pcx_path;
    PCX_IMAGE pcx;
};

TEST_F(SavePcxTest, OwnColourMapWinsOverThePaletteGiven) {
    const bytes palette = fixture::palette(40);
    for (bool with_cmap : {true, false}) {
        const image img = fixture::simple_image("tex", 5, 3, with_cmap, true, 17);
        ASSERT_EQ(1, export_image(img, palette.data()));
        ASSERT_EQ(1, pcx.load(pcx_path.c_str()));
        EXPECT_EQ(5, pcx.width());
        EXPECT_EQ(3, pcx.height());
        EXPECT_EQ(fixture::pixels(5, 3, 17), bytes(pcx.pixels, pcx.pixels + 15));
        const bytes expected = with_cmap ? fixture::cmap(17) : palette;
        EXPECT_EQ(expected, bytes(pcx.palette, pcx.palette + 768));
        EXPECT_EQ(nullptr, texture_pcx.pixels);  // the scratch object is empty again
    }
}

TEST_F(SavePcxTest, LaterRecordsWinAndExtraDataIsIgnored) {
    image img{"two",
              10,
              {{"BHDR", fixture::bhdr(2, 1)},
               {"DATA", {1, 1}},
               {"CMAP", fixture::cmap(1)},
               {"DATA", {5, 6, 7, 8}},
               {"CMAP", fixture::cmap(2)},
               {"END ", {}}}};
    ASSERT_EQ(1, export_image(img, nullptr));
    ASSERT_EQ(1, pcx.load(pcx_path.c_str()));
    EXPECT_EQ((bytes{5, 6}), bytes(pcx.pixels, pcx.pixels + 2));
    EXPECT_EQ(fixture::cmap(2), bytes(pcx.palette, pcx.palette + 768));
}

TEST_F(SavePcxTest, UnfitImagesAreRefused) {
    const bytes palette = fixture::palette();
    struct unfit {
        const char* what;
        image img;
        uint32_t code;
    };
    const std::vector<unfit> cases = {
        {"size 0", {"z", 0, {{"BHDR", fixture::bhdr(1, 1)}, {"DATA", {1}}, {"END ", {}}}}, 1005},
        {"no BHDR", {"z", 1, {{"DATA", {1}}, {"END ", {}}}}, 1005},
        {"no DATA", {"z", 1, {{"BHDR", fixture::bhdr(1, 1)}, {"END ", {}}}}, 1005},
        {"width 0", {"z", 1, {{"BHDR", fixture::bhdr(0, 1)}, {"DATA", {1}}, {"END ", {}}}}, 1005},
        {"negative", {"z", 1, {{"BHDR", fixture::bhdr(-2, 1)}, {"DATA", {1}}, {"END ", {}}}}, 1005},
        {"DATA short",
         {"z", 1, {{"BHDR", fixture::bhdr(4, 4)}, {"DATA", {1, 2}}, {"END ", {}}}},
         1005},
        {"empty BHDR", {"z", 1, {{"BHDR", {}}, {"DATA", {1}}, {"END ", {}}}}, 1005},
        {"empty DATA", {"z", 1, {{"BHDR", fixture::bhdr(1, 1)}, {"DATA", {}}, {"END ", {}}}}, 1005},
        {"empty CMAP",
         {"z", 1, {{"BHDR", fixture::bhdr(1, 1)}, {"CMAP", {}}, {"DATA", {1}}, {"END ", {}}}},
         1005},
    };
    for (const unfit& c : cases) {
        EXPECT_EQ(0, export_image(c.img, palette.data())) << c.what;
        EXPECT_EQ(c.code, err_code) << c.what;
        EXPECT_FALSE(fixture::file_exists(pcx_path)) << c.what;
    }

    // No colour map and no palette: the writer's missing-input code.
    EXPECT_EQ(0, export_image(fixture::simple_image("n", 2, 2, false), nullptr));
    EXPECT_EQ(8u, err_code);

    // The terminator has no size and no records.
    ASSERT_EQ(1, load_bytes(bytes(9, 0)));
    err_code = 0;
    EXPECT_EQ(0, entry(0).save_pcx(pcx_path.c_str(), palette.data()));
    EXPECT_EQ(1005u, err_code);
}

}  // namespace
