#include "png/PNG.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "lib/GENMEM.h"
#include "platform/PLATFORM.h"

// libpng reports an error by a longjmp to the last setjmp. Every libpng call
// that can fail runs inside guarded(): the jump crosses only libpng's own
// frames, our callbacks and the one step function, none of which owns an
// object with a destructor. Whatever must be released (the libpng structs,
// the stream, the pixels) is owned by the C++ functions around guarded(),
// which the jump never crosses.

namespace {

constexpr size_t signature_size = sizeof png_signature;

// deflate codes a match of at most 258 bytes in at least two bits, so no
// compressed stream inflates to more than 258 * 8 / 2 = 1032 times its
// size. A picture whose uncompressed rows need more than that many times
// the file's size cannot be in the file.
constexpr uint64_t max_inflate_ratio = 1032;

// The longest chunk other than IDAT that is accepted (the limit libpng
// ships with). The chunks that are read are all short (PLTE at most 768
// bytes); the others are skipped without being stored.
constexpr png_alloc_size_t max_chunk_bytes = 8000000;

// Compressed bytes collected before an IDAT chunk goes out: few, large
// chunks and writes.
constexpr size_t write_buffer_size = 256 * 1024;

// --- Error handling shared by both directions ---------------------------------

// What libpng and our callbacks reported, reached through libpng's error
// pointer. Plain data: it lives in the caller's frame.
struct png_report {
    char error[200];
    char warning[200];
    bool end_of_file;      // a read found fewer bytes than libpng asked for
    bool stream_failed;    // the stream reported an I/O error
    png_uint_32 chunk;     // the chunk being read at that moment
    bool in_chunk_header;  // ... or the header of the one after it
};

void copy_text(char* to, size_t size, const char* text) {
    std::snprintf(to, size, "%s", text != nullptr ? text : "");
}

[[noreturn]] void on_error(png_structp png, png_const_charp message) {
    auto* report = static_cast<png_report*>(png_get_error_ptr(png));
    copy_text(report->error, sizeof report->error, message);
    png_longjmp(png, 1);
}

void on_warning(png_structp png, png_const_charp message) {
    auto* report = static_cast<png_report*>(png_get_error_ptr(png));
    copy_text(report->warning, sizeof report->warning, message);
    write_log("PNG - libpng warning: %s", message != nullptr ? message : "");
}

// Runs `step(job)`; false when libpng (or a callback) raised an error in
// it. The report then holds the error and the last warning of this step.
template <class Job>
bool guarded(png_structp png, void (*step)(Job&), Job& job) {
    job.report->warning[0] = '\0';
    if (setjmp(png_jmpbuf(png)) != 0)
        return false;
    step(job);
    return true;
}

// The four printable letters of a chunk type, or "?" for anything else.
void chunk_name(png_uint_32 type, char (&name)[5]) {
    for (int i = 0; i < 4; ++i) {
        const int letter = static_cast<int>((type >> (24 - 8 * i)) & 0xFF);
        name[i] = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')
                      ? static_cast<char>(letter)
                      : '?';
    }
    name[4] = '\0';
}

// --- Reading -----------------------------------------------------------------

struct read_job {
    png_structp png = nullptr;
    png_infop info = nullptr;
    FILE* file = nullptr;
    int64_t file_size = -1;  // -1: not known (not a regular file)
    png_report* report = nullptr;

    // From the header (read_header).
    png_uint_32 width = 0, height = 0;
    int bit_depth = 0, colour_type = 0, interlace = 0;
    png_colorp palette = nullptr;
    int palette_entries = 0;
    png_bytep palette_alpha = nullptr;  // tRNS of an indexed picture
    int alpha_entries = 0;
    png_color_16p transparent = nullptr;  // tRNS of a grey or RGB picture

    // The layout of the decoded rows (set_layout).
    size_t row_bytes = 0;

    png_bytepp rows = nullptr;  // read_pixels fills them
};

void read_bytes(png_structp png, png_bytep data, size_t length) {
    auto* job = static_cast<read_job*>(png_get_io_ptr(png));
    if (std::fread(data, 1, length, job->file) == length)
        return;
    png_report& report = *job->report;
    report.stream_failed = std::ferror(job->file) != 0;
    report.end_of_file = !report.stream_failed;
    report.chunk = png_get_io_chunk_type(png);
    report.in_chunk_header = (png_get_io_state(png) & PNG_IO_CHUNK_HDR) != 0;
    png_error(png, report.stream_failed ? "read error" : "the file ends early");
}

// The signature is already read; everything up to the first IDAT.
void read_header(read_job& job) {
    png_structp png = job.png;
    png_set_read_fn(png, &job, read_bytes);
    png_set_sig_bytes(png, static_cast<int>(signature_size));
    png_set_user_limits(png, PICTURE::max_side, PICTURE::max_side);
    png_set_chunk_malloc_max(png, max_chunk_bytes);
    // A bad CRC means a damaged file, whichever chunk it is in (libpng
    // would otherwise drop an ancillary chunk such as tRNS and go on), and
    // what libpng calls a benign error (an invalid tRNS, a palette index
    // beyond the palette, data after the picture) is still a defect.
    png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
    png_set_benign_errors(png, 0);
    // Only IHDR, PLTE, tRNS, IDAT and IEND matter here; libpng skips the
    // rest (text, profiles, gamma, ...) without decompressing or storing it.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);

    png_read_info(png, job.info);
    png_get_IHDR(png, job.info, &job.width, &job.height, &job.bit_depth, &job.colour_type,
                 &job.interlace, nullptr, nullptr);
    if (png_get_valid(png, job.info, PNG_INFO_PLTE) != 0)
        png_get_PLTE(png, job.info, &job.palette, &job.palette_entries);
    if (png_get_valid(png, job.info, PNG_INFO_tRNS) != 0)
        png_get_tRNS(png, job.info, &job.palette_alpha, &job.alpha_entries, &job.transparent);
}

// Transformations to one byte per index or four per colour.
void set_layout(read_job& job) {
    png_structp png = job.png;
    if (job.bit_depth < 8)
        png_set_packing(png);  // one byte per pixel, values not scaled
    if (job.colour_type == PNG_COLOR_TYPE_RGB) {
        if (job.transparent != nullptr)
            png_set_tRNS_to_alpha(png);
        else
            png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, job.info);
    job.row_bytes = png_get_rowbytes(png, job.info);
}

void read_pixels(read_job& job) {
    png_read_image(job.png, job.rows);
    png_read_end(job.png, nullptr);
}

// The libpng read structs, released with their owner.
class reader {
public:
    explicit reader(png_report& report) {
        job.report = &report;
        job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &report, on_error, on_warning);
        if (job.png != nullptr)
            job.info = png_create_info_struct(job.png);
    }
    ~reader() {
        png_destroy_read_struct(&job.png, job.info != nullptr ? &job.info : nullptr, nullptr);
    }
    reader(const reader&) = delete;
    reader& operator=(const reader&) = delete;

    read_job job;
};

int refuse_damaged(const char* path, const png_report& report) {
    char name[5];
    chunk_name(report.chunk, name);
    if (report.end_of_file)
        return refuse_picture(2, "The file is cut short: it ends %s its %s chunk.",
                              report.in_chunk_header ? "after" : "inside", name);
    if (report.stream_failed)
        return refuse_picture(2, "The file could not be read (a read error).");
    // A refused IHDR is explained by the warning before the error.
    const bool warned = report.warning[0] != '\0';
    write_log("PNG - png_load(): libpng refused '%s': %s%s%s", path, report.warning,
              warned ? "; " : "", report.error);
    return refuse_picture(9, "It is a damaged PNG file (libpng: %s%s%s).", report.warning,
                          warned ? "; " : "", report.error);
}

const char* colour_type_name(int colour_type) {
    switch (colour_type) {
        case PNG_COLOR_TYPE_GRAY:
            return "grey";
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            return "grey with alpha";
        case PNG_COLOR_TYPE_RGB:
            return "RGB";
        case PNG_COLOR_TYPE_RGB_ALPHA:
            return "RGBA";
        default:
            return "indexed";
    }
}

int channels_of(int colour_type) {
    switch (colour_type) {
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            return 2;
        case PNG_COLOR_TYPE_RGB:
            return 3;
        case PNG_COLOR_TYPE_RGB_ALPHA:
            return 4;
        default:
            return 1;
    }
}

// What the header promises, checked before anything is allocated.
int check_header(const read_job& job) {
    if (job.bit_depth > 8)
        return refuse_picture(9,
                              "It has %d-bit samples (%s): Ostrel takes PNG pictures of 8 bits "
                              "per sample or fewer; save it with 8 bits per channel.",
                              job.bit_depth, colour_type_name(job.colour_type));
    if (job.colour_type == PNG_COLOR_TYPE_PALETTE && job.palette == nullptr)
        return refuse_picture(9, "It is an indexed PNG without a palette (PLTE).");
    const uint64_t row_bits =
        static_cast<uint64_t>(job.width) * job.bit_depth * channels_of(job.colour_type);
    const uint64_t data_bytes = (row_bits + 7) / 8 * job.height;
    if (job.file_size >= 0 && data_bytes > max_inflate_ratio * static_cast<uint64_t>(job.file_size))
        return refuse_picture(9,
                              "It claims %lu x %lu pixels, more than its %lld bytes can hold: "
                              "the PNG file is damaged.",
                              static_cast<unsigned long>(job.width),
                              static_cast<unsigned long>(job.height),
                              static_cast<long long>(job.file_size));
    return 1;
}

// In the grey kinds, the transparent pixels become index 0 (see PNG.h):
// `pixels` holds one byte per pixel, or grey and alpha pairs that are
// packed to one byte here.
void settle_grey(const read_job& job, uint8_t* pixels, size_t count) {
    if (job.colour_type == PNG_COLOR_TYPE_GRAY_ALPHA) {
        for (size_t i = 0; i < count; ++i)
            pixels[i] = pixels[2 * i + 1] == 0 ? 0 : pixels[2 * i];
    } else if (job.transparent != nullptr) {
        const png_uint_16 clear = job.transparent->gray;
        for (size_t i = 0; i < count; ++i)
            if (pixels[i] == clear)
                pixels[i] = 0;
    }
}

uint8_t largest_index(const uint8_t* pixels, size_t count) {
    uint8_t largest = 0;
    for (size_t i = 0; i < count; ++i)
        largest = pixels[i] > largest ? pixels[i] : largest;
    return largest;
}

void take_palette(const read_job& job, PICTURE& picture) {
    std::memset(picture.alpha, 0xFF, sizeof picture.alpha);
    if (job.colour_type != PNG_COLOR_TYPE_PALETTE)
        return;
    const int entries =
        job.palette_entries < PICTURE::colour_count ? job.palette_entries : PICTURE::colour_count;
    for (int i = 0; i < entries; ++i) {
        picture.palette[3 * i] = job.palette[i].red;
        picture.palette[3 * i + 1] = job.palette[i].green;
        picture.palette[3 * i + 2] = job.palette[i].blue;
    }
    picture.palette_entries = static_cast<uint32_t>(entries);
    for (int i = 0; i < job.alpha_entries && i < PICTURE::colour_count; ++i)
        picture.alpha[i] = job.palette_alpha[i];
}

// --- Writing -----------------------------------------------------------------

struct write_job {
    png_structp png = nullptr;
    png_infop info = nullptr;
    FILE* file = nullptr;
    png_report* report = nullptr;
    png_uint_32 width = 0, height = 0;
    const uint8_t* pixels = nullptr;
    png_color palette[PICTURE::colour_count] = {};
};

void write_bytes(png_structp png, png_bytep data, size_t length) {
    auto* job = static_cast<write_job*>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, length, job->file) != length) {
        job->report->stream_failed = true;
        png_error(png, "write error");
    }
}

void flush_bytes(png_structp png) {
    auto* job = static_cast<write_job*>(png_get_io_ptr(png));
    if (std::fflush(job->file) != 0) {
        job->report->stream_failed = true;
        png_error(png, "write error");
    }
}

void write_picture(write_job& job) {
    png_structp png = job.png;
    png_set_write_fn(png, &job, write_bytes, flush_bytes);
    png_set_IHDR(png, job.info, job.width, job.height, 8, PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_PLTE(png, job.info, job.palette, PICTURE::colour_count);
    // Speed first: deflate looking only for runs of one repeated index (as
    // the PCX code does), on unfiltered rows. Measured on the benchmark's
    // 2048 x 2048 pictures (bench/png_bench.cpp), this is about twice as
    // fast as level 1's full match search and three times on noise, for a
    // file a quarter larger; the filters cost time and, indices being no
    // magnitudes, help only where a palette is ordered in ramps.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png, 1);
    png_set_compression_strategy(png, Z_RLE);
    png_set_compression_buffer_size(png, write_buffer_size);
    png_write_info(png, job.info);
    const size_t width = job.width;
    for (png_uint_32 y = 0; y < job.height; ++y)
        png_write_row(png, job.pixels + y * width);
    png_write_end(png, nullptr);
    flush_bytes(png);
}

class writer {
public:
    explicit writer(png_report& report) {
        job.report = &report;
        job.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &report, on_error, on_warning);
        if (job.png != nullptr)
            job.info = png_create_info_struct(job.png);
    }
    ~writer() { png_destroy_write_struct(&job.png, job.info != nullptr ? &job.info : nullptr); }
    writer(const writer&) = delete;
    writer& operator=(const writer&) = delete;

    write_job job;
};

bool valid_size(int32_t width, int32_t height) {
    return width >= 1 && width <= PICTURE::max_side && height >= 1 && height <= PICTURE::max_side;
}

}  // namespace

bool png_supported() {
    return true;
}

int png_load(const char* path, PICTURE& picture) {
    picture.clear();
    clear_picture_reason();
    if (path == nullptr)
        return refuse_picture(8, "No PNG file was named.");
    file_ptr file(openfile(path, "rb", 0));
    if (!file)
        return 0;  // code 1, and the log says why

    const int64_t file_size = platform::bytes_left(file.get());
    uint8_t signature[signature_size];
    const size_t got = std::fread(signature, 1, signature_size, file.get());
    if (std::ferror(file.get()) != 0)
        return refuse_picture(2, "The file could not be read (a read error).");
    if (!is_png_signature(signature, got)) {
        if (got == 0)
            return refuse_picture(2, "The file is empty.");
        if (got < signature_size && std::memcmp(signature, png_signature, got) == 0)
            return refuse_picture(2, "The file is cut short: it ends within the PNG signature.");
        return refuse_picture(
            9, "It is not a PNG file (it does not start with the PNG signature).");
    }

    png_report report{};
    reader png(report);
    if (png.job.png == nullptr || png.job.info == nullptr)
        return refuse_picture(4, "libpng could not start (out of memory).");
    read_job& job = png.job;
    job.file = file.get();
    job.file_size = file_size;
    if (!guarded(job.png, read_header, job)) {
        // libpng keeps the size of a header it refused; a size beyond the
        // texture's limit deserves its own words.
        const png_uint_32 width = png_get_image_width(job.png, job.info);
        const png_uint_32 height = png_get_image_height(job.png, job.info);
        if (!report.end_of_file && !report.stream_failed &&
            (width > static_cast<png_uint_32>(PICTURE::max_side) ||
             height > static_cast<png_uint_32>(PICTURE::max_side)))
            return refuse_picture(9,
                                  "It is %lu x %lu pixels: Ostrel takes pictures of up to "
                                  "%d x %d pixels.",
                                  static_cast<unsigned long>(width),
                                  static_cast<unsigned long>(height), PICTURE::max_side,
                                  PICTURE::max_side);
        return refuse_damaged(path, report);
    }
    if (!check_header(job))
        return 0;
    if (!guarded(job.png, set_layout, job))
        return refuse_damaged(path, report);

    // One byte per index, four per colour; grey with alpha is read as
    // pairs and packed afterwards.
    const bool true_colour =
        (job.colour_type & PNG_COLOR_MASK_COLOR) != 0 && job.colour_type != PNG_COLOR_TYPE_PALETTE;
    const size_t read_bpp = true_colour ? 4 : job.colour_type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2 : 1;
    if (job.row_bytes != read_bpp * job.width)
        return refuse_picture(9, "libpng decodes rows of %lu bytes, not the %lu expected.",
                              static_cast<unsigned long>(job.row_bytes),
                              static_cast<unsigned long>(read_bpp * job.width));
    // At most 32767 x 32767 x 4 bytes, which fits the allocator's 32 bits.
    const size_t count = static_cast<size_t>(job.width) * job.height;
    owned_ptr<uint8_t> pixels = create_bytes(static_cast<uint32_t>(count * read_bpp));
    owned_ptr<png_bytep> rows(
        static_cast<png_bytep*>(create_ptr(static_cast<uint32_t>(job.height * sizeof(png_bytep)))));
    for (png_uint_32 y = 0; y < job.height; ++y)
        rows.get()[y] = pixels.get() + y * job.row_bytes;
    job.rows = rows.get();
    if (!guarded(job.png, read_pixels, job))
        return refuse_damaged(path, report);

    if (job.colour_type == PNG_COLOR_TYPE_PALETTE && job.palette_entries < 1 << job.bit_depth) {
        // libpng checks this only for some layouts, and lets the index one
        // past the last entry through. (A full palette has no such index.)
        const uint8_t largest = largest_index(pixels.get(), count);
        if (largest >= job.palette_entries)
            return refuse_picture(9,
                                  "It uses palette index %d, but its palette has %d entries: "
                                  "the PNG file is damaged.",
                                  largest, job.palette_entries);
    } else if (!true_colour) {
        settle_grey(job, pixels.get(), count);
    }
    picture.width = static_cast<int32_t>(job.width);
    picture.height = static_cast<int32_t>(job.height);
    picture.kind = true_colour                                 ? picture_kind::true_colour
                   : job.colour_type == PNG_COLOR_TYPE_PALETTE ? picture_kind::indexed
                                                               : picture_kind::bare_indices;
    take_palette(job, picture);
    picture.pixels = std::move(pixels);
    return 1;
}

int png_write(FILE* file, int32_t width, int32_t height, const uint8_t* pixels,
              const uint8_t* palette) {
    if (file == nullptr || pixels == nullptr || palette == nullptr || !valid_size(width, height))
        return fail(8);
    png_report report{};
    writer png(report);
    if (png.job.png == nullptr || png.job.info == nullptr)
        return fail(4);
    write_job& job = png.job;
    job.file = file;
    job.width = static_cast<png_uint_32>(width);
    job.height = static_cast<png_uint_32>(height);
    job.pixels = pixels;
    for (int i = 0; i < PICTURE::colour_count; ++i)
        job.palette[i] = {palette[3 * i], palette[3 * i + 1], palette[3 * i + 2]};
    if (!guarded(job.png, write_picture, job)) {
        if (!report.stream_failed)
            write_log("PNG - png_write(): libpng failed: %s", report.error);
        return fail(3);
    }
    return 1;
}

int png_save(const char* path, int32_t width, int32_t height, const uint8_t* pixels,
             const uint8_t* palette) {
    // Nothing sound to write: refused before the file is created or emptied.
    if (path == nullptr || pixels == nullptr || palette == nullptr || !valid_size(width, height))
        return fail(8);
    // Written beside its name and renamed over it once complete: a failed
    // or interrupted write leaves an earlier file of that name as it was.
    output_file out;
    if (!out.open(path))
        return 0;
    if (png_write(out.stream(), width, height, pixels, palette) != 1)
        return 0;  // the code png_write set; the new file goes with `out`
    return out.commit() ? 1 : fail(3);
}
