// The PNG module of a build without libpng (CMake picks this source when
// libpng is not found): PNG files are still recognised, and every reading
// or writing is refused with the reason.
#include "lib/GENERR.h"
#include "png/PNG.h"

namespace {

int refuse_unsupported() {
    return refuse_picture(9,
                          "This Ostrel was built without PNG support: use PCX, or build Ostrel "
                          "again with libpng installed (Debian: libpng-dev, zlib1g-dev).");
}

}  // namespace

bool png_supported() {
    return false;
}

int png_load(const char* path, PICTURE& picture) {
    (void)path;
    picture.clear();
    return refuse_unsupported();
}

int png_write(FILE* file, int32_t width, int32_t height, const uint8_t* pixels,
              const uint8_t* palette) {
    (void)file, (void)width, (void)height, (void)pixels, (void)palette;
    return refuse_unsupported();
}

int png_save(const char* path, int32_t width, int32_t height, const uint8_t* pixels,
             const uint8_t* palette) {
    (void)path, (void)width, (void)height, (void)pixels, (void)palette;
    return refuse_unsupported();
}
