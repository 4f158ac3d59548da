// Texture file load, and save of what loaded. The bytes are also walked
// here, independently of the reader, by the rules of the format: the reader
// must accept exactly the files that walk accepts, and the save must give
// back the very bytes that were read, up to and including the terminator.
#include <cstring>

#include "frontend/OSTREL.h"
#include "fuzz/fuzz_support.h"
#include "lib/GENERR.h"
#include "texture/VUVEREDE.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::work_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::reset_state();
    const std::string input = fuzz::write_input("TEXBSI.001", data, size);
    const size_t expected = fuzz::texture_length(data, size);

    const int loaded = texture_list.load(input.c_str());
    fuzz::check(loaded == (expected != 0 ? 1 : 0), "the reader accepts exactly the valid files");
    if (loaded == 0) {
        fuzz::check(err_code != 0, "a refused file leaves an error code");
        texture_list.free();
        return 0;
    }

    const int last = texture_list.image_count - 1;
    fuzz::check(last >= 0 && texture_list.images[last]->is_terminator(),
                "a loaded list ends in the terminator");
    for (int i = 0; i <= last; ++i) {
        // The size queries must answer without touching missing content.
        texture_list.get_width(i);
        texture_list.get_height(i);
    }

    const std::string output = fuzz::path("TEXBSI.002");
    fuzz::check(texture_list.save(output.c_str()) == 1, "a loaded file can be saved");
    const fuzz::bytes saved = fuzz::read_all(output);
    fuzz::check(saved.size() == expected && std::memcmp(saved.data(), data, expected) == 0,
                "a file saved as loaded is byte for byte what was read");
    texture_list.free();
    return 0;
}
