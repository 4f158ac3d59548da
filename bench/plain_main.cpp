// ostrel_bench_plain: the plain C loop as a whole program, for bench/compare.
//
//   ostrel_bench_plain encode RAW W H PALETTE OUT.pcx
//   ostrel_bench_plain decode IN.pcx OUT.raw
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/plain_loop.h"

int main(int argc, char** argv) {
    if (argc == 7 && std::strcmp(argv[1], "encode") == 0) {
        const int width = std::atoi(argv[3]);
        const int height = std::atoi(argv[4]);
        const size_t total = (size_t)width * height;
        uint8_t* pixels = (uint8_t*)std::malloc(total);
        uint8_t palette[768];
        FILE* in = std::fopen(argv[2], "rb");
        FILE* pal = std::fopen(argv[5], "rb");
        if (pixels == nullptr || in == nullptr || pal == nullptr ||
            std::fread(pixels, 1, total, in) != total || std::fread(palette, 1, 768, pal) != 768)
            return 1;
        std::fclose(in);
        std::fclose(pal);
        const int ok = bench::plain_encode(argv[6], width, height, pixels, palette);
        std::free(pixels);
        return ok ? 0 : 1;
    }
    if (argc == 4 && std::strcmp(argv[1], "decode") == 0) {
        int width = 0;
        int height = 0;
        uint8_t palette[768];
        uint8_t* pixels = bench::plain_decode(argv[2], &width, &height, palette);
        FILE* out = std::fopen(argv[3], "wb");
        if (pixels == nullptr || out == nullptr)
            return 1;
        const size_t total = (size_t)width * height;
        const int ok = std::fwrite(pixels, 1, total, out) == total;
        std::free(pixels);
        return std::fclose(out) == 0 && ok ? 0 : 1;
    }
    std::fprintf(stderr, "usage: ostrel_bench_plain encode RAW W H PALETTE OUT | decode IN OUT\n");
    return 2;
}
