// Palette files: which 768 bytes become the palette, told by the size alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/GENERR.h"
#include "lib/GENMEM.h"
#include "lib_support.h"
#include "support/fixture.h"
#include "texture/VUVEREDE.h"

namespace {

using fixture::bytes;

bytes counting(size_t size) {
    bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>(i * 13 + 1);
    return out;
}

TEST(PaletteTest, SizeDecidesWhereThePaletteIs) {
    struct size_case {
        size_t size;
        bool loads;
        size_t offset;  // of the palette in the file
        bool logged;
    };
    const size_case cases[] = {
        {768, true, 0, false}, {776, true, 8, false}, {777, true, 0, true}, {1000, true, 0, true},
        {767, false, 0, true}, {500, false, 0, true}, {0, false, 0, true},
    };
    for (const size_case& c : cases) {
        libtest::scoped_log log;
        const std::string path = log.dir().file("redguard.col");
        const bytes file = counting(c.size);
        fixture::write_file(path, file);
        err_code = 0;
        owned_ptr<uint8_t> palette(load_palette(path.c_str()));
        EXPECT_EQ(c.loads, palette != nullptr) << c.size;
        EXPECT_EQ(0u, err_code) << c.size;
        if (palette) {
            EXPECT_EQ(bytes(file.begin() + c.offset, file.begin() + c.offset + 768),
                      bytes(palette.get(), palette.get() + 768))
                << c.size;
        }
        const std::string line = "Unknown palette file '" + path + "'!";
        EXPECT_EQ(c.logged, libtest::contains(log.close(), line)) << c.size;
    }
}

TEST(PaletteTest, MissingFileGivesNullAndCode1) {
    fixture::temp_dir dir;
    err_code = 0;
    EXPECT_EQ(nullptr, load_palette(dir.file("none.col").c_str()));
    EXPECT_EQ(1u, err_code);
}

}  // namespace
