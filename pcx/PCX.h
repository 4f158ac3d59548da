// PCX: reading and writing 8-bit, one-plane, run-length-encoded PCX files
// with a 256-colour palette at the end of the file, and reading the other
// layouts paint programs write into a PICTURE (load_pcx_picture).
//
// File layout: a 128-byte little-endian header, the run-length-encoded
// pixels, the byte 12, then 768 palette bytes (red, green, blue per entry).
// A byte below 0xC0 is one pixel; a byte b of 0xC0 or above repeats the next
// byte b - 0xC0 times (0 to 63).
#pragma once

#include <cstdint>
#include <cstdio>

#include "lib/GENMEM.h"

struct PICTURE;

struct PCX_HEADER {
    uint8_t manufacturer = 10;
    uint8_t version = 5;
    uint8_t encoding = 1;
    uint8_t bits_per_pixel = 8;
    int16_t min_x = 0;
    int16_t min_y = 0;
    // In the file: width - 1 and height - 1. In memory: the width and height.
    int16_t max_x = 0;
    int16_t max_y = 0;
    int16_t horizontal_dpi = 150;
    int16_t vertical_dpi = 150;
    uint8_t ega_palette[48] = {};
    uint8_t reserved = 0;
    uint8_t planes = 1;
    uint16_t bytes_per_line = 0;
    int16_t palette_info = 1;
    int16_t horizontal_screen = 1024;
    int16_t vertical_screen = 768;
    uint8_t filler[54] = {};

    static constexpr int file_size = 128;

    constexpr PCX_HEADER() = default;
    void set_defaults() { *this = PCX_HEADER(); }
};

class PCX_IMAGE {
public:
    static constexpr int palette_size = 768;
    static constexpr uint8_t palette_marker = 12;

    constexpr PCX_IMAGE() = default;
    ~PCX_IMAGE() { destroy(); }
    PCX_IMAGE(const PCX_IMAGE&) = delete;
    PCX_IMAGE& operator=(const PCX_IMAGE&) = delete;

    int read_header(FILE* file);   // 1, or 0 with code 2
    int write_header(FILE* file);  // 1, or 0 with code 3
    void destroy();                // releases owned pixels, default header; palette kept

    int load(const char* file_name);
    int save(const char* file_name);
    // Writes the caller's pixels (lent, never released) and palette.
    int save_raw(const char* file_name, int16_t width, int16_t height, const uint8_t* pixels,
                 const uint8_t* palette);

    int16_t width() const { return header.max_x; }
    int16_t height() const { return header.max_y; }

    PCX_HEADER header;
    uint8_t palette[palette_size] = {};
    const uint8_t* pixels = nullptr;  // owned_pixels.get() after a load, or lent

private:
    owned_ptr<uint8_t> owned_pixels;
};

// The picture of a PCX file as paint programs write them, for an import:
// 1, 2, 4 or 8 bits per pixel in one plane (fewer than 8 with the header's
// 16-colour palette, 1 bit as black and white), 1 bit in 2 to 4 planes (4
// to 16 colours), 8 bits in 3 or 4 planes (true colour; the fourth plane is
// alpha), any padding of the lines. An 8-bit picture with the marker 12
// before its last 768 bytes is indexed with that palette, one without it
// has bare indices. Unlike PCX_IMAGE::load, a picture whose data ends
// before its last pixel is refused (the file is cut short), as is any size
// that the file's length could not hold, before anything is allocated.
// 1, or 0 with err_code and picture_reason() set.
int load_pcx_picture(const char* file_name, PICTURE& picture);
