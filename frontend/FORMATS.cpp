#include "frontend/FORMATS.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "lib/GENSTRIN.h"
#include "pcx/PCX.h"
#include "platform/PLATFORM.h"
#include "png/PNG.h"

const char* format_name(picture_format format) {
    return format == picture_format::png ? "PNG" : "PCX";
}

const char* format_extension(picture_format format) {
    return format == picture_format::png ? ".png" : ".pcx";
}

bool is_picture_argument(const char* argument) {
    return argument != nullptr && (str_find_nocase(argument, ".pcx") != nullptr ||
                                   str_find_nocase(argument, ".png") != nullptr);
}

picture_format format_by_name(const char* name) {
    if (name == nullptr)
        return picture_format::pcx;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr && str_equal_nocase(dot, ".png") ? picture_format::png
                                                           : picture_format::pcx;
}

picture_format format_of_file(const char* path) {
    uint8_t head[sizeof png_signature] = {};
    size_t got = 0;
    // Not a FIFO without a writer: its open would never return.
    if (FILE* file = platform::open_regular_file(path, "rb")) {
        got = std::fread(head, 1, sizeof head, file);
        std::fclose(file);
    }
    // A file that cannot be read is named by its name in the message.
    if (got == 0)
        return format_by_name(path);
    return is_png_signature(head, got) ? picture_format::png : picture_format::pcx;
}

int load_picture(const char* path, picture_format format, PICTURE& picture) {
    clear_picture_reason();
    // A pipe or a device would hold the import, and the texture file with
    // it, until someone writes to it; nor can it be read twice.
    errno = 0;
    if (FILE* probe = platform::open_regular_file(path, "rb"))
        std::fclose(probe);
    else if (errno == EINVAL)
        return refuse_picture(9, "It is not a regular file (a directory, a pipe or a device); "
                                 "save the picture as a file first.");
    if (format == picture_format::png)
        return png_load(path, picture);
    return load_pcx_picture(path, picture);
}

int save_picture(const char* path, picture_format format, TEX_IMAGE& image,
                 const uint8_t* palette) {
    clear_picture_reason();
    clear_output_error();
    if (format == picture_format::pcx)
        return image.save_pcx(path, palette);
    TEX_PICTURE picture;
    if (!image.get_picture(picture, palette))
        return 0;
    if (picture.palette == nullptr)
        return fail(8);
    return png_save(path, picture.width, picture.height, picture.pixels, picture.palette);
}
