// Texture file load, and save of what loaded. The bytes are also walked
// here, independently of the reader, by the rules of the format: the reader
// must accept exactly the files that walk accepts, and the save must give
// back the very bytes that were read, up to and including the terminator.
// Every frame table image is exported in memory, its strip checked against
// the table read here, and imported again, which must change nothing.
#include <cstring>
#include <vector>

#include "frontend/OSTREL.h"
#include "fuzz/fuzz_support.h"
#include "lib/GENERR.h"
#include "texture/VUVEREDE.h"

namespace {

// Records of the image whose tag is `tag` in any letter case, as the
// import's lookup finds them.
int records_named(const TEX_IMAGE& image, const char* tag) {
    int count = 0;
    for (int r = 0; r < image.record_count; ++r) {
        bool same = true;
        for (int i = 0; i < 4; ++i)
            same = same && (image.records[r].tag[i] | 0x20) == (tag[i] | 0x20);
        count += same ? 1 : 0;
    }
    return count;
}

// The strip of a frame table image, followed entry by entry in the bytes of
// its "DATA" (the only one the image has).
std::vector<uint8_t> strip_by_table(const TEX_IMAGE& image, int32_t width, int32_t rows) {
    const TEX_CONTENT* data = nullptr;
    for (int r = 0; r < image.record_count; ++r)
        if (std::memcmp(image.records[r].tag, "DATA", 4) == 0)
            data = image.records[r].content.get();
    std::vector<uint8_t> strip;
    for (int32_t i = 0; i < rows; ++i) {
        const uint8_t* entry = data->data.get() + 4 * i;
        const uint32_t offset = fuzz::le16(entry) | fuzz::le16(entry + 2) << 16;
        fuzz::check(uint64_t{offset} + width <= data->data_size, "a row lies inside DATA");
        strip.insert(strip.end(), data->data.get() + offset, data->data.get() + offset + width);
    }
    return strip;
}

// Export and import of every frame table image: the strip is what the table
// says, and putting it back is a no-op.
void check_frame_tables() {
    static const uint8_t palette[768] = {};
    for (int i = 0; i + 1 < texture_list.image_count; ++i) {
        TEX_IMAGE& image = *texture_list.images[i];
        TEX_PICTURE picture;
        if (image.get_picture(picture, palette) == 0 || !picture.strip)
            continue;
        fuzz::check(picture.frames >= 1 && picture.frames <= 64 &&
                        picture.height % picture.frames == 0,
                    "a strip holds whole frames");
        // With one DATA and one BHDR, export and import see the same records.
        if (records_named(image, "DATA") != 1 || records_named(image, "BHDR") != 1)
            continue;
        const size_t pixels = static_cast<size_t>(picture.width) * picture.height;
        const std::vector<uint8_t> strip(picture.pixels, picture.pixels + pixels);
        fuzz::check(strip == strip_by_table(image, picture.width, picture.height),
                    "the exported strip is the frames the table describes");
        fuzz::check(image.put_picture(picture.width, picture.height, strip.data()) == 1,
                    "an unchanged strip can be imported");
    }
}

}  // namespace

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

    check_frame_tables();

    const std::string output = fuzz::path("TEXBSI.002");
    fuzz::check(texture_list.save(output.c_str()) == 1, "a loaded file can be saved");
    const fuzz::bytes saved = fuzz::read_all(output);
    fuzz::check(saved.size() == expected && std::memcmp(saved.data(), data, expected) == 0,
                "a file saved as loaded (and with every unchanged strip imported) is byte "
                "for byte what was read");
    texture_list.free();
    return 0;
}
