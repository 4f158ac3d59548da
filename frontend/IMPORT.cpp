// The import: one picture into the image "/i:" names, or with "/n" every
// picture argument into the image of its name. The texture file is held
// from before it is read until its replacement has its name, every picture
// is read, checked and put first, and the file is written once, at the end:
// a picture that fails leaves it as it was.
#include <cstdio>
#include <string>

#include "frontend/FORMATS.h"
#include "frontend/OSTREL.h"
#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "lib/GENSTRIN.h"
#include "picture/PICTURE.h"

namespace {

// How long an import waits for another one that updates the same texture
// file. An import of a 64 MiB picture takes well under a second; a slow
// disk's sync may take a few.
constexpr int hold_wait_ms = 10000;

// What one picture did to its image, said once the file is saved.
struct put_note {
    int32_t image = 0;  // from 1
    int32_t old_width = 0, old_height = 0;
    colour_report colours;
    bool true_colour = false;
};

// What an import holds while it runs. Kept here rather than on the stack,
// so that a fatal exit (which does not unwind) releases it too.
struct import_state {
    file_hold hold;
    PICTURE picture;
    owned_ptr<uint8_t> mapped;
    put_note notes[TEX_IMAGE_LIST::max_images];
};
import_state state;

// "1 colour", "3 colours".
const char* plural(uint32_t count) {
    return count == 1 ? "" : "s";
}

// Why a picture file could not be read, under the line that names it.
[[noreturn]] void exit_loading_picture(const char* path, picture_format format) {
    if (picture_reason()[0] != '\0')
        exit_with_error("Error loading %s file '%s'!\n   %s", format_name(format), path,
                        picture_reason());
    exit_with_error("Error loading %s file '%s'!", format_name(format), path);
}

// The picture's pixels as indices of the image's palette (see the colour
// rule in picture/PICTURE.h): in the picture's own buffer where it holds
// indices, in the state's `mapped` for true colour. Refuses, naming the
// first missing colour, before anything is written.
const uint8_t* indices_for(const uint8_t* target, const char* path, picture_format format,
                           int32_t image_number, colour_report& report) {
    const PICTURE& picture = state.picture;
    uint8_t* out = picture.pixels.get();
    if (picture.kind == picture_kind::true_colour) {
        state.mapped = create_bytes(static_cast<uint32_t>(picture.width) *
                                    static_cast<uint32_t>(picture.height));
        out = state.mapped.get();
    }
    if (map_colours(picture, target, choices.raw_indices != 0, out, report))
        return out;
    if (report.missing == 0)
        exit_loading_picture(path, format);
    const uint8_t* c = report.first_colour;
    const char* const hint = "Paint with the colours of the palette that the export gives this "
                             "image only (see \"Colours\" in the README).";
    if (report.missing == 1)
        exit_with_error("Error: 1 colour of '%s' is not in the palette of image %d "
                        "(#%02X%02X%02X at %d,%d)!\n   %s",
                        path, image_number, c[0], c[1], c[2], report.first_x, report.first_y,
                        hint);
    exit_with_error("Error: %u colours of '%s' are not in the palette of image %d "
                    "(first: #%02X%02X%02X at %d,%d)!\n   %s",
                    report.missing, path, image_number, c[0], c[1], c[2], report.first_x,
                    report.first_y, hint);
}

const char* waiting_for = "";

void say_waiting() {
    std::printf("   Texture file '%s' is in use by another program, waiting up to %d seconds...\n",
                waiting_for, hold_wait_ms / 1000);
    flush_console();
}

// The one line that says what the new texture file could not keep of the old
// one. The import goes on all the same: refusing would leave the user no way
// to update such a file at all.
void print_replacement_notes(const file_hold& hold, const char* texture_path) {
    std::string notes;
    auto add = [&notes](const std::string& note) { notes += (notes.empty() ? "" : "; ") + note; };
    if (hold.other_links == 1)
        add("its other name (a hard link) keeps the old content");
    else if (hold.other_links > 1)
        add("its " + std::to_string(hold.other_links) +
            " other names (hard links) keep the old content");
    const platform::file_identity& old = hold.lock.identity;
    if (hold.owner_lost && hold.group_lost)
        add("it now belongs to you and your group, not to user " + std::to_string(old.owner) +
            " and group " + std::to_string(old.group));
    else if (hold.owner_lost)
        add("it now belongs to you, not to user " + std::to_string(old.owner));
    else if (hold.group_lost)
        add("its group is now yours, not group " + std::to_string(old.group));
    if (hold.attributes_lost)
        add("not all of its extended attributes could be kept");
    if (!notes.empty())
        std::printf("   Note: '%s' is a new file: %s.\n", texture_path, notes.c_str());
}

// Takes the hold on the texture file and reads it whole.
void hold_and_load(const char* texture_path) {
    waiting_for = texture_path;
    switch (hold_for_update(texture_path, state.hold, hold_wait_ms, say_waiting)) {
        case platform::lock_result::locked:
            break;
        case platform::lock_result::busy:
            err_code = 0;
            exit_with_error("Error: Texture file '%s' is still in use by another program; "
                            "try again when it is done!",
                            texture_path);
        case platform::lock_result::not_regular:
            exit_with_error("Error: Texture file '%s' is not a regular file, so it cannot be "
                            "replaced!",
                            texture_path);
        case platform::lock_result::failed:
            exit_with_error("Error loading texture file '%s'!", texture_path);
    }
    if (!texture_list.load(texture_path)) {
        exit_with_error("Error loading texture file '%s'!", texture_path);
    }
}

// The image a picture goes into by its file name: the one whose name, as
// the export writes it into a file name (lower case, separators as '_'),
// equals the picture's name without directory and extension, letter case
// ignored. Ends the run when none or several match.
int32_t image_named(const char* picture_path, const char* texture_path) {
    char base[name_limit + 1];
    extract_filename(base, picture_path, name_limit);
    remove_extension(base);
    int32_t found = -1;
    for (int32_t i = 0; i + 1 < texture_list.image_count; ++i) {
        char name[TEX_IMAGE::name_size + 1];
        export_name_part(name, texture_list.images[i]->name);
        if (!str_equal_nocase(name, base))
            continue;
        if (found >= 0) {
            char first[TEX_IMAGE::name_size + 1], second[TEX_IMAGE::name_size + 1];
            display_name(first, texture_list.images[found]->name);
            display_name(second, texture_list.images[i]->name);
            err_code = 0;
            exit_with_error("Error: Images %d '%s' and %d '%s' of '%s' both have the name of "
                            "'%s'; give that picture with /i: instead!",
                            found + 1, first, i + 1, second, texture_path, picture_path);
        }
        found = i;
    }
    if (found < 0) {
        err_code = 0;
        exit_with_error("Error: No image of '%s' has the name of '%s'!", texture_path,
                        picture_path);
    }
    return found;
}

// Reads one picture, maps its colours and puts it into image `index` (from
// 0), in memory. Ends the run on any failure.
void put_one(const char* picture_name, int32_t index, put_note& note) {
    char path[full_path_limit + 1];
    join_path(path, pcx_path, picture_name);
    const picture_format format = format_of_file(path);
    if (!load_picture(path, format, state.picture))
        exit_loading_picture(path, format);

    TEX_IMAGE* image = index >= 0 && index < texture_list.image_count - 1
                           ? texture_list.images[index].get()
                           : nullptr;
    if (image == nullptr) {
        err_code = 5;
        exit_with_error("Error replacing image %d in texture!", index + 1);
    }
    note.image = index + 1;
    note.true_colour = state.picture.kind == picture_kind::true_colour;
    const uint8_t* indices =
        indices_for(image->get_palette(loaded_palette.get()), path, format, note.image,
                    note.colours);

    note.old_width = image->get_width();
    note.old_height = image->get_height();
    clear_picture_reason();
    if (!texture_list.put_picture(index, state.picture.width, state.picture.height, indices)) {
        if (picture_reason()[0] != '\0')
            exit_with_error("Error replacing image %d in texture!\n   %s", note.image,
                            picture_reason());
        exit_with_error("Error replacing image %d in texture!", note.image);
    }
    state.picture.clear();
    state.mapped.reset();
}

// What changed beyond the pixels, so that a wrong image number or a
// repainted palette does not go by without a word.
void print_note(const put_note& note, const char* picture_name) {
    TEX_IMAGE& image = *texture_list.images[note.image - 1];
    char shown[TEX_IMAGE::name_size + 1];
    display_name(shown, image.name);
    if (choices.by_name != 0)
        std::printf("   %s -> image %d '%s'\n", picture_name, note.image, shown);
    const int32_t width = image.get_width();
    const int32_t height = image.get_height();
    if (width != note.old_width || height != note.old_height) {
        const int32_t frame_count = image.get_frames();
        if (frame_count > 1)
            std::printf("   Image %d '%s' was %dx%d, is now %dx%d (%d frames).\n", note.image,
                        shown, note.old_width, note.old_height, width, height, frame_count);
        else
            std::printf("   Image %d '%s' was %dx%d, is now %dx%d.\n", note.image, shown,
                        note.old_width, note.old_height, width, height);
    }
    const colour_report& colours = note.colours;
    if (colours.moved > 0) {
        char path[full_path_limit + 1];
        join_path(path, pcx_path, picture_name);
        if (note.true_colour)
            std::printf("   The %u colour%s of '%s' were matched to the palette of image %d.\n",
                        colours.colours, plural(colours.colours), path, note.image);
        else
            std::printf("   %u of the %u colour%s of '%s' were matched to other indices of the "
                        "palette of image %d.\n",
                        colours.moved, colours.colours, plural(colours.colours), path,
                        note.image);
    }
}

}  // namespace

void import_pictures(const char* texture_path) {
    hold_and_load(texture_path);
    int32_t count = 1;
    if (choices.by_name == 0) {
        put_one(pcx_file, image_index - 1, state.notes[0]);
    } else {
        count = picture_count;
        for (int32_t i = 0; i < count; ++i) {
            const int32_t index = image_named(picture_files[i], texture_path);
            for (int32_t j = 0; j < i; ++j) {
                if (state.notes[j].image == index + 1) {
                    char shown[TEX_IMAGE::name_size + 1];
                    display_name(shown, texture_list.images[index]->name);
                    err_code = 0;
                    exit_with_error("Error: Image %d '%s' is given twice, by '%s' and '%s'!",
                                    index + 1, shown, picture_files[j], picture_files[i]);
                }
            }
            put_one(picture_files[i], index, state.notes[i]);
        }
    }

    test_pause("loaded");
    if (!texture_list.save(texture_path, &state.hold)) {
        if (hold_is_stale(state.hold)) {
            exit_with_error("Error: Texture file '%s' was changed by another program while it "
                            "was read; nothing was saved, try again!",
                            texture_path);
        }
        exit_with_error("Error saving texture file '%s'!", texture_path);
    }
    print_replacement_notes(state.hold, texture_path);
    for (int32_t i = 0; i < count; ++i)
        print_note(state.notes[i], choices.by_name != 0 ? picture_files[i] : pcx_file);
    std::printf("   Successfully saved texture file '%s'...", texture_path);
    release_import_state();
}

void release_import_state() {
    state.picture.clear();
    state.mapped.reset();
    platform::unlock_file(state.hold.lock);
    std::string().swap(state.hold.name);  // gives its memory back, too
}
