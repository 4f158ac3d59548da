// PNG save and load (png/PNG.h) beside the PCX road's (PCX_IMAGE), on the
// pictures of bench/images.h at 256 and 2048 pixels square, so that the
// ratio of the two formats is visible. Every figure is bytes of pixel data
// per second; "file_bytes" is the size of the file written.
//
//   png_encode / pcx_encode   png_save / PCX_IMAGE::save_raw into a new file
//                             (the old one is removed outside the timing)
//   png_decode / pcx_decode   png_load / PCX_IMAGE::load of that file
//
// Run: build-bench/bench/ostrel_png_bench [--benchmark_filter=REGEX]
// Files go to a fresh directory under the system's temporary directory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/images.h"
#include "pcx/PCX.h"
#include "picture/PICTURE.h"
#include "png/PNG.h"

namespace {

using bench::bytes;
using bench::kind;

const bytes& palette() {
    return bench::shared_palette();
}

std::string name_of(const char* what, kind k, int side) {
    return std::string(bench::kind_name(k)) + "-" + std::to_string(side) + "-" + what;
}

void count(benchmark::State& state, int side, const std::string& file) {
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(side) * side);
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    state.counters["file_bytes"] = error ? 0.0 : static_cast<double>(size);
}

bool save(bool png, const std::string& path, int side, const bytes& pixels) {
    if (png)
        return png_save(path.c_str(), side, side, pixels.data(), palette().data()) == 1;
    PCX_IMAGE image;
    return image.save_raw(path.c_str(), static_cast<int16_t>(side), static_cast<int16_t>(side),
                          pixels.data(), palette().data()) == 1;
}

void encode(benchmark::State& state, bool png, kind k, int side) {
    const bytes pixels = bench::make_pixels(k, side, side);
    const std::string path = bench::scratch_file(name_of(png ? "out.png" : "out.pcx", k, side));
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(path.c_str());
        state.ResumeTiming();
        if (!save(png, path, side, pixels))
            state.SkipWithError("save failed");
    }
    count(state, side, path);
    std::remove(path.c_str());
}

void decode(benchmark::State& state, bool png, kind k, int side) {
    const bytes pixels = bench::make_pixels(k, side, side);
    const std::string path = bench::scratch_file(name_of(png ? "in.png" : "in.pcx", k, side));
    if (!save(png, path, side, pixels)) {
        state.SkipWithError("save failed");
        return;
    }
    PICTURE picture;
    PCX_IMAGE image;
    for (auto _ : state) {
        const bool loaded =
            png ? png_load(path.c_str(), picture) == 1 : image.load(path.c_str()) == 1;
        if (!loaded)
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(png ? picture.pixels.get() : image.pixels);
    }
    count(state, side, path);
    std::remove(path.c_str());
}

void register_all() {
    const kind kinds[] = {kind::texture, kind::noise, kind::flat};
    for (int side : {256, 2048}) {
        for (kind k : kinds) {
            const std::string suffix =
                std::string("/") + bench::kind_name(k) + "/" + std::to_string(side);
            for (bool png : {true, false}) {
                const std::string format = png ? "png" : "pcx";
                benchmark::RegisterBenchmark((format + "_encode" + suffix).c_str(), encode, png, k,
                                             side)
                    ->Unit(benchmark::kMillisecond);
                benchmark::RegisterBenchmark((format + "_decode" + suffix).c_str(), decode, png, k,
                                             side)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!png_supported()) {
        std::fprintf(stderr,
                     "ostrel_png_bench: this build has no PNG support (libpng not found)\n");
        return 1;
    }
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
