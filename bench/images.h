// Deterministic test pictures and texture files for the benchmarks and for
// bench/compare, which gets the same bytes through ostrel_bench_gen.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using bytes = std::vector<uint8_t>;

// texture:  smooth shaded stretches mixed with runs, about half of the bytes
//           in runs of 2 or more and a quarter of them 0xC0 or above, as in
//           the game's own textures;
// dithered: a painted texture, shaded with grain and ordered dithering
//           (see dithered_pixel in images.cpp): runs of 1.4 pixels on
//           average, a quarter of the bytes 0xC0 or above;
// photo:    the 8-bit photographs and drawings of ../shared/corpus/pcx/,
//           decoded by PCX_IMAGE::load and tiled (empty where the corpus is
//           absent: see photo_sources);
// noise:    every byte random (hardly a run, a quarter needs escaping);
// flat:     one colour (only full runs of 63).
// (The numbers seed the random pictures: the older kinds keep theirs.)
enum class kind { texture = 0, noise = 1, flat = 2, dithered = 3, photo = 4 };

// Every kind, in the order the benchmarks and their tables show them.
constexpr kind all_kinds[] = {kind::texture, kind::dithered, kind::photo, kind::noise, kind::flat};

const char* kind_name(kind k);
bool parse_kind(const std::string& text, kind& k);

// width x height palette indices, row by row. The same arguments always give
// the same bytes; `seed` tells images of one archive apart. Empty for the
// photo kind where the corpus is absent.
bytes make_pixels(kind k, int width, int height, uint32_t seed = 0);

// The corpus files the photo kind is tiled from (file names, largest
// first), or a notice saying why there are none.
std::vector<std::string> photo_sources();
std::string photo_notice();

// 256 distinct colours, so a picture decoded to RGB still tells its indices.
bytes make_palette();

// A texture file of `count` images of width x height (image i drawn with
// seed i), each with BHDR, IFHD, an optional CMAP, DATA and "END ", then the
// terminator.
bytes make_texture(kind k, int width, int height, int count, bool with_cmap);

// Share of the pixels that lie in runs of two or more within a line, the
// mean length of the runs of equal pixels within a line (a lone pixel is a
// run of 1; runs are not cut at 63), and the share of pixels that are 0xC0
// or above: the figures the kinds are described by.
double run_share(const bytes& pixels, int width);
double mean_run(const bytes& pixels, int width);
double high_share(const bytes& pixels);

bool write_file(const std::string& path, const bytes& data);

// `name` in a directory of this benchmark process, made on first use and
// removed with its files at exit.
std::string scratch_file(const std::string& name);

// make_palette(), made once.
const bytes& shared_palette();

}  // namespace bench
