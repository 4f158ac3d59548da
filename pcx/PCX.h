// PCX: reading and writing 8-bit, one-plane, run-length-encoded PCX files
// with a 256-colour palette at the end of the file.
//
// File layout: a 128-byte little-endian header, the run-length-encoded
// pixels, the byte 12, then 768 palette bytes (red, green, blue per entry).
// A byte below 0xC0 is one pixel; a byte b of 0xC0 or above repeats the next
// byte b - 0xC0 times (0 to 63).
#pragma once

#include <cstdint>
#include <cstdio>

#include "lib/GENMEM.h"

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
