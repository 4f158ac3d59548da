// The baseline every speed target is measured against: the PCX code as a
// plain C program writes it, one stdio call per byte, the same bytes as
// Ostrel's.
#pragma once

#include <cstdint>

namespace bench {

// Writes an 8-bit PCX file; 1 on success.
int plain_encode(const char* path, int width, int height, const uint8_t* pixels,
                 const uint8_t* palette);

// Reads an 8-bit PCX file without padding into a malloc'd buffer of
// width x height bytes (released with free) and the 768-byte palette;
// nullptr on failure.
uint8_t* plain_decode(const char* path, int* width, int* height, uint8_t* palette);

}  // namespace bench
