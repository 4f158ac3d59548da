// The interactive export: every image of a texture file (or the one chosen
// with "/i:#") is offered on the console and written as a PCX file when the
// user answers Y.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "frontend/FORMATS.h"
#include "frontend/OSTREL.h"
#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "lib/GENSTRIN.h"
#include "picture/PICTURE.h"
#include "platform/PLATFORM.h"
#include "png/PNG.h"

namespace {

// Characters kept of the base name taken from the PCX file argument.
constexpr uint32_t base_limit = 40;

// Room for a distinct name: "_" and a counter of up to ten digits, twice.
constexpr size_t distinct_extra = 24;

// Y, N or Esc; every other key is ignored, and nothing is echoed.
int read_answer() {
    for (;;) {
        const int key = platform::read_key();
        if (key == platform::key_escape)
            return key;
        if (key == 'y' || key == 'Y')
            return 'y';
        if (key == 'n' || key == 'N')
            return 'n';
    }
}

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// The line under "Error exporting ... file!" that says why, also in the log:
// the file could not be made or written, or the image has nothing to write.
void say_why_not_saved(const char* output_name) {
    const char* why = output_error();
    if (why[0] == '\0')
        why = picture_reason();
    if (why[0] == '\0')
        why = err_table.get_error_msg(err_code);
    std::printf("      %s\n", why);
    write_log("Image not saved as '%s': %s", output_name, why);
}

}  // namespace

// An image name comes from the file, not from the user: a crafted name must
// neither lead the output out of its directory nor send control sequences
// to the terminal. Separators, drive colons and control characters become
// '_' in the file name; control characters become '?' on the console.
void export_name_part(char* destination, const char* name) {
    size_t i = 0;
    for (; name[i] != '\0' && i < TEX_IMAGE::name_size; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const bool unsafe = is_control(c) || c == '/' || c == '\\' || c == ':';
        destination[i] = unsafe ? '_' : name[i];
    }
    destination[i] = '\0';
}

void display_name(char* destination, const char* name) {
    size_t i = 0;
    for (; name[i] != '\0' && i < TEX_IMAGE::name_size; ++i) {
        destination[i] = is_control(static_cast<unsigned char>(name[i])) ? '?' : name[i];
    }
    destination[i] = '\0';
}

namespace {

// The files the export must not write: the texture file it reads, and
// those it wrote for earlier images. A name is compared by the file it leads
// to, so a link or a second spelling of the same file (a file system that
// ignores letter case) is caught as well as the same name.
struct output_guard {
    platform::file_identity texture_stream;
    platform::file_identity texture_path;
    std::vector<platform::file_identity> written;

    bool is_texture(const char* name) const {
        platform::file_identity target;
        return platform::identify_path(name, target) &&
               (platform::same_file(target, texture_stream) ||
                platform::same_file(target, texture_path));
    }
    bool was_written(const char* name) const {
        platform::file_identity target;
        if (!platform::identify_path(name, target))
            return false;
        for (const platform::file_identity& file : written)
            if (platform::same_file(target, file))
                return true;
        return false;
    }
    void remember(const char* name) {
        platform::file_identity target;
        if (platform::identify_path(name, target))
            written.push_back(target);
    }
};

// A name for an image whose own name leads to a file written earlier in this
// run: the image's position in the file is appended, as the numbered names
// have it ("sky.pcx" becomes "sky_03.pcx"), and a further number when that is
// taken too.
void make_distinct(char* name, size_t size, const char* extension, int32_t counter,
                   const output_guard& guard) {
    const std::string first(name);
    const std::string stem = first.substr(0, first.size() - std::strlen(extension));
    for (int extra = 0;; ++extra) {
        if (extra == 0)
            std::snprintf(name, size, "%s_%02d%s", stem.c_str(), static_cast<int>(counter),
                          extension);
        else
            std::snprintf(name, size, "%s_%02d_%d%s", stem.c_str(), static_cast<int>(counter),
                          extra, extension);
        if (!guard.was_written(name))
            return;
    }
}

}  // namespace

FILE* open_texture_stream(const char* texture_path) {
    bool too_large = false;
    FILE* file = open_whole_input(texture_path, streamed_texture_mib << 20, too_large);
    if (file == nullptr && too_large) {
        exit_with_error("Error: Texture file '%s' is not a regular file and holds more than %u "
                        "MiB; save it as a file first!",
                        texture_path, static_cast<unsigned>(streamed_texture_mib));
    }
    if (file == nullptr)
        exit_with_error("Error: Could not open image file '%s'!", texture_path);
    return file;
}

int export_pcx(const char* texture_path) {
    if (texture_path == nullptr)
        return fail(8);

    // Output names: the PCX argument gives a directory and a base name that
    // is numbered by image; without a base name each image's own name is
    // used. A name without a directory goes to pcx_path.
    char directory[name_limit + 1] = "";
    char base[base_limit + 1] = "";
    if (pcx_file[0] != '\0') {
        extract_path(directory, pcx_file, name_limit);
        extract_filename(base, pcx_file, base_limit);
    }
    if (directory[0] == '\0')
        bounded_copy(directory, pcx_path, name_limit);
    remove_extension(base);

    // "/2PNG", or no direction at all and a picture argument ending in ".png".
    const bool png = choices.png_direction != 0 ||
                     (choices.direction_given == 0 &&
                      format_by_name(pcx_file) == picture_format::png);
    const picture_format format = png ? picture_format::png : picture_format::pcx;
    const char* const extension = format_extension(format);
    if (format == picture_format::png && !png_supported()) {
        exit_with_error("Error: This Ostrel was built without PNG support: export as PCX, or "
                        "build it again with libpng (Debian: libpng-dev, zlib1g-dev)!");
    }

    file_ptr file(open_texture_stream(texture_path));
    output_guard guard;
    platform::identify_stream(file.get(), guard.texture_stream);
    platform::identify_path(texture_path, guard.texture_path);

    // Only one image is held in memory at a time: the working image is the
    // list's one entry, so the list's size queries answer for it.
    texture_list.free();
    texture_list.images[0].reset(new (std::nothrow) TEX_IMAGE);
    if (!texture_list.images[0]) {
        err_table.fatal_error(4, "VUVEREDE - export_pcx(): Failed to allocate %u bytes!",
                              static_cast<unsigned>(sizeof(TEX_IMAGE)));
    }
    texture_list.image_count = 1;
    TEX_IMAGE& image = *texture_list.images[0];

    int32_t counter = 0;   // position in the file of the image just read
    bool offered = false;  // the image chosen with an index was reached
    int32_t saved = 0;
    int32_t failed = 0;
    for (;;) {
        if (std::feof(file.get()))
            break;
        if (!image.read(file.get())) {
            texture_list.free();
            return 0;
        }
        if (image.is_terminator())
            break;

        if (image_index >= 1 && counter != image_index - 1) {
            image.free();
            ++counter;
            continue;
        }
        offered = true;

        // Worst case: directory, base name, a ten-digit signed counter and
        // the extension; an image name is 9 characters at most.
        char output_name[name_limit + base_limit + 16 + distinct_extra];
        if (base[0] != '\0') {
            std::snprintf(output_name, sizeof output_name, "%s%s%02d%s", directory, base,
                          static_cast<int>(counter), extension);
        } else {
            str_lower(image.name);
            char name_part[TEX_IMAGE::name_size + 1];
            export_name_part(name_part, image.name);
            std::snprintf(output_name, sizeof output_name, "%s%s%s", directory, name_part,
                          extension);
        }

        // Two images whose names give the same file ("Sky" and "SKY", "A/B"
        // and "A_B"): the later one goes elsewhere, and its line says why.
        std::string taken;
        if (guard.was_written(output_name)) {
            taken = output_name;
            make_distinct(output_name, sizeof output_name, extension, counter, guard);
        }

        char shown_name[TEX_IMAGE::name_size + 1];
        display_name(shown_name, image.name);
        const int width = static_cast<int>(texture_list.get_width(0));
        const int height = static_cast<int>(texture_list.get_height(0));
        const int frame_count = static_cast<int>(image.get_frames());
        if (frame_count > 1) {
            std::printf("\nImage %s (%dx%d, %d frames) -> %s", shown_name, width, height,
                        frame_count, output_name);
        } else {
            std::printf("\nImage %s (%dx%d) -> %s", shown_name, width, height, output_name);
        }
        if (!taken.empty())
            std::printf(" (%s holds an earlier image)", taken.c_str());
        std::printf("\n");
        int answer = 'y';
        if (choices.yes_to_all == 0) {
            std::printf("        Save Image as %s (Y/N)?", format_name(format));
            flush_console();
            answer = read_answer();
            std::printf("\n");
        }

        if (answer == platform::key_escape)
            break;
        if (answer == 'y') {
            // Written through a temporary file renamed over the name, the
            // texture file itself would be replaced by the picture.
            if (guard.is_texture(output_name)) {
                ++failed;
                std::printf("      Error exporting %s file!\n", format_name(format));
                std::printf("      '%s' is the texture file being read; it stays as it is.\n",
                            output_name);
            } else if (save_picture(output_name, format, image, loaded_palette.get())) {
                ++saved;
                guard.remember(output_name);
            } else {
                ++failed;
                std::printf("      Error exporting %s file!\n", format_name(format));
                say_why_not_saved(output_name);
            }
        }
        image.free();
        ++counter;
    }

    texture_list.free();
    file.reset();

    if (choices.yes_to_all != 0 && offered) {
        std::printf("\n   %d image%s saved, %d failed.\n", static_cast<int>(saved),
                    saved == 1 ? "" : "s", static_cast<int>(failed));
    }
    if (image_index >= 1 && !offered) {
        exit_with_error("Specified image index %d is too high, not enough images in file (%d)!",
                        image_index, counter);
    }
    return 1;
}
