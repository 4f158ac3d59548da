// "/l": what a texture file holds, one line per image, without writing
// anything and without the palette file.
#include <cstdio>
#include <memory>
#include <new>

#include "frontend/OSTREL.h"
#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"

namespace {

void print_image(int32_t number, TEX_IMAGE& image) {
    char name[TEX_IMAGE::name_size + 1];
    display_name(name, image.name);
    const int32_t width = image.get_width();
    const int32_t height = image.get_height();
    char size[32] = "-";
    if (width >= 0 && height >= 0)
        std::snprintf(size, sizeof size, "%dx%d", static_cast<int>(width),
                      static_cast<int>(height));
    const bool own_colours = image.get_palette(nullptr) != nullptr;
    const int64_t data = image.get_data_length();
    char data_text[24] = "-";
    if (data >= 0)
        std::snprintf(data_text, sizeof data_text, "%lld", static_cast<long long>(data));
    std::printf("%5d  %-9s  %-11s  %6d  %-12s  %10s\n", static_cast<int>(number), name, size,
                static_cast<int>(image.get_frames()), own_colours ? "own" : "palette file",
                data_text);
}

}  // namespace

int list_images(const char* texture_path) {
    if (texture_path == nullptr)
        return fail(8);
    file_ptr file(open_texture_stream(texture_path));

    std::unique_ptr<TEX_IMAGE> image(new (std::nothrow) TEX_IMAGE);
    if (!image) {
        err_table.fatal_error(4, "VUVEREDE - list_images(): Failed to allocate %u bytes!",
                              static_cast<unsigned>(sizeof(TEX_IMAGE)));
    }
    std::printf("%5s  %-9s  %-11s  %6s  %-12s  %10s\n", "Image", "Name", "Size", "Frames",
                "Colours", "Data");
    int32_t count = 0;
    for (;;) {
        image->free();
        if (!image->read(file.get())) {
            image.reset();
            exit_with_error("Error: The texture file '%s' is damaged after image %d!",
                            texture_path, static_cast<int>(count));
        }
        if (image->is_terminator())
            break;
        print_image(++count, *image);
    }
    std::printf("%d image%s in '%s'.\n", static_cast<int>(count), count == 1 ? "" : "s",
                texture_path);
    return 1;
}
