// The Ostrel front end: start-up, the command line, the help screen, the
// fatal exit and the import of one PCX picture into a texture file. The
// export lives in EXPORT.cpp.
#include "frontend/OSTREL.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/FORMATS.h"
#include "lib/FILEUTIL.h"
#include "lib/GENCFG.h"
#include "lib/GENERR.h"
#include "lib/GENSTRIN.h"
#include "lib/GENUTIL.h"
#include "platform/PLATFORM.h"

int32_t convert_to_pcx = 1;
int32_t image_index = -1;
RUN_CHOICES choices;
char picture_files[max_pictures][name_limit + 1] = {};
int32_t picture_count = 0;
char texture_file[name_limit + 1] = "";
char pcx_file[name_limit + 1] = "";
char palette_file[name_limit + 1] = "redguard.col";
char redguard_path[name_limit + 1] = "";
char pcx_path[name_limit + 1] = "";
owned_ptr<uint8_t> loaded_palette;
TEX_IMAGE_LIST texture_list;
PCX_IMAGE pcx_image;
void (*end_process)(int status) = [](int status) { std::exit(status); };

namespace {

const char* const program_name = "Ostrel";
const char* const program_version = "0.1a";
const char* const program_date = "2 Dec 1998";

const char* const log_name = "ostrel.log";
const char* const config_name = "ostrel.ini";
const char* const default_palette = "redguard.col";

// Both path keys are read into buffers that must keep room for the
// separator that terminate_path appends afterwards.
constexpr uint32_t config_path_limit = name_limit - 1;

// Code 14, "String bounds overflow!": a name that does not fit its buffer
// is refused, never cut (a cut name can name another file).
constexpr uint32_t name_too_long = 14;

void report_console_failure(int error) {
    const char* reason = platform::system_error_text(error);
    std::fprintf(stderr, "Ostrel: Error writing to standard output: %s!\n",
                 reason != nullptr ? reason : "unknown error");
}

// Whether the console took everything written to it so far.
bool console_written() {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && !std::ferror(stdout))
        return true;
    report_console_failure(error != 0 ? error : EIO);
    return false;
}

void print_banner() {
    std::printf("%s %s - %s, %s\n", program_name, program_version, program_date,
                ostrel_author_credit);
}

// What the run still holds when it ends early: the palette and the images.
void release_run_state() {
    release_import_state();
    loaded_palette.reset();
    texture_list.free();
}

// Every early end of the run, once what it holds is released.
[[noreturn]] void end_run(int status) {
    release_run_state();
    end_process(status);
    std::exit(status);  // in case a replacement returned after all
}

// "I:" or "P:" followed by at least one character.
bool has_prefix_with_text(const char* text, const char* prefix) {
    return text[0] != '\0' && text[1] != '\0' && text[2] != '\0' &&
           str_compare_nocase_n(text, prefix, 2) == 0;
}

// The decimal number at the start of the text: an optional sign, then
// digits; 0 when no digits lead. A number beyond the 32-bit range is held at
// the nearest end of it, so that it still names no image instead of some
// wrapped-around one.
int32_t leading_number(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// A name from the command line into its buffer, whole: a name cut to fit
// could lead to another file (".../TEXBSI.001-mod" cut to ".../TEXBSI.001").
void copy_name(char* destination, const char* name, const char* what) {
    if (std::strlen(name) > static_cast<size_t>(name_limit)) {
        err_code = name_too_long;
        exit_with_error("Error: %s name '%s' is longer than %d characters!", what, name,
                        name_limit);
    }
    bounded_copy(destination, name, name_limit);
}

// The five option forms; true when the text behind the '/' is one of them.
bool parse_option_form(const char* text) {
    if (str_equal_nocase(text, "2PCX") || str_equal_nocase(text, "2PNG")) {
        convert_to_pcx = 1;
        choices.png_direction = str_equal_nocase(text, "2PNG") ? 1 : 0;
        choices.direction_given = 1;
    } else if (str_equal_nocase(text, "2BSI") || str_equal_nocase(text, "2TEX")) {
        convert_to_pcx = 0;
        choices.png_direction = 0;
        choices.direction_given = 1;
    } else if (str_equal_nocase(text, "R")) {
        choices.raw_indices = 1;
    } else if (str_equal_nocase(text, "L")) {
        choices.list_only = 1;
    } else if (str_equal_nocase(text, "Y")) {
        choices.yes_to_all = 1;
    } else if (str_equal_nocase(text, "N")) {
        choices.by_name = 1;
    } else if (has_prefix_with_text(text, "I:")) {
        image_index = leading_number(text + 2);
    } else if (has_prefix_with_text(text, "P:")) {
        copy_name(palette_file, text + 2, "Palette file");
    } else {
        return false;
    }
    return true;
}

// Where '/' is also the directory separator, every absolute path begins with
// the option character. Such an argument with a second separator in it is
// taken for a path; a single word behind one '/' stays an option, so that
// "/xhelpx" still asks for help.
bool slash_argument_is_path(const char* argument) {
    return platform::dir_separator() == '/' && std::strchr(argument + 1, '/') != nullptr;
}

void parse_bare_argument(const char* argument) {
    if (std::strchr(argument, '?') != nullptr)
        show_help();
    if (str_equal_nocase(argument, "-help") || str_equal_nocase(argument, "--help") ||
        str_equal_nocase(argument, "-h"))
        show_help();
    if (str_equal_nocase(argument, "--version"))
        show_version();
    if (str_find_nocase(argument, "texbsi.") != nullptr) {
        copy_name(texture_file, argument, "Texture file");
    } else if (is_picture_argument(argument)) {
        copy_name(pcx_file, argument, "Picture file");
        if (picture_count == max_pictures) {
            err_code = 7;
            exit_with_error("Error: More than %d picture files given!",
                            static_cast<int>(max_pictures));
        }
        bounded_copy(picture_files[picture_count++], argument, name_limit);
    }
}

}  // namespace

int ostrel_main(int argc, char** argv) {
    open_log(log_name);
    read_paths(config_name);
    if (argc <= 1)
        show_help();

    parse_options(argc - 1, argv + 1);
    check_options();

    // One buffer serves the palette path and then the texture path: the
    // palette path is not needed once the palette is in memory.
    char full_path[full_path_limit + 1];
    if (choices.list_only != 0) {
        // A list shows no colours: the palette file need not exist.
        join_path(full_path, redguard_path, texture_file);
        list_images(full_path);
        flush_console();
        return 1;
    }
    join_path(full_path, redguard_path, palette_file);
    loaded_palette.reset(load_palette(full_path));
    if (!loaded_palette)
        exit_with_error("Error loading palette file '%s'!", full_path);

    join_path(full_path, redguard_path, texture_file);
    if (convert_to_pcx != 0) {
        if (!export_pcx(full_path))
            exit_with_error("Error exporting file '%s' to PCX!", full_path);
    } else {
        import_pictures(full_path);
    }

    texture_list.free();
    pcx_image.destroy();
    loaded_palette.reset();
    flush_console();
    return 1;
}

int read_paths(const char* config_name_arg) {
    static bool declared = false;

    const char* environment_path = std::getenv("OSTREL_PATH");
    if (environment_path != nullptr) {
        // Room for the separator that copy_path appends.
        if (std::strlen(environment_path) > config_path_limit) {
            err_code = name_too_long;
            exit_with_error("Error: The directory '%s' of OSTREL_PATH is longer than %u characters!",
                            environment_path, config_path_limit);
        }
        copy_path(redguard_path, environment_path, name_limit);
    }

    if (config_name_arg == nullptr)
        return fail(8);

    if (!declared) {
        declared = true;
        cfg_file.add_var("redguard_path", redguard_path, CFG_STRING, config_path_limit);
        cfg_file.add_var("pcx_path", pcx_path, CFG_STRING, config_path_limit);
    }
    // A missing file is no error: the directories keep what they hold. A
    // directory cut to fit is: it leads somewhere else.
    cfg_file.parse_file(config_name_arg);
    if (cfg_file.cut_line != 0) {
        err_code = name_too_long;
        exit_with_error("Error: The value of '%s' on line %d of '%s' is too long (a line holds "
                        "at most %d characters, a directory %u)!",
                        cfg_file.cut_name, cfg_file.cut_line, config_name_arg, CFG_FILE::max_line,
                        config_path_limit);
    }

    terminate_path(redguard_path);
    terminate_path(pcx_path);
    return 1;
}

int parse_options(int count, char** arguments) {
    if (count < 1 || arguments == nullptr)
        return fail(8);

    for (int i = 0; i < count; ++i) {
        const char* argument = arguments[i];
        if (argument == nullptr)
            continue;

        if (argument[0] == '/') {
            const char* text = argument + 1;
            if (parse_option_form(text))
                continue;
            if (!slash_argument_is_path(argument)) {
                if (std::strchr(text, '?') != nullptr || str_find_nocase(text, "help") != nullptr) {
                    show_help();
                }
                continue;
            }
        }
        parse_bare_argument(argument);
    }
    return 1;
}

int check_options() {
    if (texture_file[0] == '\0')
        exit_with_error("Error: No texture file specified!");
    // The export checks its own settings as it goes; a list needs none.
    if (convert_to_pcx != 0 || choices.list_only != 0)
        return 1;
    if (pcx_file[0] == '\0')
        exit_with_error("Error: No PCX file specified!");
    // By name, each picture finds its image.
    if (image_index < 1 && choices.by_name == 0)
        exit_with_error("Error: Invalid image index %d specified!", image_index);
    return 1;
}

void show_help() {
    std::printf("\n");
    print_banner();
    std::printf("     Export Redguard texture files to PCX files and vice-versa.\n\n");
    std::printf("   OSTREL [options] [TEXBSI.###] [file.PCX]\n");
    std::printf("      /? ......... View this help screen.\n");
    std::printf("      /2PCX ...... Saves texture files as PCX.\n");
    std::printf("      /2PNG ...... Saves texture files as PNG.\n");
    std::printf("      /2BSI\n");
    std::printf("      /2TEX ...... Saves a PCX as a texture file.\n");
    std::printf("      /p:file .... Specify another palette file (PAL/COL).\n");
    std::printf("      /l ......... Lists the images of the texture file.\n");
    std::printf("      /y ......... Saves every image without asking.\n");
    std::printf("      /n ......... Replaces the images named like the PCX files.\n");
    std::printf("      /r ......... Takes a picture's palette indices as they are.\n");
    std::printf("      /i:# ....... Convert or replace this image in file (1=first image)\n\n");
    std::printf("The texture file must have the format 'TEXBSI.###' and any given PCX file\n");
    std::printf("must end with '.PCX'.  A texture file and an image index must be specified\n");
    std::printf("if converting from a PCX file.  PCX files will be automatically overwritten.\n");
    std::printf("See the manual file OSTREL.TXT for more detailed information.\n");
    flush_console();
    end_run(1);
}

void show_version() {
    print_banner();
    flush_console();
    end_run(1);
}

void exit_with_error(const char* format, ...) {
    std::printf("\n");
    print_banner();
    if (err_code != 0)
        std::printf("   Error Message: %s\n", err_table.get_error_msg(err_code));
    if (format != nullptr) {
        std::printf("   ");
        va_list arguments;
        va_start(arguments, format);
        std::vprintf(format, arguments);
        va_end(arguments);
        std::printf("\n");
    }
    console_written();  // the status is 0 either way; a failure is said on standard error
    end_run(0);
}

void flush_console() {
    if (console_written())
        return;
    end_run(0);
}

char* join_path(char* destination, const char* directory, const char* name) {
    if (destination == nullptr)
        return destination;
    destination[0] = '\0';
    if (name == nullptr)
        return destination;
    if (has_path(name) || directory == nullptr) {
        bounded_copy(destination, name, name_limit);
        return destination;
    }
    bounded_copy(destination, directory, name_limit);
    bounded_copy(destination + std::strlen(destination), name, name_limit);
    return destination;
}

void reset_run_settings() {
    convert_to_pcx = 1;
    image_index = -1;
    choices = RUN_CHOICES();
    picture_count = 0;
    texture_file[0] = '\0';
    pcx_file[0] = '\0';
    bounded_copy(palette_file, default_palette, name_limit);
    redguard_path[0] = '\0';
    pcx_path[0] = '\0';
    release_run_state();
    pcx_image.destroy();
}
