#include "bench/plain_loop.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

int plain_encode(const char* path, int width, int height, const uint8_t* pixels,
                 const uint8_t* palette) {
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr)
        return 0;
    unsigned char header[128];
    std::memset(header, 0, sizeof header);
    header[0] = 10;
    header[1] = 5;
    header[2] = 1;
    header[3] = 8;
    header[8] = (unsigned char)((width - 1) & 0xFF);
    header[9] = (unsigned char)((width - 1) >> 8);
    header[10] = (unsigned char)((height - 1) & 0xFF);
    header[11] = (unsigned char)((height - 1) >> 8);
    header[12] = 150;
    header[14] = 150;
    header[65] = 1;
    header[66] = (unsigned char)(width & 0xFF);
    header[67] = (unsigned char)(width >> 8);
    header[68] = 1;
    header[71] = 4;
    header[73] = 3;
    std::fwrite(header, 1, sizeof header, f);
    for (int y = 0; y < height; y++) {
        const uint8_t* line = pixels + (size_t)y * width;
        int x = 0;
        while (x < width) {
            int v = line[x];
            int run = 1;
            while (x + run < width && run < 63 && line[x + run] == v)
                run++;
            if (run > 1 || v >= 0xC0)
                std::putc(0xC0 | run, f);
            std::putc(v, f);
            x += run;
        }
    }
    std::putc(12, f);
    int ok = std::fwrite(palette, 1, 768, f) == 768;
    return std::fclose(f) == 0 && ok;
}

uint8_t* plain_decode(const char* path, int* width, int* height, uint8_t* palette) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr)
        return nullptr;
    unsigned char header[128];
    if (std::fread(header, 1, sizeof header, f) != sizeof header) {
        std::fclose(f);
        return nullptr;
    }
    int w = (header[8] | header[9] << 8) + 1;
    int h = (header[10] | header[11] << 8) + 1;
    size_t total = (size_t)w * h;
    uint8_t* pixels = (uint8_t*)std::malloc(total);
    if (pixels == nullptr) {
        std::fclose(f);
        return nullptr;
    }
    size_t pos = 0;
    while (pos < total) {
        int c = std::getc(f);
        if (c == EOF)
            break;
        int count = 1;
        if (c >= 0xC0) {
            count = c - 0xC0;
            c = std::getc(f);
            if (c == EOF)
                break;
        }
        while (count-- > 0 && pos < total)
            pixels[pos++] = (uint8_t)c;
    }
    if (pos < total)
        std::memset(pixels + pos, 255, total - pos);
    if (std::fseek(f, -768, SEEK_END) != 0 || std::fread(palette, 1, 768, f) != 768) {
        std::free(pixels);
        std::fclose(f);
        return nullptr;
    }
    std::fclose(f);
    *width = w;
    *height = h;
    return pixels;
}

}  // namespace bench
