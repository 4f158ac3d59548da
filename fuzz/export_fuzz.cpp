// The export as the program runs it: the texture file read one image at a
// time into the working image, each image offered and answered Y, and each
// written as a PCX file. The answers come from a file on standard input, as
// they do from a pipe. Every PCX file written must read back.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "frontend/OSTREL.h"
#include "fuzz/fuzz_support.h"
#include "lib/GENERR.h"
#include "lib/GENSTRIN.h"
#include "pcx/PCX.h"

namespace {

namespace fs = std::filesystem;

// More answers than a file can hold images that are offered one by one.
constexpr int answers = 4096;

std::string output_dir() {
    return fuzz::path("out");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fs::create_directories(output_dir());
    const std::string yes(answers, 'y');
    const std::string keys =
        fuzz::write_input("keys", reinterpret_cast<const uint8_t*>(yes.data()), yes.size());
    // The keys are read from the descriptor itself, byte by byte.
    const int keys_fd = open(keys.c_str(), O_RDONLY);
    fuzz::check(keys_fd >= 0 && dup2(keys_fd, STDIN_FILENO) == STDIN_FILENO,
                "the answers are on standard input");
    close(keys_fd);
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::reset_state();
    fuzz::check(lseek(STDIN_FILENO, 0, SEEK_SET) == 0, "the answers start again");
    const std::string input = fuzz::write_input("TEXBSI.001", data, size);

    // Both ways of naming the output: by the images' own names, and by a
    // base name numbered by position.
    bounded_copy(pcx_path, (output_dir() + "/").c_str(), name_limit);
    if (size % 2 == 1)
        bounded_copy(pcx_file, (output_dir() + "/pic.pcx").c_str(), name_limit);

    const int result = export_pcx(input.c_str());
    fuzz::check(texture_list.image_count == 0, "the export leaves the list empty");
    if (fuzz::texture_length(data, size) != 0)
        fuzz::check(result == 1, "a file that loads also exports");

    // Image names come from the file: they must not lead the output out of
    // its folder.
    for (const auto& entry : fs::directory_iterator(fuzz::work_dir())) {
        const std::string name = entry.path().filename().string();
        fuzz::check(name == "TEXBSI.001" || name == "keys" || name == "out",
                    "nothing is written beside the output folder");
    }
    for (const auto& entry : fs::directory_iterator(output_dir())) {
        fuzz::check(entry.is_regular_file(), "only files are written");
        PCX_IMAGE written;
        fuzz::check(written.load(entry.path().c_str()) == 1, "a written PCX file reads back");
        fuzz::check(written.width() >= 1 && written.height() >= 1,
                    "a written PCX file has a picture");
    }
    fuzz::remove_files_in(output_dir());
    return 0;
}
