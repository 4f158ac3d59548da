// Palette files: 768 bytes of red, green and blue, or the same behind an
// 8-byte header (776 bytes). The size alone tells the two apart.
#include <cstdio>
#include <memory>

#include "lib/FILEUTIL.h"
#include "texture/VUVEREDE.h"

namespace {

constexpr uint32_t palette_bytes = 768;
constexpr uint32_t headed_size = 776;
constexpr long header_bytes = 8;

}  // namespace

uint8_t* load_palette(const char* path) {
    file_ptr file(openfile(path, "rb", 0));
    if (!file)
        return nullptr;

    const uint32_t size = get_file_size(file.get());
    if (size == headed_size) {
        // The header is skipped unread: nothing in it is known to matter.
        if (std::fseek(file.get(), header_bytes, SEEK_SET) != 0)
            return nullptr;
    } else if (size != palette_bytes) {
        // Not refused: any file that holds 768 bytes can serve as a palette.
        write_log("Unknown palette file '%s'!", path);
    }

    owned_ptr<uint8_t> palette = create_bytes(palette_bytes);
    if (std::fread(palette.get(), 1, palette_bytes, file.get()) != palette_bytes)
        return nullptr;
    return palette.release();
}
