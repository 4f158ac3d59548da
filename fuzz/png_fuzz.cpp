// PNG load, checked against what the format and the reader promise: a
// refusal has its code, its reason and an empty picture; whatever loads has
// a size within the texture's limits that its file can hold, a known kind,
// a palette that covers every index; and a picture read back from our own
// writer equals what was written.
//
// Nearly every mutation breaks a chunk's CRC, which libpng checks before
// anything else, so an input that is refused goes through a second time
// with its chunks' CRCs made right: the first run fuzzes the refusal of
// damaged files, the second what lies behind the CRC check.
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "lib/GENERR.h"
#include "png/PNG.h"
#include "support/png_fixture.h"

namespace {

// deflate's best ratio: the reader refuses pictures beyond it.
constexpr uint64_t max_inflate_ratio = 1032;

// Large pictures are still loaded (their size is checked), but not written
// again: that only slows the search.
constexpr size_t max_rewritten_pixels = 1u << 18;

// The input with the CRC of every whole chunk after the signature
// recomputed, up to the first chunk whose length runs past the end.
fuzz::bytes with_crcs_fixed(const uint8_t* data, size_t size) {
    fuzz::bytes out(data, data + size);
    size_t at = 8;
    while (size >= at && size - at >= 12) {
        const uint32_t length = fuzz::be32(data + at);
        if (length > size - at - 12)
            break;
        const uint32_t crc = png_fixture::crc32(out.data() + at + 4, 4 + length);
        for (int i = 0; i < 4; ++i)
            out[at + 8 + length + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        at += 12 + length;
    }
    return out;
}

void check_refusal(const PICTURE& picture) {
    // Without libpng every file is refused alike (9).
    fuzz::check(png_supported() ? err_code == 2 || err_code == 9 : err_code == 9,
                "a refused file is cut short (2) or refused (9)");
    fuzz::check(picture_reason()[0] != '\0', "a refusal gives its reason");
    fuzz::check(picture.width == 0 && picture.height == 0 && !picture.pixels,
                "a refused file leaves the picture empty");
}

void check_picture(const PICTURE& picture, size_t file_size) {
    fuzz::check(picture.width >= 1 && picture.width <= PICTURE::max_side && picture.height >= 1 &&
                    picture.height <= PICTURE::max_side,
                "the size is within the texture's limits");
    fuzz::check(picture.pixels != nullptr, "a loaded picture has pixels");
    const uint64_t count = static_cast<uint64_t>(picture.width) * picture.height;
    fuzz::check(count <= max_inflate_ratio * 4 * file_size,
                "the picture is no larger than its file could hold");
    fuzz::check(picture.palette_entries <= 256, "at most 256 palette entries");
    switch (picture.kind) {
        case picture_kind::indexed: {
            fuzz::check(picture.palette_entries >= 1, "an indexed picture has a palette");
            const uint8_t* pixels = picture.pixels.get();
            fuzz::check(*std::max_element(pixels, pixels + count) < picture.palette_entries,
                        "every index has a palette entry");
            break;
        }
        case picture_kind::bare_indices:
        case picture_kind::true_colour:
            fuzz::check(picture.palette_entries == 0, "only an indexed picture has a palette");
            fuzz::check(
                std::all_of(picture.alpha, picture.alpha + 256, [](uint8_t a) { return a == 255; }),
                "only an indexed picture has entries' opacity");
            break;
        default:
            fuzz::check(false, "the kind is one of the three");
    }
}

// The loaded picture as 8-bit indices (a true-colour picture's red
// channel), written by png_save and read back.
void check_rewrite(const PICTURE& picture) {
    const size_t count = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    if (count > max_rewritten_pixels)
        return;
    fuzz::bytes indices(count);
    for (size_t i = 0; i < count; ++i)
        indices[i] = picture.pixels.get()[i * picture.bytes_per_pixel()];
    const std::string again = fuzz::path("again.png");
    fuzz::check(png_save(again.c_str(), picture.width, picture.height, indices.data(),
                         picture.palette) == 1,
                "a loaded picture saves as PNG");
    PICTURE reread;
    fuzz::check(png_load(again.c_str(), reread) == 1, "a saved PNG file loads");
    fuzz::check(reread.kind == picture_kind::indexed && reread.palette_entries == 256 &&
                    reread.width == picture.width && reread.height == picture.height,
                "a saved PNG file is indexed, with 256 entries, of the same size");
    fuzz::check(
        std::memcmp(reread.pixels.get(), indices.data(), count) == 0 &&
            std::memcmp(reread.palette, picture.palette, sizeof picture.palette) == 0 &&
            std::all_of(reread.alpha, reread.alpha + 256, [](uint8_t a) { return a == 255; }),
        "a saved PNG file reads back as it was written");
}

// 1 when the file loaded (and passed every check), 0 when it was refused.
int run_one(const uint8_t* data, size_t size) {
    fuzz::reset_state();
    const std::string input = fuzz::write_input("in.png", data, size);
    PICTURE picture;
    if (png_load(input.c_str(), picture) == 0) {
        check_refusal(picture);
        return 0;
    }
    fuzz::check(png_supported(), "without libpng nothing loads");
    fuzz::check(is_png_signature(data, size), "only a file with the PNG signature loads");
    check_picture(picture, size);
    check_rewrite(picture);
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::work_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (run_one(data, size) == 0) {
        const fuzz::bytes fixed = with_crcs_fixed(data, size);
        if (!std::equal(fixed.begin(), fixed.end(), data))
            run_one(fixed.data(), fixed.size());
    }
    return 0;
}
