#include "bench/images.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "pcx/PCX.h"

#ifndef OSTREL_SHARED_DIR
#define OSTREL_SHARED_DIR "../shared"
#endif

namespace bench {

namespace {

// splitmix64's finaliser: tiny, fast and the same on every platform.
uint64_t mix(uint64_t v) {
    v = (v ^ (v >> 30)) * 0xBF58476D1CE4E5B9ull;
    v = (v ^ (v >> 27)) * 0x94D049BB133111EBull;
    return v ^ (v >> 31);
}

// splitmix64.
class random_source {
public:
    explicit random_source(uint64_t seed) : state_(seed) {}
    uint64_t next() { return mix(state_ += 0x9E3779B97F4A7C15ull); }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }

private:
    uint64_t state_;
};

// One line of a shaded texture: the colour walks up or down a few palette
// steps at a time (a shaded stretch, no two neighbours equal) or holds for
// a while (a run). A third of the segments are runs of 2 to 32 pixels
// (mean 17), the rest stretches of 1 to 16 (mean 8.5), so about half of
// the pixels lie in runs; the walk covers the palette evenly, so a quarter
// of the pixels are 0xC0 or above.
void texture_line(random_source& random, uint8_t* line, int width) {
    unsigned value = random.below(256);
    int x = 0;
    while (x < width) {
        const bool run = random.below(3) == 0;
        int length =
            run ? 2 + static_cast<int>(random.below(31)) : 1 + static_cast<int>(random.below(16));
        if (length > width - x)
            length = width - x;
        for (int i = 0; i < length; ++i) {
            if (!run || i == 0) {
                // A step of 1 to 3 up or down: never 0, so segments do not merge.
                const unsigned step = 1 + random.below(3);
                value = random.below(2) != 0 ? value + step : value + 256 - step;
                value &= 0xFF;
            }
            line[x + i] = static_cast<uint8_t>(value);
        }
        x += length;
    }
}

// --- dithered ---------------------------------------------------------------
//
// A texture painted the way the game's artists shaded with a 256-colour
// palette: 16 ramps of 16 shades (index 16 * ramp + shade). The picture is
// cut into cells of one material (ramp) each; within a cell the light is a
// smooth field, roughened by grain and spread over the shades with a 4 x 4
// ordered dither, so neighbours differ by a shade or two and runs are
// short. Ramps go round the cells so that every 16 cells of a row hold each
// ramp once: a quarter of the cells, and so of the pixels, use ramps 12 to
// 15, the indices 0xC0 and above.
//
// Everything is integer arithmetic in 1/256 of a shade, so the picture is
// the same on every platform. The grain's width was chosen for the mean
// run; `ostrel_bench_gen stats dithered 2048 2048` prints the figures.

constexpr int shades = 16;
constexpr int unit = 256;       // 1/256 of a shade
constexpr int cell_width = 40;  // one material per cell
constexpr int cell_height = 24;
constexpr int light_step = 32;                  // lattice of the smooth light
constexpr int grain = 2 * unit + 3 * unit / 4;  // 2.75 shades wide
constexpr int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

// The light at a lattice point: 0 to 15 shades, the same for every pixel
// that asks for that point.
int lattice_light(int lx, int ly, uint32_t seed) {
    const uint64_t key =
        static_cast<uint64_t>(static_cast<uint32_t>(lx)) << 32 | static_cast<uint32_t>(ly);
    return static_cast<int>(mix(key ^ (static_cast<uint64_t>(seed) << 48)) %
                            static_cast<uint64_t>((shades - 1) * unit));
}

// Bilinear between the four lattice points around (x, y).
int smooth_light(int x, int y, uint32_t seed) {
    const int lx = x / light_step;
    const int ly = y / light_step;
    const int fx = x % light_step;
    const int fy = y % light_step;
    const int top =
        lattice_light(lx, ly, seed) * (light_step - fx) + lattice_light(lx + 1, ly, seed) * fx;
    const int bottom = lattice_light(lx, ly + 1, seed) * (light_step - fx) +
                       lattice_light(lx + 1, ly + 1, seed) * fx;
    return (top * (light_step - fy) + bottom * fy) / (light_step * light_step);
}

void dithered_picture(random_source& random, uint8_t* pixels, int width, int height,
                      uint32_t seed) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int ramp =
                (5 * (x / cell_width) + 3 * (y / cell_height) + static_cast<int>(seed)) % shades;
            const int light = smooth_light(x, y, seed) + static_cast<int>(random.below(grain)) -
                              grain / 2 + bayer[y % 4][x % 4] * unit / 16;
            const int shade = std::clamp(light / unit, 0, shades - 1);
            pixels[static_cast<size_t>(y) * width + x] =
                static_cast<uint8_t>(ramp * shades + shade);
        }
    }
}

// --- photo -------------------------------------------------------------------

struct source_picture {
    std::string name;
    int width = 0;
    int height = 0;
    bytes pixels;
};

// Pictures smaller than this would tile into a pattern of a few pixels'
// period, which says nothing about real pictures.
constexpr int min_photo_side = 64;

std::string corpus_dir() {
    return std::string(OSTREL_SHARED_DIR) + "/corpus/pcx";
}

// The corpus's 8-bit, one-plane pictures, read once, by name.
const std::vector<source_picture>& photo_pictures() {
    static const std::vector<source_picture> pictures = [] {
        std::vector<source_picture> found;
        std::error_code error;
        std::vector<std::filesystem::path> paths;
        for (const auto& entry : std::filesystem::directory_iterator(corpus_dir(), error)) {
            if (entry.is_regular_file(error) && entry.path().extension() == ".pcx")
                paths.push_back(entry.path());
        }
        std::sort(paths.begin(), paths.end());
        for (const auto& path : paths) {
            PCX_IMAGE image;
            if (!image.load(path.string().c_str()) || image.header.bits_per_pixel != 8 ||
                image.header.planes != 1 || image.width() < min_photo_side ||
                image.height() < min_photo_side)
                continue;
            source_picture picture;
            picture.name = path.filename().string();
            picture.width = image.width();
            picture.height = image.height();
            picture.pixels.assign(
                image.pixels, image.pixels + static_cast<size_t>(picture.width) * picture.height);
            found.push_back(std::move(picture));
        }
        return found;
    }();
    return pictures;
}

// Bands of whole source pictures, one after another from the top (picture
// `seed` first), each repeated across the width and cut at the right edge.
void tile_photos(uint8_t* pixels, int width, int height, uint32_t seed) {
    const std::vector<source_picture>& sources = photo_pictures();
    size_t next = seed % sources.size();
    int y = 0;
    while (y < height) {
        const source_picture& source = sources[next++ % sources.size()];
        for (int row = 0; row < source.height && y < height; ++row, ++y) {
            uint8_t* line = pixels + static_cast<size_t>(y) * width;
            const uint8_t* from = source.pixels.data() + static_cast<size_t>(row) * source.width;
            for (int x = 0; x < width; x += source.width)
                std::memcpy(line + x, from, static_cast<size_t>(std::min(source.width, width - x)));
        }
    }
}

void put_le16(bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put_le32(bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_be32(bytes& out, uint32_t v) {
    for (int i = 3; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_record(bytes& out, const char* tag, const uint8_t* content, uint32_t length) {
    out.insert(out.end(), tag, tag + 4);
    put_be32(out, length);
    out.insert(out.end(), content, content + length);
}

}  // namespace

const char* kind_name(kind k) {
    switch (k) {
        case kind::texture:
            return "texture";
        case kind::dithered:
            return "dithered";
        case kind::photo:
            return "photo";
        case kind::noise:
            return "noise";
        case kind::flat:
            return "flat";
    }
    return "?";
}

bool parse_kind(const std::string& text, kind& k) {
    for (kind candidate : all_kinds) {
        if (text == kind_name(candidate)) {
            k = candidate;
            return true;
        }
    }
    return false;
}

bytes make_pixels(kind k, int width, int height, uint32_t seed) {
    if (k == kind::photo && photo_pictures().empty())
        return {};
    bytes pixels(static_cast<size_t>(width) * height);
    random_source random(0x05712E1ull * 1000003u + seed * 7919u + static_cast<uint64_t>(k));
    switch (k) {
        case kind::texture:
            for (int y = 0; y < height; ++y)
                texture_line(random, pixels.data() + static_cast<size_t>(y) * width, width);
            break;
        case kind::noise:
            for (size_t i = 0; i < pixels.size(); i += 8) {
                const uint64_t r = random.next();
                for (size_t j = 0; j < 8 && i + j < pixels.size(); ++j)
                    pixels[i + j] = static_cast<uint8_t>(r >> (8 * j));
            }
            break;
        case kind::dithered:
            dithered_picture(random, pixels.data(), width, height, seed);
            break;
        case kind::photo:
            tile_photos(pixels.data(), width, height, seed);
            break;
        case kind::flat:
            std::memset(pixels.data(), 0x2A + static_cast<int>(seed % 64), pixels.size());
            break;
    }
    return pixels;
}

std::vector<std::string> photo_sources() {
    std::vector<std::string> names;
    for (const source_picture& picture : photo_pictures())
        names.push_back(picture.name + " (" + std::to_string(picture.width) + "x" +
                        std::to_string(picture.height) + ")");
    return names;
}

std::string photo_notice() {
    if (!std::filesystem::is_directory(corpus_dir()))
        return "NOTICE: " + corpus_dir() + " not found: the photo kind is skipped";
    if (photo_pictures().empty())
        return "NOTICE: no 8-bit PCX file of " + std::to_string(min_photo_side) + " x " +
               std::to_string(min_photo_side) + " or more in " + corpus_dir() +
               ": the photo kind is skipped";
    return "";
}

bytes make_palette() {
    bytes palette(768);
    for (int i = 0; i < 256; ++i) {
        palette[3 * i] = static_cast<uint8_t>(i);
        palette[3 * i + 1] = static_cast<uint8_t>(255 - i);
        palette[3 * i + 2] = static_cast<uint8_t>((i * 7) & 0xFF);
    }
    return palette;
}

bytes make_texture(kind k, int width, int height, int count, bool with_cmap) {
    const uint32_t pixel_count = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
    bytes out;
    out.reserve((static_cast<size_t>(pixel_count) + 1000) * count + 9);
    const bytes palette = make_palette();
    if (k == kind::photo && photo_pictures().empty())
        return {};
    for (int i = 0; i < count; ++i) {
        char name[16] = {};  // 9 bytes are written: "img" and the number, NUL-padded
        std::snprintf(name, sizeof name, "img%02d", i % 1000000);
        out.insert(out.end(), name, name + 9);

        bytes header;
        for (int word : {0, 0, width, height, 0, 0, 0, 0, 65, 0, 0, 256, 0})
            put_le16(header, static_cast<uint16_t>(word));
        bytes ifhd(44, 0);
        ifhd[0] = 1;
        const bytes pixels = make_pixels(k, width, height, static_cast<uint32_t>(i));

        const uint32_t records = 8 + 26 + 8 + 44 + (with_cmap ? 8 + 768 : 0) + 8 + pixel_count + 8;
        put_le32(out, records);
        put_record(out, "BHDR", header.data(), 26);
        put_record(out, "IFHD", ifhd.data(), 44);
        if (with_cmap)
            put_record(out, "CMAP", palette.data(), 768);
        put_record(out, "DATA", pixels.data(), pixel_count);
        put_record(out, "END ", nullptr, 0);
    }
    out.insert(out.end(), 9, 0);
    return out;
}

double run_share(const bytes& pixels, int width) {
    size_t in_runs = 0;
    for (size_t start = 0; start < pixels.size(); start += static_cast<size_t>(width)) {
        for (int x = 0; x < width; ++x) {
            const uint8_t v = pixels[start + x];
            const bool left = x > 0 && pixels[start + x - 1] == v;
            const bool right = x + 1 < width && pixels[start + x + 1] == v;
            in_runs += left || right;
        }
    }
    return pixels.empty() ? 0.0 : static_cast<double>(in_runs) / pixels.size();
}

double mean_run(const bytes& pixels, int width) {
    size_t runs = 0;
    for (size_t start = 0; start < pixels.size(); start += static_cast<size_t>(width)) {
        ++runs;
        for (int x = 1; x < width; ++x)
            runs += pixels[start + x] != pixels[start + x - 1];
    }
    return runs == 0 ? 0.0 : static_cast<double>(pixels.size()) / runs;
}

double high_share(const bytes& pixels) {
    size_t high = 0;
    for (uint8_t v : pixels)
        high += v >= 0xC0;
    return pixels.empty() ? 0.0 : static_cast<double>(high) / pixels.size();
}

bool write_file(const std::string& path, const bytes& data) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    return std::fclose(file) == 0 && written;
}

namespace {

class work_dir {
public:
    work_dir() {
        std::random_device entropy;
        path_ = std::filesystem::temp_directory_path() /
                ("ostrel-bench-" + std::to_string(entropy()));
        std::filesystem::create_directories(path_);
    }
    ~work_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    work_dir(const work_dir&) = delete;
    work_dir& operator=(const work_dir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace

std::string scratch_file(const std::string& name) {
    static work_dir dir;
    return dir.file(name);
}

const bytes& shared_palette() {
    static const bytes palette = make_palette();
    return palette;
}

}  // namespace bench
