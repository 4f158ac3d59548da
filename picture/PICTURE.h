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

// How the colours of a picture met the palette of an image.
struct colour_report {
    uint32_t colours = 0;  // distinct colours (or, for indices, distinct indices) the picture uses
    uint32_t moved = 0;    // of them, those whose pixels got another index
    uint32_t missing = 0;  // of them, those the palette lacks
    int32_t first_x = -1;  // the first pixel, row by row, of a missing colour
    int32_t first_y = -1;
    uint8_t first_colour[3] = {};
};

// The colour rule of every import: the palette indices that show the
// picture's pixels in the colours the user saw, in `target` (768 bytes).
// - indexed: an index whose colour equals the target's colour at that index
//   stays (so a picture saved with the exported palette goes in exactly as
//   it is); any other becomes the lowest index of exactly its colour; a
//   palette entry with alpha 0 becomes index 0, the game's transparent one;
// - bare indices (no palette to go by): as they are;
// - true colour: a pixel with alpha 0 becomes index 0, any other the lowest
//   index of exactly its colour (no nearest colour is guessed).
// With `raw` the indices go in as they are, whatever the palettes say;
// a true-colour picture has none and is refused.
// `out` takes width x height indices and may be the picture's own pixels
// (not for true colour). Returns 1, or 0 with code 9 when a colour is
// missing (the report says which; `out` then holds nothing of use) or
// `raw` meets true colour (picture_reason() says so).
int map_colours(const PICTURE& picture, const uint8_t* target, bool raw, uint8_t* out,
                colour_report& report);

// Why the last picture could not be read or taken, in words for the user
// ("16-bit samples: save the picture with 8 bits per sample"), set by the
// readers beside err_code; "" when nothing was refused since the last clear.
const char* picture_reason();
void clear_picture_reason();
// Sets err_code to `code` and the reason (cut to 255 characters); returns 0,
// so a reader's refusal is one line: `return refuse_picture(9, "...");`.
int refuse_picture(uint32_t code, const char* format, ...) OSTREL_PRINTF(2, 3);
