// PNG: PNG pictures in and out, through libpng (the only code that includes
// its header is this module's source).
//
// Reading takes what paint programs write and turns it into a PICTURE:
//   colour type              bits        picture
//   indexed (3)              1, 2, 4, 8  indexed: the indices, PLTE as the
//                                        palette, tRNS as the entries' opacity
//   grey (0)                 1, 2, 4, 8  bare_indices: the sample values as
//                                        they are (a 4-bit 15 stays 15)
//   grey with alpha (4)      8           bare_indices: the grey values
//   RGB (2)                  8           true_colour, alpha 255
//   RGBA (6)                 8           true_colour
// Interlaced or not. A bare-index picture carries no opacity, so in the two
// grey kinds a fully transparent pixel (alpha 0, or the grey value that tRNS
// names) comes out as index 0, the game's transparent index, as a fully
// transparent true-colour pixel does under the colour rule; in RGB the
// colour that tRNS names gets alpha 0.
// Refused, with the reason in picture_reason(): 16-bit samples, a width or
// height beyond PICTURE::max_side, a picture larger than the file's
// compressed data could ever hold (checked before anything is allocated),
// and anything libpng finds wrong: a bad CRC in any chunk, a file cut short
// anywhere, bad compressed data, too little or too much of it, a palette
// index beyond the palette. Chunks other than IHDR, PLTE, tRNS, IDAT and
// IEND are skipped unread (their CRC is still checked).
//
// Writing makes an 8-bit indexed PNG (colour type 3) with a PLTE of all 256
// entries and nothing else beside the picture: no tRNS, no gamma, no time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "picture/PICTURE.h"

// Whether this Ostrel was built with libpng. Without it png_load and the
// writers refuse with code 9 and a reason that says so;
// is_png_signature still recognises a PNG file, so a caller can tell the
// user why it cannot be read.
bool png_supported();

// The eight bytes every PNG file starts with: true when `bytes` begins with
// them (false for fewer than eight), so a reader can be picked by what a
// file holds rather than by its name.
inline constexpr uint8_t png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
inline bool is_png_signature(const uint8_t* bytes, size_t size) {
    return bytes != nullptr && size >= sizeof png_signature &&
           std::memcmp(bytes, png_signature, sizeof png_signature) == 0;
}

// Reads the PNG file `path` (opened with openfile, so the attempt is
// logged) into `picture`. 1 on success; 0 with err_code set (1 not opened,
// 2 cut short or a read error, 9 refused or damaged), the reason in
// picture_reason() naming the file, and `picture` empty.
int png_load(const char* path, PICTURE& picture);

// Writes `pixels` (width x height palette indices, row by row from the top)
// with `palette` (768 bytes: red, green, blue of entries 0 to 255) as an
// 8-bit indexed PNG to the open binary stream `file`, and flushes it.
// 1 when every byte reached the stream; 0 with code 8 for a missing
// argument or a size outside 1 to PICTURE::max_side, 3 when a write failed.
int png_write(FILE* file, int32_t width, int32_t height, const uint8_t* pixels,
              const uint8_t* palette);

// png_write into a temporary file beside `path`, renamed over it once
// complete: on any failure the temporary file is removed and an earlier
// file of that name stays as it was.
// 1, or 0 with code 1 (not created), 3 (a write or the close failed) or 8.
int png_save(const char* path, int32_t width, int32_t height, const uint8_t* pixels,
             const uint8_t* palette);
