// Deterministic test pictures and texture files for the benchmarks and for
// bench/compare, which gets the same bytes through ostrel_bench_gen.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using bytes = std::vector<uint8_t>;

// texture: smooth shaded stretches mixed with runs, about half of the bytes
//          in runs of 2 or more and a quarter of them 0xC0 or above, as in
//          the game's own textures;
// noise:   every byte random (hardly a run, a quarter needs escaping);
// flat:    one colour (only full runs of 63).
enum class kind { texture, noise, flat };

const char* kind_name(kind k);
bool parse_kind(const std::string& text, kind& k);

// width x height palette indices, row by row. The same arguments always give
// the same bytes; `seed` tells images of one archive apart.
bytes make_pixels(kind k, int width, int height, uint32_t seed = 0);

// 256 distinct colours, so a picture decoded to RGB still tells its indices.
bytes make_palette();

// A texture file of `count` images of width x height (image i drawn with
// seed i), each with BHDR, IFHD, an optional CMAP, DATA and "END ", then the
// terminator.
bytes make_texture(kind k, int width, int height, int count, bool with_cmap);

// Share of the pixels that lie in runs of two or more within a line, and of
// those that are 0xC0 or above: the figures the kinds are described by.
double run_share(const bytes& pixels, int width);
double high_share(const bytes& pixels);

bool write_file(const std::string& path, const bytes& data);

}  // namespace bench
