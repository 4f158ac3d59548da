#include "picture/PICTURE.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "lib/GENERR.h"

namespace {

char reason[256] = "";

uint32_t rgb(const uint8_t* colour) {
    return uint32_t{colour[0]} << 16 | uint32_t{colour[1]} << 8 | colour[2];
}

// Pixels are visited row by row, so the first missing colour met is the
// first missing pixel.
void note_missing(colour_report& report, int32_t x, int32_t y, const uint8_t* colour) {
    if (report.missing++ == 0) {
        report.first_x = x;
        report.first_y = y;
        std::memcpy(report.first_colour, colour, 3);
    }
}

// The lowest index of each colour of the palette.
std::unordered_map<uint32_t, uint8_t> lowest_indices(const uint8_t* target) {
    std::unordered_map<uint32_t, uint8_t> lowest;
    for (int i = PICTURE::colour_count - 1; i >= 0; --i)
        lowest[rgb(target + 3 * i)] = static_cast<uint8_t>(i);
    return lowest;
}

constexpr int unmapped = -1;

int map_indices(const PICTURE& picture, const uint8_t* target, uint8_t* out,
                colour_report& report) {
    const size_t count = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    const uint8_t* const in = picture.pixels.get();
    // The usual case, a picture saved with the palette the export gave it:
    // every index keeps its place, whichever the picture uses, so the
    // pixels need not be looked at.
    if (std::memcmp(picture.palette, target, PICTURE::palette_size) == 0 &&
        std::find(picture.alpha, picture.alpha + PICTURE::colour_count, 0) ==
            picture.alpha + PICTURE::colour_count) {
        if (out != in)
            std::memcpy(out, in, count);
        return 1;
    }
    // Each index the picture uses, and the first pixel that uses it.
    size_t first_use[PICTURE::colour_count];
    bool used[PICTURE::colour_count] = {};
    for (size_t i = 0; i < count; ++i) {
        if (!used[in[i]]) {
            used[in[i]] = true;
            first_use[in[i]] = i;
        }
    }
    const std::unordered_map<uint32_t, uint8_t> lowest = lowest_indices(target);
    int mapping[PICTURE::colour_count];
    size_t first_missing = 0;
    for (int index = 0; index < PICTURE::colour_count; ++index) {
        mapping[index] = unmapped;
        if (!used[index])
            continue;
        ++report.colours;
        const uint8_t* colour = picture.palette + 3 * index;
        if (picture.alpha[index] == 0) {
            mapping[index] = 0;
        } else if (std::memcmp(colour, target + 3 * index, 3) == 0) {
            mapping[index] = index;
        } else {
            const auto found = lowest.find(rgb(colour));
            if (found != lowest.end())
                mapping[index] = found->second;
        }
        if (mapping[index] == unmapped) {
            // The first missing pixel is the earliest of all missing indices.
            if (report.missing == 0 || first_use[index] < first_missing)
                first_missing = first_use[index];
            ++report.missing;
        } else if (mapping[index] != index) {
            ++report.moved;
        }
    }
    if (report.missing > 0) {
        const auto width = static_cast<size_t>(picture.width);
        report.first_x = static_cast<int32_t>(first_missing % width);
        report.first_y = static_cast<int32_t>(first_missing / width);
        std::memcpy(report.first_colour, picture.palette + 3 * in[first_missing], 3);
        return 0;
    }
    if (report.moved == 0) {
        if (out != in)
            std::memcpy(out, in, count);
        return 1;
    }
    uint8_t table[PICTURE::colour_count];
    for (int index = 0; index < PICTURE::colour_count; ++index)
        table[index] = static_cast<uint8_t>(mapping[index] == unmapped ? 0 : mapping[index]);
    for (size_t i = 0; i < count; ++i)
        out[i] = table[in[i]];
    return 1;
}

int map_true_colours(const PICTURE& picture, const uint8_t* target, uint8_t* out,
                     colour_report& report) {
    const std::unordered_map<uint32_t, uint8_t> lowest = lowest_indices(target);
    std::unordered_set<uint32_t> seen;
    std::unordered_set<uint32_t> missing;
    const uint8_t* in = picture.pixels.get();
    // Neighbouring pixels are mostly alike: the last answer is kept.
    uint32_t last_colour = 0;
    int last_index = unmapped;
    bool have_last = false;
    for (int32_t y = 0; y < picture.height; ++y) {
        for (int32_t x = 0; x < picture.width; ++x, in += 4, ++out) {
            // Fully transparent pixels are the game's transparent index,
            // whatever colour a paint program left in them.
            const uint32_t colour = in[3] == 0 ? 0xFF000000u : rgb(in);
            if (!have_last || colour != last_colour) {
                have_last = true;
                last_colour = colour;
                if (seen.insert(colour).second)
                    ++report.colours;
                if (in[3] == 0) {
                    last_index = 0;
                } else {
                    const auto found = lowest.find(colour);
                    last_index = found != lowest.end() ? found->second : unmapped;
                }
                if (last_index == unmapped && missing.insert(colour).second)
                    note_missing(report, x, y, in);
            }
            if (last_index != unmapped)
                *out = static_cast<uint8_t>(last_index);
        }
    }
    report.moved = report.colours;
    return report.missing == 0 ? 1 : 0;
}


}  // namespace

void PICTURE::clear() {
    width = 0;
    height = 0;
    kind = picture_kind::bare_indices;
    pixels.reset();
    std::memset(palette, 0, sizeof palette);
    std::memset(alpha, 0, sizeof alpha);
    palette_entries = 0;
}

const char* picture_reason() {
    return reason;
}

void clear_picture_reason() {
    reason[0] = '\0';
}

int refuse_picture(uint32_t code, const char* format, ...) {
    err_code = code;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(reason, sizeof reason, format, arguments);
    va_end(arguments);
    return 0;
}

int map_colours(const PICTURE& picture, const uint8_t* target, bool raw, uint8_t* out,
                colour_report& report) {
    report = colour_report();
    if (picture.kind == picture_kind::true_colour) {
        if (raw)
            return refuse_picture(9, "It is a true-colour picture, which has no indices to take "
                                     "as they are; import it without /r, or save it as a "
                                     "256-colour picture.");
        return map_true_colours(picture, target, out, report) != 0 ? 1 : fail(9);
    }
    const size_t count = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    if (raw || picture.kind == picture_kind::bare_indices) {
        if (out != picture.pixels.get())
            std::memcpy(out, picture.pixels.get(), count);
        return 1;
    }
    return map_indices(picture, target, out, report) != 0 ? 1 : fail(9);
}
