#include "texture/FRAMES.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "lib/BYTEORDER.h"
#include "picture/PICTURE.h"

namespace frames {

namespace {

// Table entries in a table of height x frame_count (both checked positive).
uint64_t entry_count(int32_t height, int32_t frame_count) {
    return static_cast<uint64_t>(height) * static_cast<uint64_t>(frame_count);
}

const uint8_t* row_at(const uint8_t* data, uint64_t entry) {
    return data + get_le32(data + entry * entry_size);
}

}  // namespace

layout classify(int32_t width, int32_t height, int32_t frame_count, int32_t encoding,
                const uint8_t* data, uint32_t data_size, const char** why) {
    const char* reason = nullptr;
    if (encoding != encoding_row_table)
        return layout::plain;
    if (frame_count < 1 || frame_count > max_frames)
        reason = "its frame count is not between 1 and 64";
    else if (width < 1 || width > PICTURE::max_side || height < 1 || height > PICTURE::max_side)
        reason = "its width or height is not between 1 and 32767";
    else if (data == nullptr || entry_count(height, frame_count) * entry_size > data_size)
        reason = "its frame table is longer than its DATA";
    else {
        const uint64_t entries = entry_count(height, frame_count);
        for (uint64_t i = 0; i < entries && reason == nullptr; ++i) {
            if (uint64_t{get_le32(data + i * entry_size)} + static_cast<uint64_t>(width) >
                data_size)
                reason = "an entry of its frame table points past the end of its DATA";
        }
    }
    if (reason == nullptr)
        return layout::frame_table;
    if (why != nullptr)
        *why = reason;
    return layout::damaged;
}

void decode_strip(const uint8_t* data, int32_t width, int32_t height, int32_t frame_count,
                  uint8_t* strip) {
    const uint64_t entries = entry_count(height, frame_count);
    for (uint64_t i = 0; i < entries; ++i)
        std::memcpy(strip + i * static_cast<uint64_t>(width), row_at(data, i),
                    static_cast<size_t>(width));
}

bool strip_matches(const uint8_t* data, int32_t width, int32_t height, int32_t frame_count,
                   const uint8_t* strip) {
    const uint64_t entries = entry_count(height, frame_count);
    for (uint64_t i = 0; i < entries; ++i) {
        if (std::memcmp(strip + i * static_cast<uint64_t>(width), row_at(data, i),
                        static_cast<size_t>(width)) != 0)
            return false;
    }
    return true;
}

uint32_t tail_offset(const uint8_t* data, uint32_t data_size, int32_t width, int32_t height,
                     int32_t frame_count) {
    const uint64_t entries = entry_count(height, frame_count);
    uint64_t end = entries * entry_size;
    for (uint64_t i = 0; i < entries; ++i)
        end = std::max(end, uint64_t{get_le32(data + i * entry_size)} + static_cast<uint64_t>(width));
    return static_cast<uint32_t>(std::min<uint64_t>(end, data_size));
}

bool build(const uint8_t* strip, int32_t width, int32_t frame_height, int32_t frame_count,
           const uint8_t* tail, uint32_t tail_size, owned_ptr<uint8_t>& out, uint32_t& size) {
    if (strip == nullptr || width < 1 || frame_height < 1 || frame_count < 1)
        return false;
    const uint64_t entries = entry_count(frame_height, frame_count);
    const auto row_size = static_cast<size_t>(width);

    // First pass: where each row will go. A row equal to an earlier one
    // takes that row's offset.
    std::unordered_map<std::string_view, uint32_t> placed;
    placed.reserve(static_cast<size_t>(entries));
    uint64_t next = entries * entry_size;
    const uint64_t limit = UINT32_MAX;
    owned_ptr<uint8_t> offsets = create_bytes(static_cast<uint32_t>(entries * entry_size));
    for (uint64_t i = 0; i < entries; ++i) {
        const std::string_view row(reinterpret_cast<const char*>(strip + i * row_size), row_size);
        const auto found = placed.find(row);
        uint64_t offset;
        if (found != placed.end()) {
            offset = found->second;
        } else {
            offset = next;
            if (offset + row_size > limit)
                return false;
            placed.emplace(row, static_cast<uint32_t>(offset));
            next += row_size;
        }
        put_le32(offsets.get() + i * entry_size, static_cast<uint32_t>(offset));
    }
    if (next + tail_size > limit)
        return false;

    // Second pass: the table, the rows in the order they were placed, the tail.
    const auto total = static_cast<uint32_t>(next + tail_size);
    owned_ptr<uint8_t> made = create_bytes(total + 1);  // a spare byte, as put_picture gives
    uint8_t* const base = made.get();
    std::memcpy(base, offsets.get(), static_cast<size_t>(entries * entry_size));
    uint64_t written = entries * entry_size;
    for (uint64_t i = 0; i < entries; ++i) {
        const uint32_t offset = get_le32(base + i * entry_size);
        if (offset == written) {
            std::memcpy(base + written, strip + i * row_size, row_size);
            written += row_size;
        }
    }
    if (tail_size > 0)
        std::memcpy(base + written, tail, tail_size);
    out = std::move(made);
    size = total;
    return true;
}

}  // namespace frames
