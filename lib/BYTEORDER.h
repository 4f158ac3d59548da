// The byte order of the file formats: little-endian fields read from and
// written to memory one byte at a time, so the host's own order never
// matters. (Whole fields on a stream: read_short, read_int, read_long_be and
// write_long_be in FILEUTIL.)
#pragma once

#include <cstdint>

inline uint16_t get_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline void put_le16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value & 0xFF);
    p[1] = static_cast<uint8_t>(value >> 8);
}

inline uint32_t get_le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void put_le32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}
