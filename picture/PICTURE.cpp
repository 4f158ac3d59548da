#include "picture/PICTURE.h"

#include <cstring>

void PICTURE::clear() {
    width = 0;
    height = 0;
    kind = picture_kind::bare_indices;
    pixels.reset();
    std::memset(palette, 0, sizeof palette);
    std::memset(alpha, 0, sizeof alpha);
    palette_entries = 0;
}
