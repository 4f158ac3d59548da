// The images of a whole texture file, the image-level queries, replacing a
// picture, export to PCX, and the module's start-up hook.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <typeinfo>

#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "lib/GENUTIL.h"
#include "picture/PICTURE.h"
#include "platform/PLATFORM.h"
#include "texture/FRAMES.h"
#include "texture/VUVEREDE.h"

// Built before the hook below runs (same file, earlier definition).
PCX_IMAGE texture_pcx;

namespace {

constexpr int tag_size = 4;

// Largest side a bitmap header can hold (a signed 16-bit word).
constexpr int32_t max_side = PICTURE::max_side;

// The stream buffer for whole texture files: an archive of a hundred small
// images then takes a few large reads and writes instead of two per image.
// It is no larger than the file needs, so a small file costs no large block.
// Without the memory for it the stream keeps its own small buffer.
constexpr uint64_t largest_stream_buffer = 1u << 20;
constexpr uint64_t smallest_stream_buffer = 4096;
using stream_buffer = std::unique_ptr<char[]>;

stream_buffer set_stream_buffer(FILE* file, uint64_t file_size) {
    const auto size = static_cast<size_t>(
        std::min(largest_stream_buffer, std::max(smallest_stream_buffer, file_size)));
    stream_buffer buffer(new (std::nothrow) char[size]);
    if (buffer)
        std::setvbuf(file, buffer.get(), _IOFBF, size);
    return buffer;
}

// The bytes that writing the list will produce.
uint64_t encoded_size(const TEX_IMAGE_LIST& list) {
    uint64_t total = 0;
    for (int32_t i = 0; i < list.image_count && i < TEX_IMAGE_LIST::max_images; ++i) {
        const TEX_IMAGE* image = list.images[i].get();
        if (image == nullptr)
            continue;
        total += TEX_IMAGE::name_size;
        if (image->is_terminator())
            continue;
        total += 4;
        for (int32_t r = 0; r < image->record_count && r < TEX_IMAGE::max_records; ++r)
            total += 8 + uint64_t{image->records[r].length};
    }
    return total;
}

void add_module_codes() {
    err_table.add_error(ERR_BHDR_SIZE, "Invalid BHDR sub-record size received!");
    err_table.add_error(ERR_IFHD_SIZE, "Invalid IFHD sub-record size received!");
    err_table.add_error(ERR_CMAP_SIZE, "Invalid CMAP sub-record size received!");
    err_table.add_error(ERR_PALETTE_FORMAT, "Unknown palette format!");
    err_table.add_error(ERR_ZERO_SIZE_IMAGE, "Invalid image (zero size)!");
    err_table.add_error(ERR_NO_RECORD, "No matching image record found!");
}

INIT_TYPE vuverede_init(add_module_codes);

// Tags are bytes from the file: no locale decides what their case is.
char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Four tag bytes against a tag of up to four characters (a shorter one
// matches NULs), ASCII letter case ignored.
bool same_tag_nocase(const char* record_tag, const char* wanted) {
    char padded[tag_size] = {};
    const size_t length = std::strlen(wanted);
    if (length > tag_size)
        return false;
    std::memcpy(padded, wanted, length);
    for (int i = 0; i < tag_size; ++i) {
        if (ascii_lower(record_tag[i]) != ascii_lower(padded[i]))
            return false;
    }
    return true;
}

bool same_tag(const TEX_RECORD& record, const char* wanted) {
    return std::memcmp(record.tag, wanted, tag_size) == 0;
}

// A record found by its tag may still be unusable: a length of 0 leaves it
// without content, and the case-blind lookup can find a "bhdr" whose content
// is raw bytes. Such content is never touched. Replacing a picture and the
// size queries then fail with 1006 (no usable record), the export with 1005
// (the image cannot be exported). These give a record's content as the class
// its tag promises, or null.
const TEX_BHDR* header_of(const TEX_RECORD& record) {
    return dynamic_cast<const TEX_BHDR*>(record.content.get());
}
TEX_BHDR* header_of(TEX_RECORD& record) {
    return dynamic_cast<TEX_BHDR*>(record.content.get());
}

const TEX_CMAP* colour_map_of(const TEX_RECORD& record) {
    return dynamic_cast<const TEX_CMAP*>(record.content.get());
}

// Raw bytes only: a TEX_BHDR is a TEX_CONTENT too, but its `data` is unused.
TEX_CONTENT* raw_content_of(const TEX_RECORD& record) {
    TEX_CONTENT* content = record.content.get();
    return content != nullptr && typeid(*content) == typeid(TEX_CONTENT) ? content : nullptr;
}

// The records the export reads, by its rule: exact tags, the later record
// of a tag winning, so an image's own colour map beats the palette given.
struct picture_records {
    const TEX_BHDR* header = nullptr;
    const TEX_CONTENT* data = nullptr;
    const TEX_CMAP* colour_map = nullptr;
};

// False when a matching record has no usable content (code 1005).
bool find_picture_records(const TEX_IMAGE& image, picture_records& found) {
    for (int32_t i = 0; i < image.record_count && i < TEX_IMAGE::max_records; ++i) {
        const TEX_RECORD& record = image.records[i];
        if (same_tag(record, "BHDR")) {
            found.header = header_of(record);
            if (found.header == nullptr)
                return fail(ERR_ZERO_SIZE_IMAGE) != 0;
        } else if (same_tag(record, "CMAP")) {
            found.colour_map = colour_map_of(record);
            if (found.colour_map == nullptr)
                return fail(ERR_ZERO_SIZE_IMAGE) != 0;
        } else if (same_tag(record, "DATA")) {
            found.data = raw_content_of(record);
            if (found.data == nullptr)
                return fail(ERR_ZERO_SIZE_IMAGE) != 0;
        }
    }
    return true;
}

frames::layout layout_of(const TEX_BHDR& header, const TEX_CONTENT& data, const char** why) {
    return frames::classify(header.width, header.height, header.frame_count(),
                            header.data_encoding(), data.data.get(), data.data_size, why);
}

}  // namespace

// --- TEX_IMAGE: queries, picture, export ----------------------------------------

int32_t TEX_IMAGE::find_record(const char* tag) {
    if (tag != nullptr)
        for (int32_t i = 0; i < record_count && i < max_records; ++i)
            if (same_tag_nocase(records[i].tag, tag))
                return i;
    err_code = ERR_NO_RECORD;
    return -1;
}

// The first exact "BHDR"; none at all is a quiet -1 (the terminator is asked
// this). One without content has no width to give: -1 with code 1006.
int32_t TEX_IMAGE::get_width() {
    for (int32_t i = 0; i < record_count && i < max_records; ++i) {
        if (!same_tag(records[i], "BHDR"))
            continue;
        const TEX_BHDR* header = header_of(records[i]);
        if (header == nullptr) {
            err_code = ERR_NO_RECORD;
            return -1;
        }
        return header->width;
    }
    return -1;
}

// The record the case-blind lookup finds; one without a bitmap header's
// content (length 0, or a tag like "bhdr" read as raw bytes) gives code 1006.
int32_t TEX_IMAGE::get_height() {
    const int32_t index = find_record("BHDR");
    if (index < 0)
        return -1;
    const TEX_BHDR* header = header_of(records[index]);
    if (header == nullptr) {
        err_code = ERR_NO_RECORD;
        return -1;
    }
    return header->height;
}

int32_t TEX_IMAGE::get_frames() {
    picture_records found;
    if (!find_picture_records(*this, found) || found.header == nullptr || found.data == nullptr)
        return 1;
    if (layout_of(*found.header, *found.data, nullptr) != frames::layout::frame_table)
        return 1;
    return found.header->frame_count();
}

int64_t TEX_IMAGE::get_data_length() const {
    int64_t length = -1;
    for (int32_t i = 0; i < record_count && i < max_records; ++i)
        if (same_tag(records[i], "DATA"))
            length = records[i].length;
    return length;
}

// Replaces the first "DATA" content (case-blind) with a copy of the pixels
// and sets the size and the first "BHDR" to match. Every check comes before
// the first change, so a refused picture leaves the image exactly as it was.
int TEX_IMAGE::put_picture(int32_t width, int32_t height, const uint8_t* pixels) {
    if (pixels == nullptr)
        return fail(8);
    const int32_t data_index = find_record("DATA");
    if (data_index < 0)
        return 0;
    const int32_t header_index = find_record("BHDR");
    if (header_index < 0)
        return 0;

    // Found by name but not usable: a "DATA" without bytes or a bitmap header
    // of another class or without content. Nothing is touched then.
    TEX_RECORD& data_record = records[data_index];
    TEX_CONTENT* data = raw_content_of(data_record);
    TEX_BHDR* header = header_of(records[header_index]);
    if (data == nullptr || header == nullptr)
        return fail(ERR_NO_RECORD);

    // The header stores each side in a signed 16-bit word.
    if (width < 1 || height < 1 || width > max_side || height > max_side)
        return fail(9);

    // Plain pixels written over a frame table, while the header still says
    // "frame table", would make the game read pixels as offsets.
    const char* why = nullptr;
    switch (layout_of(*header, *data, &why)) {
    case frames::layout::damaged:
        write_log("VUVEREDE - put_picture(): Image '%s' says it is animated, but %s!", name, why);
        return refuse_picture(9,
                              "The image says it is animated, but %s; it is left as it is "
                              "rather than made worse.",
                              why);
    case frames::layout::frame_table:
        return put_frames(data_record, *header, width, height, pixels);
    case frames::layout::plain:
        break;
    }

    const uint32_t n = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
    if (data->data && n <= data->data_size) {
        // The usual edit keeps the size: the picture then goes into the
        // buffer it replaces, so a big texture needs no second buffer of its
        // size. memmove: the caller may hand in this very buffer.
        std::memmove(data->data.get(), pixels, n);
    } else {
        owned_ptr<uint8_t> copy = create_bytes(n + 1);  // the spare byte stays 0, never written
        std::memcpy(copy.get(), pixels, n);
        data->data = std::move(copy);
    }
    set_data_length(data_record, n);
    header->width = static_cast<int16_t>(width);
    header->height = static_cast<int16_t>(height);
    return 1;
}

// A strip of the image's frame count: a new table and rows, unless the
// frames are exactly those the image holds, which leaves "DATA" (and so the
// whole file) byte for byte as it was.
int TEX_IMAGE::put_frames(TEX_RECORD& data_record, TEX_BHDR& header, int32_t width,
                          int32_t height, const uint8_t* pixels) {
    TEX_CONTENT& data = *data_record.content;
    const int32_t frame_count = header.frame_count();
    if (height % frame_count != 0) {
        return refuse_picture(9,
                              "The image is animated: %d frames of %dx%d, so the picture must "
                              "be a strip of %d frames stacked from top to bottom, its height a "
                              "multiple of %d (%dx%d for frames of the same size); this picture "
                              "is %dx%d.",
                              frame_count, header.width, header.height, frame_count,
                              frame_count, header.width, header.height * frame_count, width,
                              height);
    }
    const int32_t frame_height = height / frame_count;
    if (width == header.width && frame_height == header.height &&
        frames::strip_matches(data.data.get(), width, frame_height, frame_count, pixels))
        return 1;

    // Whatever "DATA" holds behind its rows is carried behind the new rows.
    const uint32_t tail = frames::tail_offset(data.data.get(), data.data_size, header.width,
                                              header.height, frame_count);
    owned_ptr<uint8_t> built;
    uint32_t size = 0;
    if (!frames::build(pixels, width, frame_height, frame_count, data.data.get() + tail,
                       data.data_size - tail, built, size))
        return refuse_picture(15, "The frames would make the image's DATA larger than 4 GiB.");
    data.data = std::move(built);
    set_data_length(data_record, size);
    header.width = static_cast<int16_t>(width);
    header.height = static_cast<int16_t>(frame_height);
    return 1;
}

// The size field moves by the change of the DATA length; done in 32-bit
// unsigned arithmetic, it wraps as the stored field does.
void TEX_IMAGE::set_data_length(TEX_RECORD& data_record, uint32_t length) {
    data_record.content->data_size = length;
    size = static_cast<int32_t>(static_cast<uint32_t>(size) + length - data_record.length);
    data_record.length = length;
}

// A matching record without usable content, or a picture its DATA cannot
// fill, makes the image unfit for export (code 1005).
int TEX_IMAGE::get_picture(TEX_PICTURE& picture, const uint8_t* palette) {
    picture = TEX_PICTURE();
    if (size == 0 || record_count == 0)
        return refuse_picture(ERR_ZERO_SIZE_IMAGE, "the image is empty (its size is 0)");
    picture_records found;
    if (!find_picture_records(*this, found))
        return refuse_picture(ERR_ZERO_SIZE_IMAGE,
                              "a bitmap header, colour map or DATA of the image has no content");
    if (found.header == nullptr)
        return refuse_picture(ERR_ZERO_SIZE_IMAGE, "the image has no bitmap header (BHDR)");
    if (found.data == nullptr || !found.data->data)
        return refuse_picture(ERR_ZERO_SIZE_IMAGE, "the image has no pixel data (DATA)");
    const TEX_BHDR& header = *found.header;
    const TEX_CONTENT& data = *found.data;
    if (found.colour_map != nullptr)
        palette = found.colour_map->colors;
    const int32_t width = header.width;
    const int32_t height = header.height;

    const char* why = nullptr;
    const frames::layout layout = layout_of(header, data, &why);
    if (layout == frames::layout::frame_table) {
        const int32_t frame_count = header.frame_count();
        const int64_t strip_height = int64_t{height} * frame_count;
        if (strip_height > max_side) {
            return refuse_picture(ERR_ZERO_SIZE_IMAGE,
                                  "its %d frames of %dx%d make a strip of %lld rows, and a "
                                  "picture holds at most 32767",
                                  frame_count, width, height, static_cast<long long>(strip_height));
        }
        picture.strip = create_bytes(static_cast<uint32_t>(width) *
                                     static_cast<uint32_t>(strip_height));
        frames::decode_strip(data.data.get(), width, height, frame_count, picture.strip.get());
        picture.width = width;
        picture.height = static_cast<int32_t>(strip_height);
        picture.frames = frame_count;
        picture.pixels = picture.strip.get();
        picture.palette = palette;
        return 1;
    }
    if (layout == frames::layout::damaged) {
        write_log("VUVEREDE - save_pcx(): Image '%s' says it is animated, but %s: exported as "
                  "plain pixels!",
                  name, why);
    }

    // The export reads width x height bytes: never more than DATA holds.
    if (width < 1 || height < 1)
        return refuse_picture(ERR_ZERO_SIZE_IMAGE, "its bitmap header gives a size of %dx%d",
                              width, height);
    if (data.data_size < static_cast<uint32_t>(width) * static_cast<uint32_t>(height))
        return refuse_picture(ERR_ZERO_SIZE_IMAGE,
                              "its DATA holds %u bytes, fewer than the %dx%d pixels of its "
                              "bitmap header",
                              data.data_size, width, height);
    picture.width = width;
    picture.height = height;
    picture.pixels = data.data.get();
    picture.palette = palette;
    return 1;
}

const uint8_t* TEX_IMAGE::get_palette(const uint8_t* palette) {
    picture_records found;
    if (find_picture_records(*this, found) && found.colour_map != nullptr)
        return found.colour_map->colors;
    return palette;
}

int TEX_IMAGE::save_pcx(const char* path, const uint8_t* palette) {
    TEX_PICTURE picture;
    if (!get_picture(picture, palette))
        return 0;
    const int result =
        texture_pcx.save_raw(path, static_cast<int16_t>(picture.width),
                             static_cast<int16_t>(picture.height), picture.pixels, picture.palette);
    texture_pcx.destroy();
    return result;
}

// --- TEX_IMAGE_LIST -------------------------------------------------------------

int TEX_IMAGE_LIST::load(const char* path) {
    stream_buffer buffer;  // outlives the stream, which is closed first
    file_ptr file(openfile(path, "rb", 0));
    if (!file)
        return 0;  // the list keeps what it held
    const int64_t file_size = platform::bytes_left(file.get());
    buffer = set_stream_buffer(
        file.get(), file_size < 0 ? largest_stream_buffer : static_cast<uint64_t>(file_size));
    free();
    for (;;) {
        if (image_count >= max_images) {
            write_log("VUVEREDE - load(): Maximum number of images reached (%d)!", max_images);
            return fail(7);
        }
        TEX_IMAGE* image = new (std::nothrow) TEX_IMAGE;
        if (image == nullptr)
            err_table.fatal_error(4, "VUVEREDE - load(): Failed to allocate %u bytes!",
                                  static_cast<unsigned>(sizeof(TEX_IMAGE)));
        images[image_count++].reset(image);
        // A failed image stays in the list so that free() releases it.
        if (!image->read(file.get()))
            return 0;
        if (image->is_terminator())
            return 1;
    }
}

// The file is written beside the original and only renamed over it once
// every byte is on disk, so a full disk, an I/O error or a crash halfway can
// never leave the user's texture file cut short.
int TEX_IMAGE_LIST::save(const char* path, file_hold* hold) {
    platform::replacement replacement;
    replace_options options;
    options.hold = hold;
    if (!open_replacement(path, replacement, options))
        return 0;
    // Released after finish_replacement, which closes the stream, on every path.
    const stream_buffer buffer = set_stream_buffer(replacement.stream, encoded_size(*this));
    for (int32_t i = 0; i < image_count; ++i) {
        if (!images[i] || !images[i]->write(replacement.stream)) {
            const uint32_t code = images[i] ? err_code : 8;
            finish_replacement(replacement, false);
            return fail(code);
        }
    }
    return finish_replacement(replacement, true) ? 1 : 0;
}

void TEX_IMAGE_LIST::free() {
    for (int32_t i = 0; i < image_count && i < max_images; ++i) {
        if (images[i])
            images[i]->free();
        images[i].reset();
    }
    image_count = 0;
}

int TEX_IMAGE_LIST::dump() {
    write_log("Num Images = %d", image_count);
    for (int32_t i = 0; i < image_count && i < max_images; ++i)
        if (images[i])
            images[i]->dump();
    return 1;
}

int TEX_IMAGE_LIST::put_picture(int32_t index, int32_t width, int32_t height,
                                const uint8_t* pixels) {
    // The terminator, the last entry, can never receive a picture.
    if (index < 0 || index >= image_count - 1 || !images[index])
        return fail(5);
    if (pixels == nullptr)
        return fail(8);
    return images[index]->put_picture(width, height, pixels);
}

int32_t TEX_IMAGE_LIST::get_width(int32_t index) {
    if (index < 0 || index >= image_count || !images[index]) {
        err_code = 5;
        return -1;
    }
    return images[index]->get_width();
}

int32_t TEX_IMAGE_LIST::get_height(int32_t index) {
    if (index < 0 || index >= image_count || !images[index]) {
        err_code = 5;
        return -1;
    }
    return images[index]->get_height();
}
