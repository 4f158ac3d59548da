// PICTURE: a picture between an image file and a texture image.
//
// The readers of the image formats (pcx/, png/) fill one from a file; the
// texture module turns it into the palette indices of one image (see the
// colour rule in this module) and turns an image back into the pixels and
// palette that the writers take. It knows none of the formats.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/GENMEM.h"
#include "platform/COMPILER.h"

enum class picture_kind : uint8_t {
    // Palette indices, with the palette the file gives them
    // (`palette_entries` colours and their opacity).
    indexed,
    // Palette indices without a usable palette (grey scale, or an 8-bit PCX
    // without its palette marker): they go into a texture as they are.
    bare_indices,
    // Red, green, blue and alpha for each pixel.
    true_colour,
};

struct PICTURE {
    // Largest side a texture's bitmap header (a signed 16-bit word) holds.
    static constexpr int32_t max_side = 32767;
    static constexpr int palette_size = 768;
    static constexpr int colour_count = 256;

    PICTURE() = default;
    PICTURE(const PICTURE&) = delete;
    PICTURE& operator=(const PICTURE&) = delete;

    int32_t width = 0;
    int32_t height = 0;
    picture_kind kind = picture_kind::bare_indices;
    // indexed and bare_indices: width x height bytes; true_colour:
    // width x height x 4 bytes (red, green, blue, alpha). Row by row from
    // the top row, no padding.
    owned_ptr<uint8_t> pixels;
    uint8_t palette[palette_size] = {};  // entry i: red, green, blue at 3 i
    uint8_t alpha[colour_count] = {};    // opacity of entry i (255: opaque)
    uint32_t palette_entries = 0;        // entries the file defines, 0 to 256

    // Bytes per pixel of `pixels`: 4 for true colour, else 1.
    uint32_t bytes_per_pixel() const { return kind == picture_kind::true_colour ? 4 : 1; }
    // Back to an empty picture.
    void clear();
};

// Why the last picture could not be read or taken, in words for the user
// ("16-bit samples: save the picture with 8 bits per sample"), set by the
// readers beside err_code; "" when nothing was refused since the last clear.
const char* picture_reason();
void clear_picture_reason();
// Sets err_code to `code` and the reason (cut to 255 characters); returns 0,
// so a reader's refusal is one line: `return refuse_picture(9, "...");`.
int refuse_picture(uint32_t code, const char* format, ...) OSTREL_PRINTF(2, 3);
