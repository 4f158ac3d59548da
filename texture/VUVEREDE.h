// VUVEREDE: texture files of the game ("TEXBSI.###").
//
// A file is a run of images and a 9-byte terminator (a name whose first byte
// is 0). An image is a 9-byte name, a 32-bit little-endian size and up to 10
// sub-records, the last one tagged "END ". A sub-record is a 4-byte tag, a
// 32-bit big-endian length and that many content bytes. Every byte the
// program does not interpret is carried unchanged from reading to writing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "lib/GENMEM.h"
#include "pcx/PCX.h"

// Error codes of the texture module, added to err_table at start-up.
enum : uint32_t {
    ERR_BHDR_SIZE = 1001,
    ERR_IFHD_SIZE = 1002,
    ERR_CMAP_SIZE = 1003,
    ERR_PALETTE_FORMAT = 1004,
    ERR_ZERO_SIZE_IMAGE = 1005,
    ERR_NO_RECORD = 1006,
};

// Raw content: "DATA", "END " and every tag without a class of its own.
class TEX_CONTENT {
public:
    TEX_CONTENT() = default;
    virtual ~TEX_CONTENT() = default;
    TEX_CONTENT(const TEX_CONTENT&) = delete;
    TEX_CONTENT& operator=(const TEX_CONTENT&) = delete;

    virtual void clear();
    virtual int dump();
    virtual int read(FILE* file, uint32_t length);
    virtual int write(FILE* file, uint32_t length);

    owned_ptr<uint8_t> data;
    uint32_t data_size = 0;  // bytes that `data` holds
};

// Bitmap header: 13 signed 16-bit little-endian words, 26 bytes.
class TEX_BHDR : public TEX_CONTENT {
public:
    static constexpr uint32_t content_size = 26;

    void clear() override;
    int dump() override;
    int read(FILE* file, uint32_t length) override;
    int write(FILE* file, uint32_t length) override;

    // The words that describe the pixel data, by their meaning (see
    // texture/FRAMES.h): 1 for a still image, up to 64 for an animated one.
    int32_t frame_count() const { return field_7; }
    int32_t data_encoding() const { return field_12; }

    int16_t field_0 = 0, field_1 = 0, width = 0, height = 0, field_4 = 0, field_5 = 0,
            field_6 = 0, field_7 = 0, field_8 = 65, field_9 = 0, field_10 = 0,
            field_11 = 256, field_12 = 0;
};

// IFHD block: 44 bytes kept as they are.
class TEX_IFHD : public TEX_CONTENT {
public:
    static constexpr uint32_t content_size = 44;

    TEX_IFHD() { clear(); }
    void clear() override;
    int dump() override;
    int read(FILE* file, uint32_t length) override;
    int write(FILE* file, uint32_t length) override;

    uint8_t block[content_size] = {};
};

// Colour map: 256 entries of red, green, blue.
class TEX_CMAP : public TEX_CONTENT {
public:
    static constexpr uint32_t content_size = 768;

    void clear() override;
    int dump() override;
    int read(FILE* file, uint32_t length) override;
    int write(FILE* file, uint32_t length) override;

    uint8_t colors[content_size] = {};
};

class TEX_RECORD {
public:
    TEX_RECORD() = default;
    ~TEX_RECORD() { free(); }
    TEX_RECORD(const TEX_RECORD&) = delete;
    TEX_RECORD& operator=(const TEX_RECORD&) = delete;

    int read_header(FILE* file);
    int read(FILE* file);
    int write_header(FILE* file);
    int write(FILE* file);
    void free();
    int dump();
    bool is_end() const;

    char tag[5] = {};
    uint32_t length = 0;
    std::unique_ptr<TEX_CONTENT> content;  // null when length is 0
};

// The picture of one image as the image writers take it: a still image's
// pixels straight from its "DATA", an animated image's frames as one strip
// of width x (height x frames), frame 0 at the top.
struct TEX_PICTURE {
    int32_t width = 0;
    int32_t height = 0;  // of the whole strip
    int32_t frames = 1;
    const uint8_t* pixels = nullptr;  // borrowed from the image, or `strip`
    const uint8_t* palette = nullptr;
    owned_ptr<uint8_t> strip;
};

class TEX_IMAGE {
public:
    static constexpr int max_records = 10;
    static constexpr int name_size = 9;

    TEX_IMAGE() = default;
    ~TEX_IMAGE() { free(); }
    TEX_IMAGE(const TEX_IMAGE&) = delete;
    TEX_IMAGE& operator=(const TEX_IMAGE&) = delete;

    int read(FILE* file);
    int write(FILE* file);
    void free();
    int dump();

    bool is_terminator() const { return name[0] == '\0'; }
    int32_t find_record(const char* tag);  // index, or -1 with code 1006
    int32_t get_width();
    int32_t get_height();
    // Frames of a frame table image, 1 for any other image.
    int32_t get_frames();
    // The length of the "DATA" the export reads (the last one of that exact
    // tag), or -1 when the image has none.
    int64_t get_data_length() const;
    // An animated image takes a strip of its frame count; its frames may
    // get a new size. A refusal leaves the image as it was and gives its
    // reason in picture_reason().
    int put_picture(int32_t width, int32_t height, const uint8_t* pixels);
    // The picture the export writes, with the image's own colour map where it
    // has one, else `palette`; 0 with code 1005 when there is none to write.
    int get_picture(TEX_PICTURE& picture, const uint8_t* palette);
    // The palette the game shows the image in: its own colour map where it
    // has one, else `palette` (the palette file's).
    const uint8_t* get_palette(const uint8_t* palette);
    int save_pcx(const char* path, const uint8_t* palette);

    char name[name_size + 1] = {};  // 9 bytes as read, then a NUL
    int32_t size = 0;
    TEX_RECORD records[max_records];
    int32_t record_count = 0;

private:
    int put_frames(TEX_RECORD& data_record, TEX_BHDR& header, int32_t width, int32_t height,
                   const uint8_t* pixels);
    void set_data_length(TEX_RECORD& data_record, uint32_t length);
};

struct file_hold;

class TEX_IMAGE_LIST {
public:
    static constexpr int max_images = 100;

    constexpr TEX_IMAGE_LIST() = default;
    ~TEX_IMAGE_LIST() { free(); }
    TEX_IMAGE_LIST(const TEX_IMAGE_LIST&) = delete;
    TEX_IMAGE_LIST& operator=(const TEX_IMAGE_LIST&) = delete;

    int load(const char* path);
    // `hold`: the file was held for this update (hold_for_update); it is
    // then replaced only if it is still the file that was read.
    int save(const char* path, file_hold* hold = nullptr);
    void free();
    int dump();
    int put_picture(int32_t index, int32_t width, int32_t height, const uint8_t* pixels);
    int32_t get_width(int32_t index);
    int32_t get_height(int32_t index);

    std::unique_ptr<TEX_IMAGE> images[max_images];
    int32_t image_count = 0;
};

// The module's scratch PCX object, used only by TEX_IMAGE::save_pcx.
extern PCX_IMAGE texture_pcx;

// A new 768-byte palette owned by the caller (release with std::free /
// owned_ptr), or nullptr. 768 bytes: the palette; 776: an 8-byte header,
// then the palette; any other size: logged, the first 768 bytes.
uint8_t* load_palette(const char* path);
