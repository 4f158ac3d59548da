// Frame tables: the pixel data of the game's animated textures.
//
// An image whose bitmap header says encoding 4 keeps in its "DATA" a table
// of height x frames little-endian 32-bit entries; entry frame * height + row
// is the offset, from the start of "DATA", of that row's `width` bytes. Rows
// may be shared: several entries, in one frame or across frames, may point
// at the same bytes, and nothing says what else "DATA" may hold. A picture of
// such an image is a vertical strip, frame 0 at the top.
//
// These functions work on the bytes alone and know no texture classes, so
// that the recognition lives in one place and can be tested and fuzzed on
// its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/GENMEM.h"

namespace frames {

// The bitmap header's word 12 (counted from 0) gives the encoding of the
// pixel data, word 7 the frame count: encoding 0 is width x height bytes.
constexpr int32_t encoding_row_table = 4;  // a frame table, then rows
constexpr int32_t max_frames = 64;
constexpr uint32_t entry_size = 4;

enum class layout {
    plain,        // anything but a sound frame table: width x height bytes
    frame_table,  // encoding 4 with a table that fits "DATA"
    damaged,      // encoding 4, but the header or the table does not fit
};

// What the header words and the data say. `why` (may be null) receives a
// constant text for a damaged table ("an entry points past the end").
layout classify(int32_t width, int32_t height, int32_t frame_count, int32_t encoding,
                const uint8_t* data, uint32_t data_size, const char** why = nullptr);

// The strip of a frame table image: width x (height x frame_count) bytes,
// each row copied from where its entry points. Only for what classify()
// called a frame table.
void decode_strip(const uint8_t* data, int32_t width, int32_t height, int32_t frame_count,
                  uint8_t* strip);

// True when the strip equals the frames the table describes, row by row.
bool strip_matches(const uint8_t* data, int32_t width, int32_t height, int32_t frame_count,
                   const uint8_t* strip);

// The bytes behind the last row that the table of `data` points at (and
// behind the table itself): what "DATA" holds beyond its pixels, kept when
// the frames are rebuilt. Only for a frame table.
uint32_t tail_offset(const uint8_t* data, uint32_t data_size, int32_t width, int32_t height,
                     int32_t frame_count);

// A new "DATA" for a strip of `frame_count` frames of width x frame_height:
// the table, then each distinct row once (identical rows share one copy, the
// first in frame and row order), then `tail_size` bytes of `tail`. The size
// goes to `size`. False (nothing made) when the result would not fit 32 bits.
bool build(const uint8_t* strip, int32_t width, int32_t frame_height, int32_t frame_count,
           const uint8_t* tail, uint32_t tail_size, owned_ptr<uint8_t>& out, uint32_t& size);

}  // namespace frames
