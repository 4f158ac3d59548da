// PCX load, then what the import does with a loaded picture: put it into
// one image of a small texture file and save that file. Checked against a
// decoder written here from the format's rules (runs decoded as one stream
// of lines of max(bytes per line, width) bytes, the first `width` kept, 255
// for whatever the file no longer holds, the palette the last 768 bytes),
// against the exact bytes the saved texture must hold, and by writing the
// picture as PCX again and reading it back. Then the import's own reader
// (every layout) and the colour rule against a palette made from the input:
// either a colour is missing, and the first one named really is missing, or
// every pixel shows in the game the colour it has in the picture.
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>

#include "frontend/OSTREL.h"
#include "fuzz/fuzz_support.h"
#include "lib/GENERR.h"
#include "pcx/PCX.h"
#include "picture/PICTURE.h"
#include "support/fixture.h"
#include "texture/VUVEREDE.h"

namespace {

using fuzz::bytes;

constexpr size_t header_size = 128;
constexpr size_t palette_size = 768;

// A 32767 x 32767 header in a 900-byte file is a valid file that asks for
// 1 GiB, and the reader rightly allocates it. Large pictures teach the
// fuzzer nothing the small ones do not, only slowness, so inputs beyond
// 256 x 256 pixels are skipped; the edges of the range still come in thin
// shapes such as 32767 x 2.
constexpr uint32_t max_pixels = 1u << 16;

struct picture {
    bool loads = false;
    uint32_t code = 0;  // the error code of a refusal
    int width = 0, height = 0;
    bytes pixels, palette;
};

// The stored maximum plus one, in 16-bit arithmetic as the header holds it.
int extent(const uint8_t* field) {
    return static_cast<int16_t>(static_cast<uint16_t>(fuzz::le16(field) + 1));
}

picture reference_decode(const uint8_t* data, size_t size) {
    picture p;
    if (size < header_size) {
        p.code = 2;
        return p;
    }
    p.width = extent(data + 8);
    p.height = extent(data + 10);
    if (p.width < 1 || p.height < 1) {
        p.code = 9;
        return p;
    }
    const size_t width = static_cast<size_t>(p.width);
    const size_t height = static_cast<size_t>(p.height);
    const size_t line = std::max<size_t>(fuzz::le16(data + 66), width);
    p.pixels.assign(width * height, 255);
    size_t at = header_size, row = 0, column = 0;
    while (row < height && at < size) {
        const uint8_t first = data[at++];
        size_t count = 1;
        uint8_t value = first;
        if (first >= 0xC0) {
            if (at == size)
                break;
            count = first - 0xC0u;
            value = data[at++];
        }
        for (; count > 0 && row < height; --count) {
            if (column < width)
                p.pixels[row * width + column] = value;
            if (++column == line) {
                column = 0;
                ++row;
            }
        }
    }
    if (size < palette_size) {
        p.code = 2;
        return p;
    }
    p.palette.assign(data + size - palette_size, data + size);
    p.loads = true;
    return p;
}

// --- The small texture file the picture goes into ----------------------------

// Two images and a terminator with bytes of its own behind the NUL. The
// picture goes into the first image; everything but its DATA, its size and
// its header's width and height must come out as it went in.
constexpr int32_t first_size = 1000;

bytes small_texture(int width, int height, const bytes& pixels) {
    bytes colour_map(palette_size);
    for (size_t i = 0; i < colour_map.size(); ++i)
        colour_map[i] = static_cast<uint8_t>(i * 7 + 1);
    bytes ifhd(44, 3);
    ifhd[0] = 1;
    ifhd[1] = 0;
    const int32_t size = first_size + static_cast<int32_t>(pixels.size()) - 8;
    const fixture::image first{
        "picture",
        size,
        {{"BHDR", fixture::bhdr(static_cast<int16_t>(width), static_cast<int16_t>(height))},
         {"IFHD", ifhd},
         {"CMAP", colour_map},
         {"DATA", pixels},
         {"XTRA", {1, 2, 3}},
         {"END ", {}}}};
    const fixture::image second{
        "KEEP", 77, {{"BHDR", fixture::bhdr(2, 2)}, {"DATA", {9, 8, 7, 6, 5}}, {"END ", {}}}};
    return fixture::texture_file({first, second}, {0, 'e', 'n', 'd', 0, 1, 2, 3, 4});
}

// The colour a pixel of the picture shows, with alpha: a fully transparent
// pixel is the game's transparent index 0, whatever its colour.
struct shown {
    bool transparent;
    uint32_t rgb;
};

uint32_t rgb_of(const uint8_t* c) {
    return uint32_t{c[0]} << 16 | uint32_t{c[1]} << 8 | c[2];
}

shown colour_at(const PICTURE& p, size_t i) {
    if (p.kind == picture_kind::true_colour) {
        const uint8_t* c = p.pixels.get() + 4 * i;
        return {c[3] == 0, rgb_of(c)};
    }
    const uint8_t index = p.pixels.get()[i];
    return {p.alpha[index] == 0, rgb_of(p.palette + 3 * index)};
}

// A palette to import into, made from the input: the picture's own colours
// in another order (an odd multiplier permutes the 256 indices), and, for
// some inputs, one colour changed so that it is missing.
bytes target_palette(const PICTURE& p, const uint8_t* data, size_t size) {
    bytes target(palette_size, 0);
    const uint8_t seed = data[size - 1];
    if (p.kind == picture_kind::true_colour) {
        std::unordered_set<uint32_t> seen;
        size_t next = 0;
        const size_t count = static_cast<size_t>(p.width) * p.height;
        for (size_t i = 0; i < count && next < 256; ++i) {
            const uint8_t* c = p.pixels.get() + 4 * i;
            if (seen.insert(rgb_of(c)).second)
                std::memcpy(&target[3 * next++], c, 3);
        }
    } else {
        const unsigned multiplier = (seed | 1u) & 0xFF;
        for (unsigned i = 0; i < 256; ++i)
            std::memcpy(&target[3 * ((i * multiplier) & 0xFF)], p.palette + 3 * i, 3);
    }
    if (seed & 2)
        target[3 * (seed >> 2)] ^= 0x40;
    return target;
}

void check_colour_rule(const PICTURE& p, const uint8_t* data, size_t size) {
    const bytes target = target_palette(p, data, size);
    const size_t count = static_cast<size_t>(p.width) * p.height;
    bytes indices(count);
    colour_report report;
    const bool raw = data[size - 1] & 1 && p.kind != picture_kind::true_colour;
    const int mapped = map_colours(p, target.data(), raw, indices.data(), report);
    if (mapped == 0) {
        fuzz::check(report.missing > 0 && p.kind != picture_kind::bare_indices && !raw,
                    "only colours can be missing, and only when they are looked up");
        fuzz::check(report.first_x >= 0 && report.first_x < p.width && report.first_y >= 0 &&
                        report.first_y < p.height,
                    "the first missing colour is a pixel of the picture");
        const size_t at = static_cast<size_t>(report.first_y) * p.width + report.first_x;
        const shown first = colour_at(p, at);
        fuzz::check(!first.transparent && first.rgb == rgb_of(report.first_colour),
                    "the first missing colour is named with its value");
        for (int i = 0; i < 256; ++i)
            fuzz::check(rgb_of(&target[3 * i]) != first.rgb, "a missing colour is missing");
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        if (raw || p.kind == picture_kind::bare_indices) {
            fuzz::check(indices[i] == p.pixels.get()[i], "bare and raw indices stay");
            continue;
        }
        const shown c = colour_at(p, i);
        if (c.transparent)
            fuzz::check(indices[i] == 0, "a transparent pixel is index 0");
        else
            fuzz::check(rgb_of(&target[3 * indices[i]]) == c.rgb,
                        "every pixel shows in the game the colour it has in the picture");
    }
}

const bytes& original_texture() {
    static const bytes texture = small_texture(4, 2, {0, 1, 2, 3, 4, 5, 6, 7});
    return texture;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::work_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= header_size) {
        const int64_t pixels = static_cast<int64_t>(extent(data + 8)) * extent(data + 10);
        // The import's reader counts from the header's minimum x and y.
        const int64_t from_origin =
            (static_cast<int64_t>(static_cast<int16_t>(fuzz::le16(data + 8))) -
             static_cast<int16_t>(fuzz::le16(data + 4)) + 1) *
            (static_cast<int64_t>(static_cast<int16_t>(fuzz::le16(data + 10))) -
             static_cast<int16_t>(fuzz::le16(data + 6)) + 1);
        if (pixels > max_pixels || from_origin > max_pixels)
            return 0;
    }
    fuzz::reset_state();
    const std::string input = fuzz::write_input("in.pcx", data, size);
    const picture expected = reference_decode(data, size);

    PICTURE picture;
    if (load_pcx_picture(input.c_str(), picture) == 1) {
        fuzz::check(picture.width >= 1 && picture.height >= 1 && picture.pixels != nullptr,
                    "a picture has pixels");
        check_colour_rule(picture, data, size);
    } else {
        fuzz::check(err_code != 0 && picture.pixels == nullptr,
                    "a refused picture leaves a code and no pixels");
    }
    picture.clear();

    const int loaded = pcx_image.load(input.c_str());
    fuzz::check(loaded == (expected.loads ? 1 : 0), "the reader accepts exactly the valid files");
    if (loaded == 0) {
        fuzz::check(err_code == expected.code, "a refused file gives the code of its defect");
        pcx_image.destroy();
        return 0;
    }
    const int width = pcx_image.width(), height = pcx_image.height();
    fuzz::check(width == expected.width && height == expected.height, "the size is the header's");
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    fuzz::check(std::memcmp(pcx_image.pixels, expected.pixels.data(), count) == 0,
                "the pixels decode as the format says");
    fuzz::check(std::memcmp(pcx_image.palette, expected.palette.data(), palette_size) == 0,
                "the palette is the last 768 bytes");

    // The import: the picture replaces the first image's, and the file is
    // written back whole.
    const bytes& texture = original_texture();
    const std::string texture_path =
        fuzz::write_input("TEXBSI.003", texture.data(), texture.size());
    fuzz::check(texture_list.load(texture_path.c_str()) == 1, "the small texture loads");
    fuzz::check(texture_list.put_picture(0, width, height, pcx_image.pixels) == 1,
                "a loaded picture goes into a texture");
    fuzz::check(texture_list.save(texture_path.c_str()) == 1, "the texture is saved");
    fuzz::check(fuzz::read_all(texture_path) == small_texture(width, height, expected.pixels),
                "only the picture, its size and its header's width and height change");
    texture_list.free();

    // What was read can be written as PCX again and reads back the same.
    const std::string again = fuzz::path("again.pcx");
    fuzz::check(pcx_image.save(again.c_str()) == 1, "a loaded picture saves as PCX");
    PCX_IMAGE reread;
    fuzz::check(reread.load(again.c_str()) == 1, "a saved PCX file loads");
    fuzz::check(reread.width() == width && reread.height() == height &&
                    std::memcmp(reread.pixels, expected.pixels.data(), count) == 0 &&
                    std::memcmp(reread.palette, expected.palette.data(), palette_size) == 0,
                "a saved PCX file reads back as it was");
    pcx_image.destroy();
    return 0;
}
