// The export as the program runs it: the texture file read one image at a
// time into the working image, each image offered and answered Y, and each
// written as a PCX file. The answers come from a file on standard input, as
// they do from a pipe. Every PCX file written must read back, and one of a
// frame table image (an animated image) must hold all its frames.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

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

// The height of the picture the export must write for each image of a
// loadable file, by the format's rules read here: the last exact "BHDR" and
// "DATA" count; a sound frame table makes a strip of all its frames.
std::vector<int32_t> strip_heights(const uint8_t* data, size_t size) {
    std::vector<int32_t> heights;
    size_t at = 0;
    while (at + 9 <= size && data[at] != 0) {
        at += 13;  // name and size
        int32_t width = 0, height = 0, frames = 0, encoding = 0;
        const uint8_t* table = nullptr;
        uint32_t table_size = 0;
        for (bool ended = false; !ended && at + 8 <= size;) {
            const uint8_t* tag = data + at;
            const uint32_t length = fuzz::be32(data + at + 4);
            const uint8_t* content = data + at + 8;
            at += 8 + length;
            if (std::memcmp(tag, "BHDR", 4) == 0 && length == 26) {
                const auto word = [&](int i) {
                    return static_cast<int32_t>(static_cast<int16_t>(fuzz::le16(content + 2 * i)));
                };
                width = word(2);
                height = word(3);
                frames = word(7);
                encoding = word(12);
            } else if (std::memcmp(tag, "DATA", 4) == 0) {
                table = content;
                table_size = length;
            }
            ended = std::memcmp(tag, "END ", 4) == 0;
        }
        bool animated = encoding == 4 && frames >= 1 && frames <= 64 && width >= 1 &&
                        height >= 1 && table != nullptr &&
                        uint64_t{4} * height * frames <= table_size;
        for (int32_t i = 0; animated && i < height * frames; ++i) {
            const uint32_t offset = fuzz::le16(table + 4 * i) | fuzz::le16(table + 4 * i + 2) << 16;
            animated = uint64_t{offset} + width <= table_size;
        }
        heights.push_back(animated ? height * frames : height);
    }
    return heights;
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
    const bool numbered = size % 2 == 1;
    fuzz::check(texture_list.image_count == 0, "the export leaves the list empty");
    const bool loadable = fuzz::texture_length(data, size) != 0;
    if (loadable)
        fuzz::check(result == 1, "a file that loads also exports");

    // Image names come from the file: they must not lead the output out of
    // its folder.
    for (const auto& entry : fs::directory_iterator(fuzz::work_dir())) {
        const std::string name = entry.path().filename().string();
        fuzz::check(name == "TEXBSI.001" || name == "keys" || name == "out",
                    "nothing is written beside the output folder");
    }
    const std::vector<int32_t> heights =
        loadable ? strip_heights(data, size) : std::vector<int32_t>();
    for (const auto& entry : fs::directory_iterator(output_dir())) {
        fuzz::check(entry.is_regular_file(), "only files are written");
        PCX_IMAGE written;
        fuzz::check(written.load(entry.path().c_str()) == 1, "a written PCX file reads back");
        fuzz::check(written.width() >= 1 && written.height() >= 1,
                    "a written PCX file has a picture");
        // "picNN.pcx": NN is the image's position in the file.
        const std::string name = entry.path().filename().string();
        const size_t position = numbered ? std::strtoul(name.c_str() + 3, nullptr, 10) : 0;
        if (numbered && position < heights.size())
            fuzz::check(written.height() == heights[position],
                        "an animated image is written with all its frames");
    }
    fuzz::remove_files_in(output_dir());
    return 0;
}
