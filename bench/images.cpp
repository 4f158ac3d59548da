#include "bench/images.h"

#include <cstdio>
#include <cstring>

namespace bench {

namespace {

// splitmix64: tiny, fast and the same on every platform.
class random_source {
public:
    explicit random_source(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
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
        case kind::noise:
            return "noise";
        case kind::flat:
            return "flat";
    }
    return "?";
}

bool parse_kind(const std::string& text, kind& k) {
    for (kind candidate : {kind::texture, kind::noise, kind::flat}) {
        if (text == kind_name(candidate)) {
            k = candidate;
            return true;
        }
    }
    return false;
}

bytes make_pixels(kind k, int width, int height, uint32_t seed) {
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
        case kind::flat:
            std::memset(pixels.data(), 0x2A + static_cast<int>(seed % 64), pixels.size());
            break;
    }
    return pixels;
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

}  // namespace bench
