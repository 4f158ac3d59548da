#include "support/png_fixture.h"

#include <algorithm>
#include <iterator>

namespace png_fixture {

namespace {

const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

void put_be32(bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint32_t adler32(const bytes& data) {
    uint32_t a = 1, b = 0;
    for (uint8_t byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

// Samples of one row packed at `bit_depth` bits, high bits first, after
// the filter byte 0.
void put_row(bytes& out, const uint16_t* samples, size_t count, int bit_depth) {
    out.push_back(0);
    if (bit_depth == 16) {
        for (size_t i = 0; i < count; ++i) {
            out.push_back(static_cast<uint8_t>(samples[i] >> 8));
            out.push_back(static_cast<uint8_t>(samples[i]));
        }
        return;
    }
    uint32_t accumulator = 0;
    int bits = 0;
    for (size_t i = 0; i < count; ++i) {
        accumulator = accumulator << bit_depth | (samples[i] & ((1u << bit_depth) - 1));
        bits += bit_depth;
        if (bits == 8) {
            out.push_back(static_cast<uint8_t>(accumulator));
            accumulator = 0;
            bits = 0;
        }
    }
    if (bits > 0)
        out.push_back(static_cast<uint8_t>(accumulator << (8 - bits)));
}

}  // namespace

int channels(int colour_type) {
    switch (colour_type) {
        case rgb:
            return 3;
        case grey_alpha:
            return 2;
        case rgba:
            return 4;
        default:
            return 1;
    }
}

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = crc >> 1 ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

bytes file(const std::vector<chunk>& chunks) {
    bytes out(std::begin(signature), std::end(signature));
    for (const chunk& c : chunks) {
        put_be32(out, static_cast<uint32_t>(c.data.size()));
        const size_t start = out.size();
        out.insert(out.end(), c.type.begin(), c.type.end());
        out.insert(out.end(), c.data.begin(), c.data.end());
        const uint32_t crc = crc32(out.data() + start, out.size() - start);
        put_be32(out, c.bad_crc ? crc ^ 1u : crc);
    }
    return out;
}

bytes ihdr(uint32_t width, uint32_t height, int bit_depth, int colour_type, bool interlaced) {
    bytes out;
    put_be32(out, width);
    put_be32(out, height);
    out.push_back(static_cast<uint8_t>(bit_depth));
    out.push_back(static_cast<uint8_t>(colour_type));
    out.push_back(0);  // deflate
    out.push_back(0);  // adaptive filtering
    out.push_back(interlaced ? 1 : 0);
    return out;
}

bytes zlib_stored(const bytes& raw) {
    bytes out = {0x78, 0x01};
    size_t at = 0;
    do {
        const size_t size = std::min<size_t>(raw.size() - at, 65535);
        const bool last = at + size == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<uint8_t>(size));
        out.push_back(static_cast<uint8_t>(size >> 8));
        out.push_back(static_cast<uint8_t>(~size));
        out.push_back(static_cast<uint8_t>(~size >> 8));
        out.insert(out.end(), raw.begin() + static_cast<long>(at),
                   raw.begin() + static_cast<long>(at + size));
        at += size;
    } while (at < raw.size());
    put_be32(out, adler32(raw));
    return out;
}

bytes scanlines(uint32_t width, uint32_t height, int bit_depth, int colour_type, bool interlaced,
                const std::vector<uint16_t>& given) {
    const size_t per_pixel = static_cast<size_t>(channels(colour_type));
    std::vector<uint16_t> samples = given;
    samples.resize(static_cast<size_t>(width) * height * per_pixel);
    bytes out;
    if (!interlaced) {
        for (uint32_t y = 0; y < height; ++y)
            put_row(out, samples.data() + y * width * per_pixel, width * per_pixel, bit_depth);
        return out;
    }
    // Adam7: first column, first row, column step, row step of each pass.
    const uint32_t passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                   {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    for (const auto& pass : passes) {
        if (pass[0] >= width || pass[1] >= height)
            continue;  // an empty pass has no rows at all
        std::vector<uint16_t> row;
        for (uint32_t y = pass[1]; y < height; y += pass[3]) {
            row.clear();
            for (uint32_t x = pass[0]; x < width; x += pass[2])
                for (size_t c = 0; c < per_pixel; ++c)
                    row.push_back(samples[(y * width + x) * per_pixel + c]);
            put_row(out, row.data(), row.size(), bit_depth);
        }
    }
    return out;
}

std::vector<chunk> chunks_of(const picture& p) {
    std::vector<chunk> chunks = {
        {"IHDR", ihdr(p.width, p.height, p.bit_depth, p.colour_type, p.interlaced)}};
    chunks.insert(chunks.end(), p.before_data.begin(), p.before_data.end());
    chunks.push_back({"IDAT", zlib_stored(scanlines(p.width, p.height, p.bit_depth, p.colour_type,
                                                    p.interlaced, p.samples))});
    chunks.insert(chunks.end(), p.after_data.begin(), p.after_data.end());
    chunks.push_back({"IEND", {}});
    return chunks;
}

bytes encode(const picture& p) {
    return file(chunks_of(p));
}

chunk plte(int entries) {
    chunk c{"PLTE", {}};
    for (int i = 0; i < entries; ++i) {
        c.data.push_back(static_cast<uint8_t>(3 * i + 1));
        c.data.push_back(static_cast<uint8_t>(5 * i + 2));
        c.data.push_back(static_cast<uint8_t>(7 * i + 3));
    }
    return c;
}

chunk trns(const bytes& values) {
    return {"tRNS", values};
}

std::vector<std::string> chunk_types(const bytes& png) {
    std::vector<std::string> types;
    size_t at = sizeof signature;
    if (png.size() < at || !std::equal(std::begin(signature), std::end(signature), png.begin()))
        return {};
    while (at < png.size()) {
        if (png.size() - at < 12)
            return {};
        const uint32_t length = be32(png.data() + at);
        if (length > png.size() - at - 12)
            return {};
        types.emplace_back(png.begin() + static_cast<long>(at + 4),
                           png.begin() + static_cast<long>(at + 8));
        at += 12 + length;
    }
    return types;
}

bytes chunk_data(const bytes& png, const std::string& type) {
    size_t at = 8;
    while (png.size() >= at + 12) {
        const uint32_t length = be32(png.data() + at);
        if (length > png.size() - at - 12)
            break;
        if (std::string(png.begin() + static_cast<long>(at + 4),
                        png.begin() + static_cast<long>(at + 8)) == type)
            return bytes(png.begin() + static_cast<long>(at + 8),
                         png.begin() + static_cast<long>(at + 8 + length));
        at += 12 + length;
    }
    return {};
}

}  // namespace png_fixture
