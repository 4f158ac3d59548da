#include "pcx/PCX.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "pcx/PCXRLE.h"
#include "platform/PLATFORM.h"

namespace {

// Sizes outside this range cannot be stored in the signed 16-bit header
// fields or in a texture's bitmap header, so nothing is decoded for them.
constexpr int min_dimension = 1;
constexpr int max_dimension = 32767;

uint16_t get_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void put_le16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value & 0xFF);
    p[1] = static_cast<uint8_t>(value >> 8);
}

// The file stores the last coordinate, memory the extent: 16-bit
// arithmetic that wraps, so a hostile header cannot overflow anything.
int16_t add_to_extent(int16_t value, int delta) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(value) + delta));
}

// Pixel data is read in blocks of this size (or the whole rest of a smaller
// file): one fread per block, and little memory beside the picture.
constexpr size_t read_block = 256 * 1024;

// Encoded lines are gathered into one buffer of about this size and written
// with one fwrite; a line never needs more than twice its width.
constexpr size_t write_block = 256 * 1024;

// Decodes the pixel data from the file's current position, in blocks.
void decode_file(FILE* file, uint8_t* pixels, uint32_t width, uint32_t height,
                 uint32_t line_length) {
    pcx_rle::decoder decoder(pixels, width, height, line_length);
    const int64_t left = platform::bytes_left(file);
    const size_t size = left >= 0 && static_cast<uint64_t>(left) < read_block
                            ? static_cast<size_t>(left)
                            : read_block;
    owned_ptr<uint8_t> block = create_bytes(static_cast<uint32_t>(size));
    while (!decoder.complete()) {
        const size_t got = std::fread(block.get(), 1, size, file);
        if (got == 0)
            break;
        decoder.feed(block.get(), got);
    }
    decoder.finish();
}

}  // namespace

int PCX_IMAGE::read_header(FILE* file) {
    if (file == nullptr)
        return fail(8);
    uint8_t raw[PCX_HEADER::file_size];
    if (std::fread(raw, 1, sizeof raw, file) != sizeof raw)
        return fail(2);
    PCX_HEADER& h = header;
    h.manufacturer = raw[0];
    h.version = raw[1];
    h.encoding = raw[2];
    h.bits_per_pixel = raw[3];
    h.min_x = static_cast<int16_t>(get_le16(raw + 4));
    h.min_y = static_cast<int16_t>(get_le16(raw + 6));
    h.max_x = add_to_extent(static_cast<int16_t>(get_le16(raw + 8)), 1);
    h.max_y = add_to_extent(static_cast<int16_t>(get_le16(raw + 10)), 1);
    h.horizontal_dpi = static_cast<int16_t>(get_le16(raw + 12));
    h.vertical_dpi = static_cast<int16_t>(get_le16(raw + 14));
    std::memcpy(h.ega_palette, raw + 16, sizeof h.ega_palette);
    h.reserved = raw[64];
    h.planes = raw[65];
    h.bytes_per_line = get_le16(raw + 66);
    h.palette_info = static_cast<int16_t>(get_le16(raw + 68));
    h.horizontal_screen = static_cast<int16_t>(get_le16(raw + 70));
    h.vertical_screen = static_cast<int16_t>(get_le16(raw + 72));
    std::memcpy(h.filler, raw + 74, sizeof h.filler);
    return 1;
}

// The extents are converted in the bytes written, so the header in memory
// keeps the width and height whatever happens to the write.
int PCX_IMAGE::write_header(FILE* file) {
    uint8_t raw[PCX_HEADER::file_size] = {};
    const PCX_HEADER& h = header;
    raw[0] = h.manufacturer;
    raw[1] = h.version;
    raw[2] = h.encoding;
    raw[3] = h.bits_per_pixel;
    put_le16(raw + 4, static_cast<uint16_t>(h.min_x));
    put_le16(raw + 6, static_cast<uint16_t>(h.min_y));
    put_le16(raw + 8, static_cast<uint16_t>(add_to_extent(h.max_x, -1)));
    put_le16(raw + 10, static_cast<uint16_t>(add_to_extent(h.max_y, -1)));
    put_le16(raw + 12, static_cast<uint16_t>(h.horizontal_dpi));
    put_le16(raw + 14, static_cast<uint16_t>(h.vertical_dpi));
    std::memcpy(raw + 16, h.ega_palette, sizeof h.ega_palette);
    raw[64] = h.reserved;
    raw[65] = h.planes;
    put_le16(raw + 66, h.bytes_per_line);
    put_le16(raw + 68, static_cast<uint16_t>(h.palette_info));
    put_le16(raw + 70, static_cast<uint16_t>(h.horizontal_screen));
    put_le16(raw + 72, static_cast<uint16_t>(h.vertical_screen));
    std::memcpy(raw + 74, h.filler, sizeof h.filler);
    if (file == nullptr)
        return fail(8);
    if (std::fwrite(raw, 1, sizeof raw, file) != sizeof raw)
        return fail(3);
    return 1;
}

void PCX_IMAGE::destroy() {
    owned_pixels.reset();
    pixels = nullptr;
    header.set_defaults();
}

int PCX_IMAGE::load(const char* file_name) {
    file_ptr file(openfile(file_name, "rb", 0));
    if (!file)
        return 0;
    destroy();
    if (!read_header(file.get()))
        return 0;

    // A width or height the header cannot describe (the stored maximum was
    // 32767 or more, or negative) would end up as a zero or negative size in
    // a texture, so such a file is refused before anything is allocated.
    const int width = header.max_x;
    const int height = header.max_y;
    if (width < min_dimension || width > max_dimension || height < min_dimension ||
        height > max_dimension)
        return fail(9);

    // One spare byte behind the pixels, as the buffer has always had.
    const uint32_t pixel_count = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
    owned_pixels = create_bytes(pixel_count + 1);
    pixels = owned_pixels.get();
    const uint32_t line_length = std::max<uint32_t>(header.bytes_per_line, width);
    decode_file(file.get(), owned_pixels.get(), width, height, line_length);

    // The palette is always the file's last 768 bytes, marker or not.
    if (std::fseek(file.get(), -static_cast<long>(palette_size), SEEK_END) != 0 ||
        std::fread(palette, 1, palette_size, file.get()) != palette_size)
        return fail(2);
    return 1;
}

int PCX_IMAGE::save(const char* file_name) {
    // Without pixels or with a size the header cannot hold there is nothing
    // sound to write; refuse before the file is created or emptied.
    const int width = header.max_x;
    const int height = header.max_y;
    if (file_name == nullptr || pixels == nullptr || width < min_dimension ||
        height < min_dimension)
        return fail(8);

    file_ptr file(openfile(file_name, "wb", 0));
    if (!file)
        return 0;
    // Everything below goes out in large blocks of its own: no stream buffer
    // to copy through.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);

    // The header describes the data as it is written here: 8 bits, one plane,
    // run-length encoded lines of exactly `width` bytes from origin 0, 0.
    header.min_x = 0;
    header.min_y = 0;
    header.encoding = 1;
    header.bits_per_pixel = 8;
    header.planes = 1;
    header.bytes_per_line = static_cast<uint16_t>(width);
    if (!write_header(file.get()))
        return 0;

    // Many lines are encoded into one buffer and written with one call; the
    // buffer goes out whenever the next line might not fit (a line takes at
    // most twice its width). The marker and the palette go with the last lines.
    const size_t worst_line = 2 * static_cast<size_t>(width);
    const size_t tail_size = 1 + palette_size;
    const size_t capacity =
        std::max(worst_line, std::min(write_block, worst_line * static_cast<size_t>(height))) +
        tail_size;
    owned_ptr<uint8_t> buffer = create_bytes(static_cast<uint32_t>(capacity));
    uint8_t* const start = buffer.get();
    size_t used = 0;
    const auto write_out = [&]() {
        const bool written = std::fwrite(start, 1, used, file.get()) == used;
        used = 0;
        return written;
    };
    for (int y = 0; y < height; ++y) {
        if (capacity - used < worst_line && !write_out())
            return fail(3);
        used += pcx_rle::encode_line(pixels + static_cast<size_t>(y) * width,
                                     static_cast<uint32_t>(width), start + used);
    }
    if (capacity - used < tail_size && !write_out())
        return fail(3);
    start[used++] = palette_marker;
    std::memcpy(start + used, palette, palette_size);
    used += palette_size;
    if (!write_out())
        return fail(3);
    // A full disk often shows only when the buffered rest reaches the file.
    if (std::fclose(file.release()) != 0)
        return fail(3);
    return 1;
}

int PCX_IMAGE::save_raw(const char* file_name, int16_t width, int16_t height,
                        const uint8_t* pixels_lent, const uint8_t* palette_lent) {
    // A negative size is as unusable as a zero one.
    if (file_name == nullptr || pixels_lent == nullptr || palette_lent == nullptr ||
        width < min_dimension || height < min_dimension)
        return fail(8);
    destroy();
    header.max_x = width;
    header.max_y = height;
    header.bytes_per_line = static_cast<uint16_t>(width);
    pixels = pixels_lent;
    std::memcpy(palette, palette_lent, palette_size);
    const int result = save(file_name);
    pixels = nullptr;  // the caller's buffer: never released here
    destroy();
    return result;
}
