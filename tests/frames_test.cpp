// Frame tables on their own: which images are animated, the strip their
// table describes, and the table and rows built for a new strip.
#include "texture/FRAMES.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "support/fixture.h"

namespace {

using fixture::bytes;

// The DATA of the fixtures' sample animated image: 3 frames of 5x4.
bytes sample_data() {
    return fixture::sample_animated_image("FIRE").records[2].content;
}

TEST(FrameTable, Classify) {
    const bytes data = sample_data();
    // A table of one frame of 2x2 whose second entry ends exactly at the
    // end of DATA (8 + 2 + 2 bytes).
    const bytes edge = fixture::frame_data({8, 10}, {1, 2, 3, 4});
    struct row {
        const char* what;
        int32_t width, height, frames, encoding;
        const bytes* data;
        uint32_t size;
        frames::layout expected;
    };
    using frames::layout;
    const row rows[] = {
        {"the sample", 5, 4, 3, 4, &data, static_cast<uint32_t>(data.size()), layout::frame_table},
        {"encoding 0", 5, 4, 3, 0, &data, static_cast<uint32_t>(data.size()), layout::plain},
        {"encoding 12", 5, 4, 3, 12, &data, static_cast<uint32_t>(data.size()), layout::plain},
        {"last entry ends at the end", 2, 2, 1, 4, &edge, 12, layout::frame_table},
        {"last entry one byte past", 3, 2, 1, 4, &edge, 12, layout::damaged},
        {"table longer than DATA", 5, 4, 3, 4, &data, 47, layout::damaged},
        {"entry past the end", 5, 4, 3, 4, &data, 72, layout::damaged},
        {"frame count 0", 5, 4, 0, 4, &data, static_cast<uint32_t>(data.size()), layout::damaged},
        {"frame count -1", 5, 4, -1, 4, &data, static_cast<uint32_t>(data.size()), layout::damaged},
        {"frame count 65", 5, 4, 65, 4, &data, static_cast<uint32_t>(data.size()), layout::damaged},
        {"width 0", 0, 4, 3, 4, &data, static_cast<uint32_t>(data.size()), layout::damaged},
        {"height -4", 5, -4, 3, 4, &data, static_cast<uint32_t>(data.size()), layout::damaged},
        {"no DATA", 5, 4, 3, 4, nullptr, 0, layout::damaged},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const char* why = nullptr;
        const frames::layout got =
            frames::classify(r.width, r.height, r.frames, r.encoding,
                             r.data != nullptr ? r.data->data() : nullptr, r.size, &why);
        EXPECT_EQ(got, r.expected);
        EXPECT_EQ(why != nullptr, r.expected == layout::damaged);
    }
}

TEST(FrameTable, StripFollowsTheEntries) {
    const bytes data = sample_data();
    bytes strip(5 * 12);
    frames::decode_strip(data.data(), 5, 4, 3, strip.data());
    EXPECT_EQ(strip, fixture::strip_of(data, 5, 4, 3));
    EXPECT_TRUE(frames::strip_matches(data.data(), 5, 4, 3, strip.data()));
    strip[5 * 11 + 4] ^= 1;  // the last pixel of the last frame
    EXPECT_FALSE(frames::strip_matches(data.data(), 5, 4, 3, strip.data()));
    // The rows end at 73 (E at 68, 5 wide); the 7 bytes behind them are the tail.
    EXPECT_EQ(frames::tail_offset(data.data(), static_cast<uint32_t>(data.size()), 5, 4, 3), 73u);
}

// Equal rows, within one frame or across frames, are stored once, in frame
// and row order, behind the table; the tail goes last.
TEST(FrameTable, BuildSharesEqualRows) {
    const bytes a = {1, 1, 1}, b = {2, 0xC0, 2}, c = {7, 8, 9};
    bytes strip;
    for (const bytes* row : {&a, &b, &a, &c, &b, &a})  // 2 frames of 3x3
        strip.insert(strip.end(), row->begin(), row->end());
    const bytes tail = {0xAA, 0xBB};
    owned_ptr<uint8_t> built;
    uint32_t size = 0;
    ASSERT_TRUE(frames::build(strip.data(), 3, 3, 2, tail.data(), 2, built, size));
    const bytes got(built.get(), built.get() + size);
    const bytes expected = fixture::frame_data({24, 27, 24, 30, 27, 24},
                                               {1, 1, 1, 2, 0xC0, 2, 7, 8, 9, 0xAA, 0xBB});
    EXPECT_EQ(got, expected);
    EXPECT_EQ(fixture::strip_of(got, 3, 3, 2), strip);
    EXPECT_EQ(frames::classify(3, 3, 2, 4, got.data(), size), frames::layout::frame_table);
}

// Strips of every shape up to a few rows: the built table always decodes to
// the strip, and no row is stored twice.
TEST(FrameTable, BuildDecodesBackForManyShapes) {
    for (int width = 1; width <= 4; ++width) {
        for (int frame_count = 1; frame_count <= 5; ++frame_count) {
            for (int height = 1; height <= 3; ++height) {
                bytes strip;
                for (int i = 0; i < width * height * frame_count; ++i)
                    strip.push_back(static_cast<uint8_t>((i * 7 / 3) % 3));
                owned_ptr<uint8_t> built;
                uint32_t size = 0;
                ASSERT_TRUE(frames::build(strip.data(), width, height, frame_count, nullptr, 0,
                                          built, size));
                const bytes got(built.get(), built.get() + size);
                EXPECT_EQ(fixture::strip_of(got, width, height, frame_count), strip);
                std::vector<bytes> distinct;
                for (size_t at = 4u * height * frame_count; at < got.size(); at += width) {
                    const bytes row(got.begin() + at, got.begin() + at + width);
                    EXPECT_EQ(std::count(distinct.begin(), distinct.end(), row), 0);
                    distinct.push_back(row);
                }
            }
        }
    }
}

}  // namespace
