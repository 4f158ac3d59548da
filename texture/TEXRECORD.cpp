// One image of a texture file and its sub-records, read and written byte
// for byte.
#include <algorithm>
#include <cstring>
#include <new>

#include "lib/BYTEORDER.h"
#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "platform/PLATFORM.h"
#include "texture/VUVEREDE.h"

namespace {

constexpr int tag_size = 4;

bool read_exact(FILE* file, void* buffer, size_t size) {
    return std::fread(buffer, 1, size, file) == size;
}

bool write_exact(FILE* file, const void* buffer, size_t size) {
    return std::fwrite(buffer, 1, size, file) == size;
}

// The fixed-size contents log their length message before they refuse a
// length. The bitmap header's message has always spelt its tag "BHRD"; people
// search their logs for that text, so it stays.
constexpr const char* bhdr_size_message = "Expected BHRD sub-record size of %d, found %d!";
constexpr const char* ifhd_size_message = "Expected IFHD sub-record size of %d, found %d!";
constexpr const char* cmap_size_message = "Expected CMAP sub-record size of %d, found %d!";

bool check_length(const char* message, uint32_t expected, uint32_t length, uint32_t code) {
    if (length == expected)
        return true;
    write_log(message, static_cast<int>(expected), static_cast<int>(length));
    err_code = code;
    return false;
}

// Reads `length` bytes from a stream whose size cannot be told (a pipe):
// the buffer grows only as bytes actually arrive, so a hostile length cannot
// make it ask for more memory than the input really holds.
bool read_growing(FILE* file, uint32_t length, owned_ptr<uint8_t>& out) {
    constexpr uint32_t first_block = 1u << 20;
    uint32_t capacity = std::min(length, first_block);
    owned_ptr<uint8_t> buffer = create_bytes(capacity);
    uint32_t filled = 0;
    while (filled < length) {
        if (filled == capacity) {
            const uint32_t grown =
                capacity > length / 2 ? length : std::max<uint32_t>(capacity * 2, 1);
            owned_ptr<uint8_t> bigger = create_bytes(grown);
            std::memcpy(bigger.get(), buffer.get(), filled);
            buffer = std::move(bigger);
            capacity = grown;
        }
        const size_t got = std::fread(buffer.get() + filled, 1, capacity - filled, file);
        filled += static_cast<uint32_t>(got);
        if (got == 0)
            break;
    }
    out = std::move(buffer);
    return filled == length;
}

}  // namespace

// --- TEX_CONTENT ---------------------------------------------------------------

void TEX_CONTENT::clear() {
    data.reset();
    data_size = 0;
}

int TEX_CONTENT::dump() {
    return 1;
}

int TEX_CONTENT::read(FILE* file, uint32_t length) {
    // A length beyond what the file still holds is a short read; finding out
    // before allocating keeps a damaged length from asking for gigabytes.
    const int64_t left = platform::bytes_left(file);
    if (left >= 0) {
        if (length > static_cast<uint64_t>(left))
            return fail(2);
        data = create_bytes(length);
        data_size = length;
        if (!read_exact(file, data.get(), length))
            return fail(2);
        return 1;
    }
    const bool complete = read_growing(file, length, data);
    data_size = complete ? length : 0;
    return complete ? 1 : fail(2);
}

int TEX_CONTENT::write(FILE* file, uint32_t length) {
    // Never write past the buffer, whatever the record claims.
    if (length > data_size || (length > 0 && !data))
        return fail(3);
    if (!write_exact(file, data.get(), length))
        return fail(3);
    return 1;
}

// --- TEX_BHDR --------------------------------------------------------------------

void TEX_BHDR::clear() {
    field_0 = 0;
    field_1 = 0;
    width = 0;
    height = 0;
    field_7 = 0;
    field_8 = 65;
    field_11 = 256;
}

int TEX_BHDR::dump() {
    write_log("              (%d x %d)", width, height);
    return 1;
}

int TEX_BHDR::read(FILE* file, uint32_t length) {
    if (!check_length(bhdr_size_message, content_size, length, ERR_BHDR_SIZE))
        return 0;
    uint8_t raw[content_size];
    if (!read_exact(file, raw, sizeof raw))
        return fail(2);
    int16_t* const fields[] = {&field_0,  &field_1,  &width,   &height,  &field_4,
                               &field_5,  &field_6,  &field_7, &field_8, &field_9,
                               &field_10, &field_11, &field_12};
    for (size_t i = 0; i < 13; ++i)
        *fields[i] = static_cast<int16_t>(get_le16(raw + 2 * i));
    return 1;
}

int TEX_BHDR::write(FILE* file, uint32_t length) {
    if (!check_length(bhdr_size_message, content_size, length, ERR_BHDR_SIZE))
        return 0;
    const int16_t fields[] = {field_0, field_1, width,   height,   field_4,  field_5, field_6,
                              field_7, field_8, field_9, field_10, field_11, field_12};
    uint8_t raw[content_size];
    for (size_t i = 0; i < 13; ++i)
        put_le16(raw + 2 * i, static_cast<uint16_t>(fields[i]));
    if (!write_exact(file, raw, sizeof raw))
        return fail(3);
    return 1;
}

// --- TEX_IFHD --------------------------------------------------------------------

void TEX_IFHD::clear() {
    std::memset(block, 0, sizeof block);
    block[0] = 1;  // the first little-endian word is 1
}

int TEX_IFHD::dump() {
    return 1;
}

int TEX_IFHD::read(FILE* file, uint32_t length) {
    if (!check_length(ifhd_size_message, content_size, length, ERR_IFHD_SIZE))
        return 0;
    if (!read_exact(file, block, sizeof block))
        return fail(2);
    return 1;
}

int TEX_IFHD::write(FILE* file, uint32_t length) {
    if (!check_length(ifhd_size_message, content_size, length, ERR_IFHD_SIZE))
        return 0;
    if (!write_exact(file, block, sizeof block))
        return fail(3);
    return 1;
}

// --- TEX_CMAP --------------------------------------------------------------------

void TEX_CMAP::clear() {}

int TEX_CMAP::dump() {
    return 1;
}

int TEX_CMAP::read(FILE* file, uint32_t length) {
    if (!check_length(cmap_size_message, content_size, length, ERR_CMAP_SIZE))
        return 0;
    if (!read_exact(file, colors, sizeof colors))
        return fail(2);
    return 1;
}

int TEX_CMAP::write(FILE* file, uint32_t length) {
    if (!check_length(cmap_size_message, content_size, length, ERR_CMAP_SIZE))
        return 0;
    if (!write_exact(file, colors, sizeof colors))
        return fail(3);
    return 1;
}

// --- TEX_RECORD ------------------------------------------------------------------

int TEX_RECORD::read_header(FILE* file) {
    if (file == nullptr)
        return fail(8);
    if (!read_exact(file, tag, tag_size))
        return fail(2);
    tag[tag_size] = '\0';
    // The length is judged by the shared code alone, so clear it first.
    err_code = 0;
    length = read_long_be(file);
    return err_code == 0 ? 1 : 0;
}

int TEX_RECORD::read(FILE* file) {
    if (!read_header(file))
        return 0;
    if (length == 0)
        return 1;

    // Contents are chosen by the exact tag: "bhdr" is not a bitmap header.
    TEX_CONTENT* made;
    if (std::memcmp(tag, "BHDR", tag_size) == 0)
        made = new (std::nothrow) TEX_BHDR;
    else if (std::memcmp(tag, "IFHD", tag_size) == 0)
        made = new (std::nothrow) TEX_IFHD;
    else if (std::memcmp(tag, "CMAP", tag_size) == 0)
        made = new (std::nothrow) TEX_CMAP;
    else
        made = new (std::nothrow) TEX_CONTENT;
    if (made == nullptr)
        err_table.fatal_error(4, "VUVEREDE - TEX_RECORD::read(): Attempt to allocate data failed!");
    content.reset(made);
    return content->read(file, length);
}

int TEX_RECORD::write_header(FILE* file) {
    if (file == nullptr)
        return fail(8);
    // The tag goes out as its four bytes, NULs included.
    if (!write_exact(file, tag, tag_size))
        return fail(3);
    return write_long_be(file, length) ? 1 : 0;
}

int TEX_RECORD::write(FILE* file) {
    if (!write_header(file))
        return 0;
    if (length == 0)
        return 1;
    if (!content)
        return fail(8);
    return content->write(file, length);
}

void TEX_RECORD::free() {
    if (content) {
        content->clear();
        content.reset();
    }
    length = 0;
    std::memset(tag, 0, sizeof tag);
}

int TEX_RECORD::dump() {
    write_log("       [%s] %ld bytes", tag, static_cast<long>(length));
    if (content)
        content->dump();
    return 1;
}

bool TEX_RECORD::is_end() const {
    return std::memcmp(tag, "END ", tag_size) == 0;
}

// --- TEX_IMAGE -------------------------------------------------------------------

int TEX_IMAGE::read(FILE* file) {
    if (file == nullptr)
        return fail(8);
    if (!read_exact(file, name, name_size))
        return fail(2);
    name[name_size] = '\0';
    if (is_terminator())
        return 1;

    uint8_t raw[4];
    if (!read_exact(file, raw, sizeof raw))
        return fail(2);
    size = static_cast<int32_t>(get_le32(raw));

    for (;;) {
        if (record_count >= max_records)
            return fail(7);
        // Counted before it is read, so that free() releases a failed record.
        TEX_RECORD& record = records[record_count++];
        if (!record.read(file))
            return 0;
        if (record.is_end())
            return 1;
    }
}

int TEX_IMAGE::write(FILE* file) {
    if (file == nullptr)
        return fail(8);
    // All nine name bytes as read, including whatever follows a NUL.
    if (!write_exact(file, name, name_size))
        return fail(3);
    if (is_terminator())
        return 1;

    uint8_t raw[4];
    put_le32(raw, static_cast<uint32_t>(size));
    if (!write_exact(file, raw, sizeof raw))
        return fail(3);

    for (int32_t i = 0; i < record_count; ++i)
        if (!records[i].write(file))
            return 0;
    return 1;
}

void TEX_IMAGE::free() {
    for (int32_t i = 0; i < record_count && i < max_records; ++i)
        records[i].free();
    record_count = 0;
    std::memset(name, 0, sizeof name);
    size = 0;
}

int TEX_IMAGE::dump() {
    write_log("   Image '%s', Size = %ld,  %d Sub-Records", name, static_cast<long>(size),
              record_count);
    for (int32_t i = 0; i < record_count && i < max_records; ++i)
        records[i].dump();
    return 1;
}
