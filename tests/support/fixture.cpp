#include "support/fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fixture {

void put_le16(bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put_le32(bytes& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void put_be32(bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

bytes bhdr(int16_t width, int16_t height) {
    bytes out;
    const int16_t words[13] = {7, -2, width, height, 4, 5, 6, 0, 65, 9, 10, 256, 12};
    for (int16_t w : words)
        put_le16(out, static_cast<uint16_t>(w));
    return out;
}

bytes ifhd() {
    bytes out(44, 0);
    out[0] = 1;
    for (size_t i = 2; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(i * 3);
    return out;
}

bytes cmap(uint8_t seed) {
    bytes out(768);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(i * 7 + seed);
    return out;
}

bytes pixels(int width, int height, uint8_t seed) {
    bytes out(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            out[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>((x / 3) + y * 5 + seed);
    return out;
}

image simple_image(const std::string& name, int16_t width, int16_t height, bool with_cmap,
                   bool with_ifhd, uint8_t seed) {
    image img;
    img.name = name;
    img.records.push_back({"BHDR", bhdr(width, height)});
    if (with_ifhd)
        img.records.push_back({"IFHD", ifhd()});
    if (with_cmap)
        img.records.push_back({"CMAP", cmap(seed)});
    img.records.push_back({"DATA", pixels(width, height, seed)});
    img.records.push_back({"END ", {}});
    img.size = static_cast<int32_t>(width * height + 100);
    return img;
}

image with_picture(image img, int width, int height, const bytes& px) {
    for (record& r : img.records) {
        if (r.tag == "BHDR")
            r.content = bhdr(static_cast<int16_t>(width), static_cast<int16_t>(height));
        if (r.tag == "DATA") {
            img.size += static_cast<int32_t>(px.size()) - static_cast<int32_t>(r.content.size());
            r.content = px;
        }
    }
    return img;
}

bytes animated_bhdr(int16_t width, int16_t height, int16_t frame_count, int16_t encoding) {
    bytes out;
    const int16_t words[13] = {7, -2, width, height, 4, 5, 6, frame_count, 65, 9, 10, 256,
                               encoding};
    for (int16_t w : words)
        put_le16(out, static_cast<uint16_t>(w));
    return out;
}

bytes frame_data(const std::vector<uint32_t>& entries, const bytes& rows) {
    bytes out;
    for (uint32_t entry : entries)
        put_le32(out, entry);
    out.insert(out.end(), rows.begin(), rows.end());
    return out;
}

bytes strip_of(const bytes& data, int width, int height, int frame_count) {
    bytes strip;
    for (int i = 0; i < height * frame_count; ++i) {
        const size_t at = 4 * static_cast<size_t>(i);
        const uint32_t offset = uint32_t{data.at(at)} | uint32_t{data.at(at + 1)} << 8 |
                                uint32_t{data.at(at + 2)} << 16 | uint32_t{data.at(at + 3)} << 24;
        for (int x = 0; x < width; ++x)
            strip.push_back(data.at(offset + static_cast<size_t>(x)));
    }
    return strip;
}

image animated_image(const std::string& name, int16_t width, int16_t height,
                     int16_t frame_count, const bytes& data, bool with_cmap, uint8_t seed) {
    image img;
    img.name = name;
    img.records.push_back({"BHDR", animated_bhdr(width, height, frame_count)});
    img.records.push_back({"IFHD", ifhd()});
    if (with_cmap)
        img.records.push_back({"CMAP", cmap(seed)});
    img.records.push_back({"DATA", data});
    img.records.push_back({"END ", {}});
    img.size = static_cast<int32_t>(data.size() + 100);
    return img;
}

image sample_animated_image(const std::string& name, bool with_cmap) {
    // Five distinct rows of 5 bytes (0xC0 and above among them), stored
    // behind a table of 12 entries (48 bytes), then 7 bytes of something
    // else. Frame 0 uses rows A B C A (A twice), frame 1 D B C E, frame 2
    // A A E D.
    const bytes rows = {1,    2,    3,    4,    5,                                // A, at 48
                        0xC0, 0xC1, 0xFF, 0xC0, 0xC0,                           // B, at 53
                        9,    9,    9,    9,    9,                              // C, at 58
                        0x10, 0x20, 0x30, 0x40, 0x50,                           // D, at 63
                        200,  0,    200,  0,    200,                            // E, at 68
                        0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};               // tail
    const std::vector<uint32_t> entries = {48, 53, 58, 48, 63, 53, 58, 68, 48, 48, 68, 63};
    return animated_image(name, 5, 4, 3, frame_data(entries, rows), with_cmap, 4);
}

bytes encode_image(const image& img) {
    bytes out(9, 0);
    for (size_t i = 0; i < img.name.size() && i < 9; ++i)
        out[i] = static_cast<uint8_t>(img.name[i]);
    put_le32(out, static_cast<uint32_t>(img.size));
    for (const record& r : img.records) {
        for (size_t i = 0; i < 4; ++i)
            out.push_back(i < r.tag.size() ? static_cast<uint8_t>(r.tag[i]) : 0);
        const uint32_t length = r.length_override >= 0 ? static_cast<uint32_t>(r.length_override)
                                                       : static_cast<uint32_t>(r.content.size());
        put_be32(out, length);
        out.insert(out.end(), r.content.begin(), r.content.end());
    }
    return out;
}

bytes texture_file(const std::vector<image>& images, const bytes& terminator) {
    bytes out;
    for (const image& img : images) {
        bytes one = encode_image(img);
        out.insert(out.end(), one.begin(), one.end());
    }
    out.insert(out.end(), terminator.begin(), terminator.end());
    return out;
}

bytes palette(uint8_t seed) {
    bytes out(768);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(255 - i * 3 + seed);
    return out;
}

bytes distinct_palette() {
    bytes p(768);
    for (int i = 0; i < 256; ++i) {
        p[3 * i] = static_cast<uint8_t>(i);
        p[3 * i + 1] = static_cast<uint8_t>(255 - i);
        p[3 * i + 2] = static_cast<uint8_t>(i * 7);
    }
    return p;
}

bytes random_bytes(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    bytes out(count);
    for (uint8_t& byte : out)
        byte = static_cast<uint8_t>(random());
    return out;
}

bytes pcx_file(int width, int height, const bytes& px, const bytes& palette768) {
    bytes out;
    out.push_back(10);
    out.push_back(5);
    out.push_back(1);
    out.push_back(8);
    put_le16(out, 0);
    put_le16(out, 0);
    put_le16(out, static_cast<uint16_t>(width - 1));
    put_le16(out, static_cast<uint16_t>(height - 1));
    put_le16(out, 150);
    put_le16(out, 150);
    out.insert(out.end(), 48, 0);
    out.push_back(0);
    out.push_back(1);
    put_le16(out, static_cast<uint16_t>(width));
    put_le16(out, 1);
    put_le16(out, 1024);
    put_le16(out, 768);
    out.insert(out.end(), 54, 0);
    for (int y = 0; y < height; ++y) {
        int x = 0;
        while (x < width) {
            const uint8_t v = px[static_cast<size_t>(y) * width + x];
            int run = 1;
            while (x + run < width && run < 63 && px[static_cast<size_t>(y) * width + x + run] == v)
                ++run;
            if (run > 1 || v >= 0xC0)
                out.push_back(static_cast<uint8_t>(0xC0 + run));
            out.push_back(v);
            x += run;
        }
    }
    out.push_back(12);
    out.insert(out.end(), palette768.begin(), palette768.end());
    return out;
}

bytes hostile_pcx() {
    bytes file = pcx_file(4, 4, pixels(4, 4), palette());
    file[8] = file[10] = 0xFE;  // maximum x and y 32766: 32767 x 32767
    file[9] = file[11] = 0x7F;
    file[66] = 0xFF;  // bytes per line 32767
    file[67] = 0x7F;
    file.resize(997);
    return file;
}

bytes pcx_layout_file(int width, int height, int bits, int planes, int bytes_per_line,
                      const bytes& lines, const bytes& header_colours, const bytes& vga) {
    bytes out = {10, 5, 1, static_cast<uint8_t>(bits)};
    put_le16(out, 0);
    put_le16(out, 0);
    put_le16(out, static_cast<uint16_t>(width - 1));
    put_le16(out, static_cast<uint16_t>(height - 1));
    put_le16(out, 72);
    put_le16(out, 72);
    bytes colours = header_colours;
    colours.resize(48, 0);
    out.insert(out.end(), colours.begin(), colours.end());
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(planes));
    put_le16(out, static_cast<uint16_t>(bytes_per_line));
    put_le16(out, 1);
    put_le16(out, 0);
    put_le16(out, 0);
    out.insert(out.end(), 54, 0);
    // Runs never leave a scan line, as paint programs write them.
    const size_t line = static_cast<size_t>(planes) * bytes_per_line;
    for (size_t start = 0; start < lines.size(); start += line) {
        size_t x = 0;
        while (x < line) {
            const uint8_t v = lines[start + x];
            size_t run = 1;
            while (x + run < line && run < 63 && lines[start + x + run] == v)
                ++run;
            if (run > 1 || v >= 0xC0)
                out.push_back(static_cast<uint8_t>(0xC0 + run));
            out.push_back(v);
            x += run;
        }
    }
    if (!vga.empty()) {
        out.push_back(12);
        out.insert(out.end(), vga.begin(), vga.end());
    }
    return out;
}

void write_file(const std::string& path, const bytes& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return {};
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

temp_dir::temp_dir() {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path();
    std::random_device random;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        fs::path candidate =
            base / ("ostrel-test-" + std::to_string(random()) + "-" + std::to_string(attempt));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary directory");
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

scratch_stream::scratch_stream() : stream_(std::fopen(dir_.file("scratch.bin").c_str(), "w+b")) {}

scratch_stream::~scratch_stream() {
    if (stream_ != nullptr)
        std::fclose(stream_);
}

std::string shared_dir() {
    const std::string dir = OSTREL_SHARED_DIR;
    return std::filesystem::is_directory(dir + "/corpus") ? dir : std::string();
}

}  // namespace fixture
