// The option parser and the checks of the run settings, on a command line
// made of the input's NUL-separated pieces. The help screen and the fatal
// exit end the process; here they end the one input instead, through the
// front end's replaceable way of ending.
#include <cstring>
#include <string>
#include <vector>

#include "frontend/OSTREL.h"
#include "fuzz/fuzz_support.h"
#include "lib/GENERR.h"

namespace {

constexpr size_t max_arguments = 64;

struct process_ended {
    int status;
};

void end_input(int status) {
    throw process_ended{status};
}

bool within(const char* buffer, size_t limit) {
    return strnlen(buffer, limit + 1) <= limit;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::work_dir();
    fuzz::silence_stdout();
    end_process = end_input;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::reset_state();
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size && pieces.size() <= max_arguments; ++i) {
        if (data[i] == 0)
            pieces.emplace_back();
        else
            pieces.back().push_back(static_cast<char>(data[i]));
    }
    if (pieces.size() > max_arguments)
        pieces.pop_back();
    std::vector<char*> arguments;
    for (std::string& piece : pieces)
        arguments.push_back(&piece[0]);
    arguments.push_back(nullptr);

    // Directories in both spellings, so the joining sees them.
    std::strcpy(redguard_path, "/game/redguard/");
    std::strcpy(pcx_path, "d:\\pcx\\");

    bool checked = false;
    try {
        fuzz::check(parse_options(static_cast<int>(pieces.size()), arguments.data()) == 1,
                    "a command line with arguments is parsed");
        fuzz::check(convert_to_pcx == 0 || convert_to_pcx == 1, "the direction is 0 or 1");
        checked = check_options() == 1;
    } catch (const process_ended& ended) {
        fuzz::check(ended.status == 0 || ended.status == 1, "the process ends with 0 or 1");
    }
    fuzz::check(within(texture_file, name_limit) && within(pcx_file, name_limit) &&
                    within(palette_file, name_limit),
                "names stay within their buffers");
    if (checked) {
        fuzz::check(texture_file[0] != '\0', "a checked run has a texture file");
        // "/l" only lists, whatever the direction; "/n" finds each image by
        // the picture's name.
        if (convert_to_pcx == 0 && choices.list_only == 0)
            fuzz::check(pcx_file[0] != '\0' && picture_count >= 1 &&
                            (image_index >= 1 || choices.by_name != 0),
                        "a checked import has a picture and an image or /n");
    }
    char joined[full_path_limit + 1];
    for (const char* name : {palette_file, texture_file}) {
        join_path(joined, redguard_path, name);
        fuzz::check(within(joined, full_path_limit), "a joined path fits its buffer");
    }
    join_path(joined, pcx_path, pcx_file);
    fuzz::check(within(joined, full_path_limit), "a joined path fits its buffer");
    return 0;
}
