// Binary fixtures built in code: texture files, PCX files and palettes, and
// a temporary directory per test. Shared by the unit and end-to-end tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace fixture {

using bytes = std::vector<uint8_t>;

void put_le16(bytes& out, uint16_t value);
void put_le32(bytes& out, uint32_t value);
void put_be32(bytes& out, uint32_t value);

struct record {
    std::string tag;  // 4 characters, written as they stand
    bytes content;
    // Written as the length field; defaults to content.size(). Lets a test
    // claim a length the content does not have.
    int64_t length_override = -1;
};

struct image {
    std::string name;  // up to 9 bytes, padded with NUL
    int32_t size = 0;
    std::vector<record> records;
};

// 26-byte bitmap header: fields 0 to 12, width and height at words 2 and 3.
bytes bhdr(int16_t width, int16_t height);
bytes ifhd();                                           // 44 bytes, first word 1
bytes cmap(uint8_t seed = 0);                           // 768 bytes, a recognisable ramp
bytes pixels(int width, int height, uint8_t seed = 0);  // row-major ramp

// An image with BHDR, optional IFHD and CMAP, DATA of width x height and
// "END "; size = DATA length + 100, so a change of the DATA length shows.
image simple_image(const std::string& name, int16_t width, int16_t height, bool with_cmap,
                   bool with_ifhd = true, uint8_t seed = 0);

// `img` as an import leaves it after it received a picture: BHDR width and
// height, DATA the pixels, and the size changed by the change of DATA length.
image with_picture(image img, int width, int height, const bytes& px);

// Animated images. The bitmap header of one: the test words, with the frame
// count at word 7 and the data encoding at word 12 (4: a frame table).
bytes animated_bhdr(int16_t width, int16_t height, int16_t frame_count, int16_t encoding = 4);
// "DATA" of a frame table image: the entries (offsets from the start of
// DATA, little-endian 32 bits), then `rows`, whose first byte is therefore at
// 4 * entries.size().
bytes frame_data(const std::vector<uint32_t>& entries, const bytes& rows);
// The frames a frame table describes, followed entry by entry: the strip of
// width x (height x frame_count) that the export writes.
bytes strip_of(const bytes& data, int width, int height, int frame_count);
// BHDR, IFHD, optional CMAP, DATA and "END "; size = DATA length + 100.
image animated_image(const std::string& name, int16_t width, int16_t height,
                     int16_t frame_count, const bytes& data, bool with_cmap = false,
                     uint8_t seed = 0);
// 3 frames of 5x4 whose rows are shared across frames and within a frame,
// a table not in row order, and 7 bytes behind the rows.
image sample_animated_image(const std::string& name, bool with_cmap = false);

bytes encode_image(const image& img);
// Images, then a terminator (9 bytes, first 0; the other 8 as given).
bytes texture_file(const std::vector<image>& images, const bytes& terminator = bytes(9, 0));

bytes palette(uint8_t seed = 0);  // 768 bytes
// 256 distinct colours (red i, green 255 - i, blue 7 i), so every colour
// has one index, as in an image's colour map.
bytes distinct_palette();
// `count` bytes from a Mersenne twister of `seed`.
bytes random_bytes(size_t count, uint32_t seed);

// A PCX file as the program writes it: default header, runs per line, 12,
// palette. bytes_per_line 0 means the width.
bytes pcx_file(int width, int height, const bytes& pixels, const bytes& palette768);

// A 997-byte PCX file whose header claims 32767 x 32767 (32767 bytes per
// line): a size its few bytes of data could never hold.
bytes hostile_pcx();

// A PCX file of any layout: `lines` holds height scan lines of planes x
// bytes_per_line bytes (plane after plane), encoded here run by run; the
// header's 16 colours from `header_colours` (48 bytes, or zeros); the
// marker and `vga` (768 bytes) behind the data unless `vga` is empty.
bytes pcx_layout_file(int width, int height, int bits, int planes, int bytes_per_line,
                      const bytes& lines, const bytes& header_colours, const bytes& vga);

// Files and directories.
void write_file(const std::string& path, const bytes& data);
bytes read_file(const std::string& path);
bool file_exists(const std::string& path);
// The names of the entries of a directory, sorted.
std::vector<std::string> names_in(const std::string& dir);

// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes away.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A read-write binary stream on a new file in a temporary directory of its
// own, closed and removed with the object. (std::tmpfile names its files in
// the drive's root on Windows, where parallel test processes collide.)
class scratch_stream {
public:
    scratch_stream();
    ~scratch_stream();
    scratch_stream(const scratch_stream&) = delete;
    scratch_stream& operator=(const scratch_stream&) = delete;
    FILE* get() const { return stream_; }

private:
    temp_dir dir_;
    FILE* stream_ = nullptr;
};

// Directory of the shared material (real PCX files), or "" when absent.
std::string shared_dir();

}  // namespace fixture
