// The Ostrel front end: start-up, options, help screen, fatal exit, the
// import, and the interactive export of a texture file's images.
#pragma once

#include <cstdint>
#include <cstdio>

#include "lib/GENMEM.h"
#include "pcx/PCX.h"
#include "platform/COMPILER.h"
#include "texture/VUVEREDE.h"

constexpr int name_limit = 512;  // characters kept of a name or path
// A full path: a directory of up to name_limit characters joined to a name of
// up to name_limit characters.
constexpr int full_path_limit = 2 * name_limit;

extern int32_t convert_to_pcx;
extern int32_t image_index;
// What the options beyond the original five choose, in one place: a fresh
// value is the state at program start.
struct RUN_CHOICES {
    // "/r": an import takes the picture's indices as they are, whatever the
    // palettes say.
    int32_t raw_indices = 0;
    // "/l": list the images instead of converting anything.
    int32_t list_only = 0;
    // "/y": the export saves every image (or the one of "/i:") without asking.
    int32_t yes_to_all = 0;
    // "/n": an import puts every picture argument into the image of its name.
    int32_t by_name = 0;
    // The last direction option was "/2PNG"; and whether any was given
    // (without one, a picture argument ending in ".png" makes the export
    // write PNG).
    int32_t png_direction = 0;
    int32_t direction_given = 0;
};
extern RUN_CHOICES choices;
// The picture arguments in their order (an import by name takes them all;
// otherwise the last one, `pcx_file`, counts). One per image at most.
constexpr int32_t max_pictures = TEX_IMAGE_LIST::max_images - 1;
extern char picture_files[max_pictures][name_limit + 1];
extern int32_t picture_count;
extern char texture_file[name_limit + 1];
extern char pcx_file[name_limit + 1];
extern char palette_file[name_limit + 1];
extern char redguard_path[name_limit + 1];
extern char pcx_path[name_limit + 1];
extern owned_ptr<uint8_t> loaded_palette;
extern TEX_IMAGE_LIST texture_list;
extern PCX_IMAGE pcx_image;

// The whole run; returns the process status (1 after a completed run).
int ostrel_main(int argc, char** argv);

int read_paths(const char* config_name);
int parse_options(int count, char** arguments);
int check_options();
[[noreturn]] void show_help();
// "--version": the banner line, status 1.
[[noreturn]] void show_version();
[[noreturn]] void exit_with_error(const char* format, ...) OSTREL_PRINTF(1, 2);
// How show_help and exit_with_error end the process once the run is
// released: std::exit with the status, unless a harness (the option
// parser's fuzz target) puts in a function that unwinds instead. It must
// not return.
extern void (*end_process)(int status);
int export_pcx(const char* texture_path);
// The import of the picture arguments (see frontend/IMPORT.cpp); ends the
// run through exit_with_error on any failure, before anything is written.
void import_pictures(const char* texture_path);
// Releases what an import holds (the texture file's hold, a picture).
void release_import_state();
// An image name as the export writes it into a file name: separators, drive
// colons and control characters as '_'. `destination` holds
// TEX_IMAGE::name_size + 1 bytes.
void export_name_part(char* destination, const char* name);

// A texture file read from a pipe or device (by the export or the list) is
// copied first (see open_whole_input); this much it may hold: four
// 8192 x 8192 pictures. A real one is a few MiB; /dev/zero never ends.
constexpr uint64_t streamed_texture_mib = 256;

// open_whole_input for a texture file that is read from its start to its
// end; ends the run with its own message when the file cannot be opened or
// is a pipe or device that holds more than streamed_texture_mib.
FILE* open_texture_stream(const char* texture_path);
// "/l": one line per image of the texture file, then their number; ends the
// run through exit_with_error when the file is damaged.
int list_images(const char* texture_path);

// Flushes the console. When that fails (standard output on a full disk, or
// /dev/full) the run ends with status 0 and a line on standard error, so that
// a script does not take text it never received for a completed run.
void flush_console();

// `name` joined to `directory` into `destination` (full_path_limit + 1
// bytes): a name that holds a directory or drive of its own is used as it
// stands, any other follows the directory. Both parts are cut to name_limit.
char* join_path(char* destination, const char* directory, const char* name);

// An image name as the console shows it: control characters as '?'.
// `destination` holds TEX_IMAGE::name_size + 1 bytes.
void display_name(char* destination, const char* name);

// The run settings, the palette and the two images back to their state at
// program start (tests run several command lines in one process).
void reset_run_settings();
