// Texture sub-records and images: reading and writing one image byte for
// byte, the size checks of the fixed contents, limits, and the dump.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "lib_support.h"
#include "support/fixture.h"
#include "texture/VUVEREDE.h"

namespace {

using fixture::bytes;

// A regular temporary file holding `data`, positioned at its start.
file_ptr stream_of(const bytes& data) {
    file_ptr file(std::tmpfile());
    if (file && !data.empty())
        std::fwrite(data.data(), 1, data.size(), file.get());
    if (file)
        std::rewind(file.get());
    return file;
}

bytes contents_of(FILE* file) {
    std::fflush(file);
    const long end = std::ftell(file);
    bytes out(static_cast<size_t>(end));
    std::rewind(file);
    if (end > 0 && std::fread(out.data(), 1, out.size(), file) != out.size())
        out.clear();
    return out;
}

bytes record_bytes(const std::string& tag, const bytes& content, int64_t length = -1) {
    fixture::image img;
    img.records.push_back({tag, content, length});
    const bytes all = fixture::encode_image(img);
    return bytes(all.begin() + 13, all.end());  // without name and size
}

// --- Sub-records ----------------------------------------------------------------

TEST(TexRecordTest, ContentClassFollowsTheExactTag) {
    struct class_case {
        std::string tag;
        bytes content;
        const std::type_info* expected;
    };
    const std::vector<class_case> cases = {
        {"BHDR", fixture::bhdr(4, 2), &typeid(TEX_BHDR)},
        {"IFHD", fixture::ifhd(), &typeid(TEX_IFHD)},
        {"CMAP", fixture::cmap(), &typeid(TEX_CMAP)},
        {"DATA", bytes(8, 3), &typeid(TEX_CONTENT)},
        {"END ", bytes(2, 1), &typeid(TEX_CONTENT)},
        {"bhdr", bytes(25, 1), &typeid(TEX_CONTENT)},  // no size check either
        {"ABCD", bytes(5, 9), &typeid(TEX_CONTENT)},
    };
    for (const class_case& c : cases) {
        const bytes raw = record_bytes(c.tag, c.content);
        file_ptr in = stream_of(raw);
        TEX_RECORD record;
        ASSERT_EQ(1, record.read(in.get())) << c.tag;
        ASSERT_NE(nullptr, record.content) << c.tag;
        TEX_CONTENT& content = *record.content;
        EXPECT_EQ(*c.expected, typeid(content)) << c.tag;
        EXPECT_EQ(c.content.size(), record.length);

        file_ptr out = stream_of({});
        ASSERT_EQ(1, record.write(out.get())) << c.tag;
        EXPECT_EQ(raw, contents_of(out.get())) << c.tag;
    }
}

TEST(TexRecordTest, ZeroLengthRecordsHaveNoContent) {
    for (const char* tag : {"BHDR", "IFHD", "CMAP", "DATA", "END "}) {
        file_ptr in = stream_of(record_bytes(tag, {}));
        TEX_RECORD record;
        ASSERT_EQ(1, record.read(in.get())) << tag;
        EXPECT_EQ(nullptr, record.content) << tag;
        EXPECT_EQ(0u, record.length);
    }
}

TEST(TexRecordTest, FixedContentsOfTheWrongLengthAreRefusedWithTheirLine) {
    struct size_case {
        const char* tag;
        uint32_t length;
        uint32_t code;
        const char* line;
    };
    const size_case cases[] = {
        {"BHDR", 25, 1001, "Expected BHRD sub-record size of 26, found 25!"},
        {"BHDR", 27, 1001, "Expected BHRD sub-record size of 26, found 27!"},
        {"IFHD", 43, 1002, "Expected IFHD sub-record size of 44, found 43!"},
        {"CMAP", 767, 1003, "Expected CMAP sub-record size of 768, found 767!"},
    };
    for (const size_case& c : cases) {
        libtest::scoped_log log;
        file_ptr in = stream_of(record_bytes(c.tag, bytes(c.length, 0)));
        TEX_RECORD record;
        err_code = 0;
        EXPECT_EQ(0, record.read(in.get())) << c.tag;
        EXPECT_EQ(c.code, err_code);
        EXPECT_TRUE(libtest::contains(log.close(), c.line)) << c.line;
    }
}

TEST(TexRecordTest, WritingAFixedContentChecksTheLengthToo) {
    file_ptr in = stream_of(record_bytes("BHDR", fixture::bhdr(3, 3)));
    TEX_RECORD record;
    ASSERT_EQ(1, record.read(in.get()));
    record.length = 30;
    libtest::scoped_log log;
    file_ptr out = stream_of({});
    err_code = 0;
    EXPECT_EQ(0, record.write(out.get()));
    EXPECT_EQ(1001u, err_code);
    EXPECT_TRUE(libtest::contains(log.close(), "Expected BHRD sub-record size of 26, found 30!"));
}

TEST(TexRecordTest, BitmapHeaderWordsAreLittleEndian) {
    bytes content = fixture::bhdr(0x0102, -3);
    file_ptr in = stream_of(record_bytes("BHDR", content));
    TEX_RECORD record;
    ASSERT_EQ(1, record.read(in.get()));
    const auto& header = dynamic_cast<const TEX_BHDR&>(*record.content);
    EXPECT_EQ(7, header.field_0);
    EXPECT_EQ(-2, header.field_1);
    EXPECT_EQ(0x0102, header.width);
    EXPECT_EQ(-3, header.height);
    EXPECT_EQ(65, header.field_8);
    EXPECT_EQ(12, header.field_12);
}

TEST(TexRecordTest, LengthIsBigEndianAndClearsTheCodeWhenRead) {
    const bytes raw = {'A', 'B', 'C', 'D', 0x01, 0x02, 0x03, 0x04};
    file_ptr in = stream_of(raw);
    TEX_RECORD record;
    err_code = 77;
    ASSERT_EQ(1, record.read_header(in.get()));
    EXPECT_EQ(0x01020304u, record.length);
    EXPECT_STREQ("ABCD", record.tag);
    EXPECT_EQ(0u, err_code);
}

TEST(TexRecordTest, ShortInputFailsWithCode2) {
    const std::vector<bytes> cases = {
        {'D', 'A'},                                 // tag cut
        {'D', 'A', 'T', 'A', 0, 0},                 // length cut
        {'D', 'A', 'T', 'A', 0, 0, 0, 4, 1, 2, 3},  // content cut
        {'C', 'M', 'A', 'P', 0, 0, 3, 0, 1, 2, 3},  // fixed content cut
    };
    for (const bytes& raw : cases) {
        file_ptr in = stream_of(raw);
        TEX_RECORD record;
        err_code = 0;
        EXPECT_EQ(0, record.read(in.get()));
        EXPECT_EQ(2u, err_code);
    }
}

TEST(TexRecordTest, ALengthBeyondTheFileIsRefusedBeforeAllocating) {
    // 4 GiB claimed, a few bytes present: no buffer is made for it.
    for (uint32_t length : {0xFFFFFFFFu, 0x01000000u, 9u}) {
        bytes raw = {'D', 'A', 'T', 'A'};
        fixture::put_be32(raw, length);
        raw.insert(raw.end(), 8, 0x55);
        file_ptr in = stream_of(raw);
        TEX_RECORD record;
        err_code = 0;
        EXPECT_EQ(0, record.read(in.get())) << length;
        EXPECT_EQ(2u, err_code);
        ASSERT_NE(nullptr, record.content);
        EXPECT_EQ(nullptr, record.content->data);
    }
}

TEST(TexRecordTest, PipesAreReadAsFarAsTheyGo) {
    // A pipe has no size to check against: a claimed 4 GiB must neither be
    // allocated up front nor succeed; an honest length reads normally.
    for (const auto& claim : {std::pair<uint32_t, bool>{0xFFFFFFFFu, false}, {6u, true}}) {
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        bytes raw = {'D', 'A', 'T', 'A'};
        fixture::put_be32(raw, claim.first);
        const bytes content = {1, 2, 3, 4, 5, 6};
        raw.insert(raw.end(), content.begin(), content.end());
        ASSERT_EQ(static_cast<ssize_t>(raw.size()), write(fds[1], raw.data(), raw.size()));
        close(fds[1]);
        file_ptr in(fdopen(fds[0], "rb"));
        TEX_RECORD record;
        err_code = 0;
        EXPECT_EQ(claim.second ? 1 : 0, record.read(in.get()));
        if (claim.second) {
            EXPECT_EQ(content, bytes(record.content->data.get(), record.content->data.get() + 6));
        } else {
            EXPECT_EQ(2u, err_code);
        }
    }
}

TEST(TexRecordTest, IsEndWantsTheFourExactCharacters) {
    const std::pair<const char*, bool> cases[] = {
        {"END ", true}, {"end ", false}, {"END\0", false}, {"ENDX", false}, {" END", false}};
    for (const auto& c : cases) {
        TEX_RECORD record;
        std::memcpy(record.tag, c.first, 4);
        EXPECT_EQ(c.second, record.is_end()) << c.first;
    }
}

TEST(TexRecordTest, FreeEmptiesTheRecord) {
    file_ptr in = stream_of(record_bytes("IFHD", fixture::ifhd()));
    TEX_RECORD record;
    ASSERT_EQ(1, record.read(in.get()));
    record.free();
    EXPECT_EQ(nullptr, record.content);
    EXPECT_EQ(0u, record.length);
    EXPECT_STREQ("", record.tag);
}

TEST(TexRecordTest, NewContentsHoldTheirDefaults) {
    TEX_BHDR header;
    EXPECT_EQ(65, header.field_8);
    EXPECT_EQ(256, header.field_11);
    header.field_5 = 9;
    header.width = 4;
    header.clear();
    EXPECT_EQ(0, header.width);
    EXPECT_EQ(9, header.field_5);  // clear leaves it

    TEX_IFHD ifhd;
    EXPECT_EQ(1, ifhd.block[0]);
    EXPECT_EQ(0, ifhd.block[1]);
    EXPECT_EQ(0, ifhd.block[43]);
}

// --- Images --------------------------------------------------------------------

TEST(TexImageTest, ImagesRoundTripByteForByte) {
    fixture::image nine_chars = fixture::simple_image("ABCDEFGHI", 3, 2, true);
    fixture::image after_nul = fixture::simple_image(std::string("ab\0xyz", 6), 2, 2, false, false);
    fixture::image odd;
    odd.name = "odd";
    odd.size = -5;
    odd.records = {{"data", {1, 2}}, {"END\0", {}},       {"end ", {3}},
                   {"XYZW", {}},     {"DATA", {9, 9, 9}}, {"END ", {4, 5, 6}}};
    for (const fixture::image& img : {nine_chars, after_nul, odd}) {
        const bytes raw = fixture::encode_image(img);
        file_ptr in = stream_of(raw);
        TEX_IMAGE image;
        ASSERT_EQ(1, image.read(in.get())) << img.name;
        EXPECT_EQ(static_cast<int32_t>(img.records.size()), image.record_count);
        EXPECT_EQ(img.size, image.size);
        file_ptr out = stream_of({});
        ASSERT_EQ(1, image.write(out.get()));
        EXPECT_EQ(raw, contents_of(out.get())) << img.name;
    }
}

TEST(TexImageTest, TerminatorIsNineBytesAsRead) {
    const bytes raw = {0, 1, 2, 3, 4, 5, 6, 7, 8, 0xEE, 0xEE};
    file_ptr in = stream_of(raw);
    TEX_IMAGE image;
    ASSERT_EQ(1, image.read(in.get()));
    EXPECT_TRUE(image.is_terminator());
    EXPECT_EQ(9, std::ftell(in.get()));
    EXPECT_EQ(0, image.record_count);
    file_ptr out = stream_of({});
    ASSERT_EQ(1, image.write(out.get()));
    EXPECT_EQ(bytes(raw.begin(), raw.begin() + 9), contents_of(out.get()));
}

TEST(TexImageTest, TenRecordsAtMost) {
    fixture::image img;
    img.name = "ten";
    for (int i = 0; i < 9; ++i)
        img.records.push_back({"XTRA", {static_cast<uint8_t>(i)}});
    img.records.push_back({"END ", {}});
    {
        file_ptr in = stream_of(fixture::encode_image(img));
        TEX_IMAGE image;
        EXPECT_EQ(1, image.read(in.get()));
        EXPECT_EQ(10, image.record_count);
    }
    img.records.back() = {"XTRA", {}};
    img.records.push_back({"END ", {}});
    libtest::scoped_log log;
    file_ptr in = stream_of(fixture::encode_image(img));
    TEX_IMAGE image;
    err_code = 0;
    EXPECT_EQ(0, image.read(in.get()));
    EXPECT_EQ(7u, err_code);
    EXPECT_EQ(10, image.record_count);
    const std::vector<std::string> lines = log.close();
    for (const std::string& line : lines)
        EXPECT_EQ(std::string::npos, line.find("VUVEREDE"));
}

TEST(TexImageTest, AFailedRecordStaysCountedForFree) {
    fixture::image img;
    img.name = "bad";
    img.records = {{"DATA", {1, 2, 3}}, {"CMAP", bytes(10, 0)}, {"END ", {}}};
    file_ptr in = stream_of(fixture::encode_image(img));
    TEX_IMAGE image;
    EXPECT_EQ(0, image.read(in.get()));
    EXPECT_EQ(1003u, err_code);
    EXPECT_EQ(2, image.record_count);
    image.free();
    EXPECT_EQ(0, image.record_count);
    EXPECT_STREQ("", image.name);
    EXPECT_EQ(0, image.size);
    EXPECT_STREQ("", image.records[1].tag);
}

TEST(TexImageTest, ShortNameOrSizeFailsWithCode2) {
    for (const bytes& raw : {bytes{'a', 'b'}, bytes{'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 1, 2}}) {
        file_ptr in = stream_of(raw);
        TEX_IMAGE image;
        err_code = 0;
        EXPECT_EQ(0, image.read(in.get()));
        EXPECT_EQ(2u, err_code);
    }
}

TEST(TexImageTest, DumpListsTheImageItsRecordsAndTheHeaderSize) {
    fixture::image img = fixture::simple_image("wall", 4, 2, false, false);
    img.size = 123;
    file_ptr in = stream_of(fixture::encode_image(img));
    TEX_IMAGE image;
    ASSERT_EQ(1, image.read(in.get()));
    libtest::scoped_log log;
    EXPECT_EQ(1, image.dump());
    std::vector<std::string> lines = log.close();
    const std::vector<std::string> expected = {
        "   Image 'wall', Size = 123,  3 Sub-Records",
        "       [BHDR] 26 bytes",
        "              (4 x 2)",
        "       [DATA] 8 bytes",
        "       [END ] 0 bytes",
    };
    auto first = std::find(lines.begin(), lines.end(), expected[0]);
    ASSERT_NE(lines.end(), first);
    ASSERT_GE(static_cast<size_t>(lines.end() - first), expected.size());
    EXPECT_EQ(expected, std::vector<std::string>(first, first + expected.size()));
}

TEST(TexModuleTest, ErrorCodesAreRegisteredAtStartUp) {
    const std::pair<uint32_t, const char*> codes[] = {
        {1001, "Invalid BHDR sub-record size received!"},
        {1002, "Invalid IFHD sub-record size received!"},
        {1003, "Invalid CMAP sub-record size received!"},
        {1004, "Unknown palette format!"},
        {1005, "Invalid image (zero size)!"},
        {1006, "No matching image record found!"},
    };
    for (const auto& c : codes)
        EXPECT_STREQ(c.second, err_table.get_error_msg(c.first));
    EXPECT_EQ(21, err_table.find_error(1006));
}

}  // namespace
