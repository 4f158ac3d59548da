#include "pcx/PCX.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "lib/BYTEORDER.h"
#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "pcx/PCXRLE.h"
#include "picture/PICTURE.h"
#include "platform/PLATFORM.h"

namespace {

// Sizes outside this range cannot be stored in the signed 16-bit header
// fields or in a texture's bitmap header, so nothing is decoded for them.
constexpr int min_dimension = 1;
constexpr int max_dimension = 32767;

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

// What follows the pixel data: its first byte (-1 when nothing does) and
// how many bytes there are from that byte on.
struct after_pixels {
    int first = -1;
    uint64_t bytes = 0;
};

// Feeds the pixel data (at most `stream` bytes from the current position)
// to the decoder, in blocks; true when every pixel was decoded. `after`, when
// given, learns what the stream holds behind the last pixel.
bool decode_stream(FILE* file, uint64_t stream, pcx_rle::decoder& decoder,
                   after_pixels* after = nullptr) {
    owned_ptr<uint8_t> block =
        create_bytes(static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(stream, 1), read_block)));
    while (!decoder.complete() && stream > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(stream, read_block));
        const size_t got = std::fread(block.get(), 1, want, file);
        if (got == 0)
            break;
        stream -= got;
        const size_t used = decoder.feed(block.get(), got);
        if (after != nullptr && used < got) {
            after->first = block.get()[used];
            after->bytes = got - used + stream;
        }
    }
    if (after != nullptr && decoder.complete() && after->first < 0 && stream > 0) {
        after->first = std::fgetc(file);
        after->bytes = after->first < 0 ? 0 : stream;
    }
    return decoder.complete();
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
    pcx_rle::decoder decoder(owned_pixels.get(), width, height, line_length);
    const int64_t left = platform::bytes_left(file.get());
    decode_stream(file.get(), left >= 0 ? static_cast<uint64_t>(left) : UINT64_MAX, decoder);
    decoder.finish();

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

    // Written beside the final name and renamed over it when complete: a
    // failed or interrupted write leaves no cut file and an earlier file of
    // that name as it was. Every return before the commit discards it.
    output_file out;
    if (!out.open(file_name))
        return 0;
    FILE* const file = out.stream();
    // Everything below goes out in large blocks of its own: no stream buffer
    // to copy through.
    std::setvbuf(file, nullptr, _IONBF, 0);

    // The header describes the data as it is written here: 8 bits, one plane,
    // run-length encoded lines of exactly `width` bytes from origin 0, 0.
    header.min_x = 0;
    header.min_y = 0;
    header.encoding = 1;
    header.bits_per_pixel = 8;
    header.planes = 1;
    header.bytes_per_line = static_cast<uint16_t>(width);
    if (!write_header(file))
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
        const bool written = std::fwrite(start, 1, used, file) == used;
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
    if (!out.commit())
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

// --- The picture of a PCX file, for an import -------------------------------------

namespace {

// What a PCX file of each supported layout holds.
struct pcx_layout {
    uint8_t bits;
    uint8_t planes;
};
constexpr pcx_layout readable_layouts[] = {{1, 1}, {2, 1}, {4, 1}, {8, 1}, {1, 2},
                                           {1, 3}, {1, 4}, {8, 3}, {8, 4}};

// The most bytes that `stream` bytes of run-length units can decode to:
// every two bytes a run of 63, and a lone byte for an odd one out.
uint64_t most_decoded(uint64_t stream) {
    return stream / 2 * pcx_rle::max_run + stream % 2;
}

// The 16 colours of the header (its bytes 16 to 63).
void header_palette(const uint8_t* raw_header, PICTURE& picture, uint32_t entries) {
    std::memcpy(picture.palette, raw_header + 16, 48);
    picture.palette_entries = entries;
}

// The bits of pixel x in a line of packed pixels, the first pixel in the
// highest bits of the first byte.
uint8_t packed_pixel(const uint8_t* line, uint32_t x, uint32_t bits) {
    const uint32_t bit = x * bits;
    const uint32_t shift = 8 - bits - bit % 8;
    return static_cast<uint8_t>(line[bit / 8] >> shift & ((1u << bits) - 1));
}

// Decoded scan lines (planes x bytes per line each) to the picture's pixels.
void convert_lines(const uint8_t* lines, uint32_t line_bytes, uint32_t bytes_per_line,
                   const pcx_layout& layout, PICTURE& picture) {
    const auto width = static_cast<uint32_t>(picture.width);
    uint8_t* out = picture.pixels.get();
    for (int32_t y = 0; y < picture.height; ++y) {
        const uint8_t* line = lines + static_cast<size_t>(y) * line_bytes;
        if (layout.planes == 1) {
            for (uint32_t x = 0; x < width; ++x)
                *out++ = packed_pixel(line, x, layout.bits);
        } else if (layout.bits == 1) {
            // Two to four planes of one bit: plane p gives bit p of the index.
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t index = 0;
                for (uint32_t p = 0; p < layout.planes; ++p)
                    index |= static_cast<uint8_t>(packed_pixel(line + p * bytes_per_line, x, 1) << p);
                *out++ = index;
            }
        } else {
            // Red, green, blue (and alpha) planes of whole bytes.
            for (uint32_t x = 0; x < width; ++x) {
                for (uint32_t p = 0; p < 4; ++p)
                    *out++ = p < layout.planes ? line[p * bytes_per_line + x] : 255;
            }
        }
    }
}

}  // namespace

int load_pcx_picture(const char* file_name, PICTURE& picture) {
    picture.clear();
    file_ptr file(openfile(file_name, "rb", 0));
    if (!file)
        return 0;
    const int64_t size = platform::bytes_left(file.get());
    if (size < 0)
        return refuse_picture(2, "It is not a file that can be read to its end (a pipe or a "
                                 "device); copy it into a file first.");
    uint8_t raw[PCX_HEADER::file_size];
    if (size < PCX_HEADER::file_size || std::fread(raw, 1, sizeof raw, file.get()) != sizeof raw)
        return refuse_picture(2, "It is too short to be a PCX file (%lld bytes; the header alone "
                                 "is 128).",
                              static_cast<long long>(size));
    if (raw[0] != 10)
        return refuse_picture(9, "It is not a PCX file: a PCX file begins with the byte 10, this "
                                 "one with %u.",
                              raw[0]);
    if (raw[2] != 1)
        return refuse_picture(9, "It is a PCX file without run-length encoding (encoding %u); "
                                 "save it as an ordinary run-length encoded PCX.",
                              raw[2]);

    const pcx_layout layout{raw[3], raw[65]};
    bool readable = false;
    for (const pcx_layout& known : readable_layouts)
        readable = readable || (known.bits == layout.bits && known.planes == layout.planes);
    if (!readable)
        return refuse_picture(9, "It is a PCX file of %u bits per pixel in %u planes; Ostrel "
                                 "reads 1, 2, 4 or 8 bits in one plane, 1 bit in 2 to 4 planes "
                                 "(4 to 16 colours) and 8 bits in 3 or 4 planes (true colour).",
                              layout.bits, layout.planes);

    // Extents are inclusive: xmin 0 and xmax 63 make 64 columns.
    const int32_t width = static_cast<int16_t>(get_le16(raw + 8)) -
                          static_cast<int16_t>(get_le16(raw + 4)) + 1;
    const int32_t height = static_cast<int16_t>(get_le16(raw + 10)) -
                           static_cast<int16_t>(get_le16(raw + 6)) + 1;
    if (width < min_dimension || width > max_dimension || height < min_dimension ||
        height > max_dimension)
        return refuse_picture(9, "Its size, %dx%d, is not between 1x1 and 32767x32767.", width,
                              height);
    const uint32_t bytes_per_line = get_le16(raw + 66);
    const uint32_t needed = (static_cast<uint32_t>(width) * layout.bits + 7) / 8;
    if (bytes_per_line < needed)
        return refuse_picture(9, "Its lines are shorter than its width: %u bytes per line where "
                                 "%u are needed.",
                              bytes_per_line, needed);

    // An 8-bit picture keeps its palette behind the marker in the last 769
    // bytes, which are then no pixel data.
    const bool one_byte_indices = layout.bits == 8 && layout.planes == 1;
    const bool marked =
        one_byte_indices && size >= PCX_HEADER::file_size + 1 + PCX_IMAGE::palette_size &&
        std::fseek(file.get(), -static_cast<long>(PCX_IMAGE::palette_size + 1), SEEK_END) == 0 &&
        std::fgetc(file.get()) == PCX_IMAGE::palette_marker &&
        std::fread(picture.palette, 1, PCX_IMAGE::palette_size, file.get()) == PCX_IMAGE::palette_size;
    const uint64_t stream =
        static_cast<uint64_t>(size) - PCX_HEADER::file_size - (marked ? 1 + PCX_IMAGE::palette_size : 0);

    // Refused before anything is allocated: a size the file could not hold.
    const uint32_t line_bytes = bytes_per_line * layout.planes;
    const uint64_t decoded = uint64_t{line_bytes} * static_cast<uint64_t>(height);
    if (decoded > most_decoded(stream))
        return refuse_picture(2, "The file is cut short: its %llu bytes of pixel data cannot "
                                 "hold a picture of %dx%d.",
                              static_cast<unsigned long long>(stream), width, height);
    const bool colours = layout.bits == 8 && layout.planes > 1;
    const uint64_t pixel_bytes =
        static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * (colours ? 4 : 1);
    if (decoded >= UINT32_MAX || pixel_bytes >= UINT32_MAX)
        return refuse_picture(15, "The picture is too large (%dx%d in true colour).", width,
                              height);
    if (std::fseek(file.get(), PCX_HEADER::file_size, SEEK_SET) != 0)
        return refuse_picture(2, "The file cannot be read.");

    picture.width = width;
    picture.height = height;
    picture.pixels = create_bytes(static_cast<uint32_t>(pixel_bytes));
    platform::advise_large_block(picture.pixels.get(), static_cast<size_t>(pixel_bytes));
    bool complete;
    if (one_byte_indices) {
        // The lines go straight into the picture; padding is dropped.
        pcx_rle::decoder decoder(picture.pixels.get(), static_cast<uint32_t>(width),
                                 static_cast<uint32_t>(height), bytes_per_line);
        after_pixels after;
        complete = decode_stream(file.get(), stream, decoder, &after);
        // A marker right behind the pixels with less than a palette after
        // it: the file was cut inside its palette, and without it the
        // colours the user painted cannot be known.
        if (complete && !marked && after.first == PCX_IMAGE::palette_marker &&
            after.bytes < 1 + PCX_IMAGE::palette_size) {
            picture.clear();
            return refuse_picture(2, "The file is cut short: its palette holds %llu of its %d "
                                     "bytes.",
                                  static_cast<unsigned long long>(after.bytes - 1),
                                  PCX_IMAGE::palette_size);
        }
    } else {
        owned_ptr<uint8_t> lines = create_bytes(static_cast<uint32_t>(decoded));
        pcx_rle::decoder decoder(lines.get(), line_bytes, static_cast<uint32_t>(height),
                                 line_bytes);
        complete = decode_stream(file.get(), stream, decoder);
        if (complete)
            convert_lines(lines.get(), line_bytes, bytes_per_line, layout, picture);
    }
    if (!complete) {
        picture.clear();
        return refuse_picture(2, "The file is cut short: its pixel data ends before the last "
                                 "pixel of its %dx%d picture.",
                              width, height);
    }

    std::memset(picture.alpha, 255, sizeof picture.alpha);
    if (colours) {
        picture.kind = picture_kind::true_colour;
    } else if (one_byte_indices) {
        picture.kind = marked ? picture_kind::indexed : picture_kind::bare_indices;
        picture.palette_entries = marked ? PICTURE::colour_count : 0;
    } else {
        picture.kind = picture_kind::indexed;
        if (layout.bits == 1 && layout.planes == 1) {
            // Black and white, whatever the header's palette says, as other
            // readers show such files.
            std::memset(picture.palette, 0, sizeof picture.palette);
            std::memset(picture.palette + 3, 255, 3);
            picture.palette_entries = 2;
        } else {
            header_palette(raw, picture, 1u << (layout.bits * layout.planes));
        }
    }
    return 1;
}
