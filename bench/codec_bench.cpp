// Microbenchmarks of the PCX codec and the texture file paths, on the
// pictures of bench/images.h at 256, 2048 and 8192 pixels square, every
// codec benchmark on every kind (texture, dithered, photo, noise, flat; the
// photo kind is left out with a notice where ../shared is absent). Every
// figure is bytes of pixel data per second.
//
//   pcx_encode        PCX_IMAGE::save_raw into a new file (the old one is
//                     removed outside the timing)
//   pcx_encode_overwrite  the same over an existing file
//   pcx_decode        PCX_IMAGE::load
//   plain_encode/decode   the plain C loop, one stdio call per byte
//   rle_encode/decode     the run-length code alone, memory to memory, fast
//   rle_*_baseline        its build for every processor of the kind (SSE2 on
//                         x86-64); rle_* is the widest the processor runs
//                         (AVX2 where it has it)
//   rle_*_portable        its build of plain 64-bit words
//   rle_*_reference       and the plain rules it implements
//   rle_decode*_padded    lines of 2047 pixels and one byte of padding
//   rle_*_width           narrow pictures of about 1 MiB, widths 1 to 300
//   texture_load/save TEX_IMAGE_LIST::load and ::save (the safe replacement,
//                     fsync included) of a file holding one such picture
//   put_picture       TEX_IMAGE_LIST::put_picture
//
// Run: build-bench/bench/ostrel_bench [--benchmark_filter=REGEX]
// Files go to a fresh directory under the system's temporary directory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bench/images.h"
#include "bench/plain_loop.h"
#include "pcx/PCX.h"
#include "pcx/PCXRLE.h"
#include "texture/VUVEREDE.h"

namespace {

using bench::bytes;
using bench::kind;

const bytes& palette() {
    return bench::shared_palette();
}

const bytes& pixels(kind k, int width, int height) {
    static std::map<std::tuple<kind, int, int>, bytes> cache;
    auto found = cache.find({k, width, height});
    if (found == cache.end())
        found =
            cache.emplace(std::make_tuple(k, width, height), bench::make_pixels(k, width, height))
                .first;
    return found->second;
}

const bytes& pixels(kind k, int side) {
    return pixels(k, side, side);
}

std::string name_of(const char* what, kind k, int side) {
    return std::string(bench::kind_name(k)) + "-" + std::to_string(side) + "-" + what;
}

// The picture as Ostrel writes it, for the readers.
const std::string& pcx_file(kind k, int side) {
    static std::map<std::pair<kind, int>, std::string> made;
    auto found = made.find({k, side});
    if (found == made.end()) {
        const std::string path = bench::scratch_file(name_of("in.pcx", k, side));
        PCX_IMAGE writer;
        writer.save_raw(path.c_str(), static_cast<int16_t>(side), static_cast<int16_t>(side),
                        pixels(k, side).data(), palette().data());
        found = made.emplace(std::make_pair(k, side), path).first;
    }
    return found->second;
}

const std::string& texture_file(int side) {
    static std::map<int, std::string> made;
    auto found = made.find(side);
    if (found == made.end()) {
        const std::string path = bench::scratch_file(name_of("TEXBSI.000", kind::texture, side));
        bench::write_file(path, bench::make_texture(kind::texture, side, side, 1, true));
        found = made.emplace(side, path).first;
    }
    return found->second;
}

void count_pixels(benchmark::State& state, int side) {
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(side) * side);
}

void pcx_encode(benchmark::State& state, kind k, int side, bool overwrite) {
    const bytes& source = pixels(k, side);
    const std::string path = bench::scratch_file(name_of("out.pcx", k, side));
    PCX_IMAGE image;
    for (auto _ : state) {
        if (!overwrite) {
            state.PauseTiming();
            std::remove(path.c_str());
            state.ResumeTiming();
        }
        if (!image.save_raw(path.c_str(), static_cast<int16_t>(side), static_cast<int16_t>(side),
                            source.data(), palette().data()))
            state.SkipWithError("save_raw failed");
    }
    count_pixels(state, side);
    std::remove(path.c_str());
}

void pcx_decode(benchmark::State& state, kind k, int side) {
    const std::string& path = pcx_file(k, side);
    PCX_IMAGE image;
    for (auto _ : state) {
        if (!image.load(path.c_str()))
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(image.pixels);
    }
    count_pixels(state, side);
}

void plain_encode(benchmark::State& state, kind k, int side) {
    const bytes& source = pixels(k, side);
    const std::string path = bench::scratch_file(name_of("plain.pcx", k, side));
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(path.c_str());
        state.ResumeTiming();
        if (!bench::plain_encode(path.c_str(), side, side, source.data(), palette().data()))
            state.SkipWithError("plain_encode failed");
    }
    count_pixels(state, side);
    std::remove(path.c_str());
}

void plain_decode(benchmark::State& state, kind k, int side) {
    const std::string& path = pcx_file(k, side);
    uint8_t colours[768];
    for (auto _ : state) {
        int width = 0;
        int height = 0;
        uint8_t* decoded = bench::plain_decode(path.c_str(), &width, &height, colours);
        if (decoded == nullptr)
            state.SkipWithError("plain_decode failed");
        benchmark::DoNotOptimize(decoded);
        std::free(decoded);
    }
    count_pixels(state, side);
}

using line_encoder = size_t (*)(const uint8_t*, uint32_t, uint8_t*);

// PCX_IMAGE's call, without a wrapper that the plain rules would not pay.
const line_encoder encode_best = &pcx_rle::encode_line;

size_t encode_baseline(const uint8_t* line, uint32_t width, uint8_t* out) {
    return pcx_rle::encode_line(line, width, out, pcx_rle::code_path::baseline);
}

size_t encode_portable(const uint8_t* line, uint32_t width, uint8_t* out) {
    return pcx_rle::encode_line(line, width, out, pcx_rle::code_path::portable);
}

enum class decoding { best, baseline, portable, reference };

// Lines of `width` pixels, `padding` bytes more in the stream.
struct shape {
    int width;
    int height;
    int padding = 0;
};

void rle_encode(benchmark::State& state, kind k, shape s, line_encoder encode) {
    const bytes& source = pixels(k, s.width, s.height);
    bytes out(2 * source.size());
    for (auto _ : state) {
        size_t used = 0;
        for (int y = 0; y < s.height; ++y)
            used += encode(source.data() + static_cast<size_t>(y) * s.width,
                           static_cast<uint32_t>(s.width), out.data() + used);
        benchmark::DoNotOptimize(used);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(source.size()));
}

// The stream as a writer with padding makes it: the padding bytes repeat
// each line's last pixel.
bytes encoded(kind k, shape s) {
    const bytes& source = pixels(k, s.width, s.height);
    const size_t length = static_cast<size_t>(s.width + s.padding);
    bytes line(length);
    bytes out(2 * length * s.height);
    size_t used = 0;
    for (int y = 0; y < s.height; ++y) {
        const uint8_t* from = source.data() + static_cast<size_t>(y) * s.width;
        std::memcpy(line.data(), from, s.width);
        std::memset(line.data() + s.width, from[s.width - 1], s.padding);
        used += pcx_rle::encode_line(line.data(), static_cast<uint32_t>(length), out.data() + used);
    }
    out.resize(used);
    return out;
}

void rle_decode(benchmark::State& state, kind k, shape s, decoding how) {
    const bytes stream = encoded(k, s);
    const bytes& source = pixels(k, s.width, s.height);
    bytes out(source.size());
    const uint32_t width = static_cast<uint32_t>(s.width);
    const uint32_t height = static_cast<uint32_t>(s.height);
    const uint32_t line = width + static_cast<uint32_t>(s.padding);
    for (auto _ : state) {
        if (how == decoding::reference) {
            pcx_rle::decode_reference(stream.data(), stream.size(), out.data(), width, height,
                                      line);
        } else {
            const pcx_rle::code_path path = how == decoding::portable ? pcx_rle::code_path::portable
                                            : how == decoding::baseline
                                                ? pcx_rle::code_path::baseline
                                                : pcx_rle::code_path::best;
            pcx_rle::decoder decoder(out.data(), width, height, line, path);
            decoder.feed(stream.data(), stream.size());
            decoder.finish();
        }
        benchmark::ClobberMemory();
    }
    if (out != source)
        state.SkipWithError("decoded picture differs");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(source.size()));
}

void texture_load(benchmark::State& state, int side) {
    const std::string& path = texture_file(side);
    TEX_IMAGE_LIST list;
    for (auto _ : state) {
        if (!list.load(path.c_str()))
            state.SkipWithError("load failed");
    }
    count_pixels(state, side);
}

void texture_save(benchmark::State& state, int side) {
    TEX_IMAGE_LIST list;
    if (!list.load(texture_file(side).c_str())) {
        state.SkipWithError("load failed");
        return;
    }
    const std::string path = bench::scratch_file(name_of("saved.000", kind::texture, side));
    for (auto _ : state) {
        if (!list.save(path.c_str()))
            state.SkipWithError("save failed");
    }
    count_pixels(state, side);
    std::remove(path.c_str());
}

void put_picture(benchmark::State& state, int side) {
    TEX_IMAGE_LIST list;
    if (!list.load(texture_file(side).c_str())) {
        state.SkipWithError("load failed");
        return;
    }
    const bytes& picture = pixels(kind::noise, side);
    for (auto _ : state) {
        if (!list.put_picture(0, side, side, picture.data()))
            state.SkipWithError("put_picture failed");
    }
    count_pixels(state, side);
}

void register_all() {
    const std::string notice = bench::photo_notice();
    if (!notice.empty())
        std::fprintf(stderr, "%s\n", notice.c_str());
    const int sides[] = {256, 2048, 8192};
    for (int side : sides) {
        for (kind k : bench::all_kinds) {
            if (k == kind::photo && !notice.empty())
                continue;
            const std::string suffix =
                std::string("/") + bench::kind_name(k) + "/" + std::to_string(side);
            benchmark::RegisterBenchmark(("pcx_encode" + suffix).c_str(), pcx_encode, k, side,
                                         false);
            benchmark::RegisterBenchmark(("pcx_decode" + suffix).c_str(), pcx_decode, k, side);
            benchmark::RegisterBenchmark(("plain_encode" + suffix).c_str(), plain_encode, k, side);
            benchmark::RegisterBenchmark(("plain_decode" + suffix).c_str(), plain_decode, k, side);
            const std::pair<const char*, line_encoder> encoders[] = {
                {"rle_encode", encode_best},
                {"rle_encode_baseline", &encode_baseline},
                {"rle_encode_portable", &encode_portable},
                {"rle_encode_reference", &pcx_rle::encode_line_reference}};
            for (const auto& [name, encoder] : encoders)
                benchmark::RegisterBenchmark((name + suffix).c_str(), rle_encode, k,
                                             shape{side, side}, encoder);
            const std::pair<const char*, decoding> decoders[] = {
                {"rle_decode", decoding::best},
                {"rle_decode_baseline", decoding::baseline},
                {"rle_decode_portable", decoding::portable},
                {"rle_decode_reference", decoding::reference}};
            for (const auto& [name, how] : decoders)
                benchmark::RegisterBenchmark((name + suffix).c_str(), rle_decode, k,
                                             shape{side, side}, how);
            if (side == 2048) {
                // Odd lines with one byte of padding: the decoder's line buffer.
                for (const auto& [name, how] : decoders)
                    benchmark::RegisterBenchmark((std::string(name) + "_padded" + suffix).c_str(),
                                                 rle_decode, k, shape{side - 1, side, 1}, how);
            }
        }
        const std::string suffix = "/texture/" + std::to_string(side);
        benchmark::RegisterBenchmark(("texture_load" + suffix).c_str(), texture_load, side);
        benchmark::RegisterBenchmark(("texture_save" + suffix).c_str(), texture_save, side);
        benchmark::RegisterBenchmark(("put_picture" + suffix).c_str(), put_picture, side);
    }
    benchmark::RegisterBenchmark("pcx_encode_overwrite/texture/2048", pcx_encode, kind::texture,
                                 2048, true);

    // Narrow pictures of about 1 MiB, where the fast code's set-up per line
    // could cost more than it saves: rle_*_width/KIND/WIDTH.
    for (kind k : bench::all_kinds) {
        if (k == kind::photo && !notice.empty())
            continue;
        for (int width : {1, 2, 3, 5, 8, 13, 31, 32, 40, 48, 64, 65, 71, 100, 300}) {
            const shape s{width, (1 << 20) / width};
            const std::string suffix =
                std::string("/") + bench::kind_name(k) + "/" + std::to_string(width);
            benchmark::RegisterBenchmark(("rle_encode_width" + suffix).c_str(), rle_encode, k, s,
                                         encode_best);
            benchmark::RegisterBenchmark(("rle_encode_reference_width" + suffix).c_str(),
                                         rle_encode, k, s, &pcx_rle::encode_line_reference);
            benchmark::RegisterBenchmark(("rle_decode_width" + suffix).c_str(), rle_decode, k, s,
                                         decoding::best);
            benchmark::RegisterBenchmark(("rle_decode_reference_width" + suffix).c_str(),
                                         rle_decode, k, s, decoding::reference);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
