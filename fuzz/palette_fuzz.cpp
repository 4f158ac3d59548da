// Palette file load: the size alone decides where the 768 colours are (768
// bytes: all of them; 776: behind an 8-byte header; any other size: the
// first 768 bytes, when there are that many).
#include <cstring>

#include "frontend/OSTREL.h"
#include "fuzz/fuzz_support.h"
#include "lib/GENMEM.h"
#include "texture/VUVEREDE.h"

namespace {

constexpr size_t palette_size = 768;
constexpr size_t headed_size = 776;
constexpr size_t header_size = 8;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::work_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::reset_state();
    const std::string input = fuzz::write_input("redguard.col", data, size);
    const owned_ptr<uint8_t> palette(load_palette(input.c_str()));
    if (size < palette_size) {
        fuzz::check(palette == nullptr, "a file shorter than a palette is refused");
        return 0;
    }
    fuzz::check(palette != nullptr, "any file of 768 bytes or more gives a palette");
    const size_t offset = size == headed_size ? header_size : 0;
    fuzz::check(std::memcmp(palette.get(), data + offset, palette_size) == 0,
                "the palette is taken from where the size says");
    return 0;
}
