// ostrel_bench_gen: writes the benchmark pictures as files, so that
// bench/compare feeds every tool exactly the bytes the microbenchmarks use.
//
//   ostrel_bench_gen pixels  KIND W H SEED OUT        raw indices, row by row
//   ostrel_bench_gen palette OUT                      768-byte palette file
//   ostrel_bench_gen texture KIND W H COUNT cmap|nocmap OUT
//   ostrel_bench_gen pcx     KIND W H SEED OUT        PCX as Ostrel writes it
//   ostrel_bench_gen stats   KIND W H                 run statistics
//   ostrel_bench_gen sources                          the photo kind's corpus files
//
// KIND is texture, dithered, photo, noise or flat. Without the shared corpus
// the photo kind prints a notice and exits with status 3, so callers can
// skip it.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/images.h"
#include "pcx/PCX.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: ostrel_bench_gen pixels KIND W H SEED OUT | palette OUT |\n"
                 "       texture KIND W H COUNT cmap|nocmap OUT | pcx KIND W H SEED OUT |\n"
                 "       stats KIND W H | sources\n"
                 "       (KIND: texture, dithered, photo, noise, flat)\n");
    return 2;
}

bool parse_number(const char* text, int& value, long low = 1, long high = 32767) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

// The lengths of the runs of equal pixels within the lines, as shares of
// all runs: 1, 2, 3, 4-7, 8-63 and 64 or more.
void print_run_lengths(const bench::bytes& pixels, int width) {
    const int bounds[] = {1, 2, 3, 4, 8, 64};
    const char* labels[] = {"1", "2", "3", "4-7", "8-63", "64+"};
    size_t counts[6] = {};
    size_t total = 0;
    for (size_t start = 0; start < pixels.size(); start += static_cast<size_t>(width)) {
        int x = 0;
        while (x < width) {
            int run = 1;
            while (x + run < width && pixels[start + x + run] == pixels[start + x])
                ++run;
            int bucket = 5;
            while (run < bounds[bucket])
                --bucket;
            ++counts[bucket];
            ++total;
            x += run;
        }
    }
    std::printf("  runs of");
    for (int i = 0; i < 6; ++i)
        std::printf(" %s: %.3f%s", labels[i], static_cast<double>(counts[i]) / total,
                    i < 5 ? "," : "\n");
}

// The photo kind without its corpus.
constexpr int status_no_corpus = 3;

int no_corpus() {
    std::fprintf(stderr, "%s\n", bench::photo_notice().c_str());
    return status_no_corpus;
}

int written(const std::string& path, const bench::bytes& data) {
    if (bench::write_file(path, data))
        return 0;
    std::perror(path.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    if (command == "sources" && argc == 2) {
        const std::vector<std::string> sources = bench::photo_sources();
        if (sources.empty())
            return no_corpus();
        for (const std::string& name : sources)
            std::printf("%s\n", name.c_str());
        return 0;
    }
    if (command == "palette" && argc == 3)
        return written(argv[2], bench::make_palette());

    bench::kind kind;
    int width = 0;
    int height = 0;
    if (argc < 5 || !bench::parse_kind(argv[2], kind) || !parse_number(argv[3], width) ||
        !parse_number(argv[4], height))
        return usage();
    if (kind == bench::kind::photo && bench::photo_sources().empty())
        return no_corpus();

    if (command == "stats" && argc == 5) {
        const bench::bytes pixels = bench::make_pixels(kind, width, height);
        std::printf(
            "%s %dx%d: runs of %.2f pixels on average, %.3f of the pixels in runs of 2 "
            "or more, %.3f at 0xC0 or above\n",
            bench::kind_name(kind), width, height, bench::mean_run(pixels, width),
            bench::run_share(pixels, width), bench::high_share(pixels));
        print_run_lengths(pixels, width);
        return 0;
    }
    if (argc != 7 && argc != 8)
        return usage();
    int number = 0;  // the seed, or the number of images
    if (!parse_number(argv[5], number, 0, 1000000))
        return usage();
    if (command == "pixels" && argc == 7)
        return written(argv[6], bench::make_pixels(kind, width, height, number));
    if (command == "texture" && argc == 8) {
        const std::string cmap = argv[6];
        if (cmap != "cmap" && cmap != "nocmap")
            return usage();
        return written(argv[7], bench::make_texture(kind, width, height, number, cmap == "cmap"));
    }
    if (command == "pcx" && argc == 7) {
        const bench::bytes pixels = bench::make_pixels(kind, width, height, number);
        const bench::bytes palette = bench::make_palette();
        PCX_IMAGE image;
        if (image.save_raw(argv[6], static_cast<int16_t>(width), static_cast<int16_t>(height),
                           pixels.data(), palette.data()))
            return 0;
        std::fprintf(stderr, "%s: not written\n", argv[6]);
        return 1;
    }
    return usage();
}
