// Directory search by pattern on Windows: the C library's _findfirst family,
// which keeps the one process-wide search the tool expects.
#include <io.h>

#include <cstdint>
#include <cstring>

#include "platform/PLATFORM.h"

namespace platform {

namespace {

constexpr intptr_t no_search = -1;
intptr_t search = no_search;

void fill_record(const struct __finddata64_t& data, find_record* record) {
    *record = find_record{};
    record->attrib = static_cast<uint32_t>(data.attrib);
    record->time_create = static_cast<int64_t>(data.time_create);
    record->time_access = static_cast<int64_t>(data.time_access);
    record->time_write = static_cast<int64_t>(data.time_write);
    // The record's size field is 32 bits wide; larger files show the
    // largest value rather than a wrapped one.
    const auto size = static_cast<unsigned long long>(data.size);
    record->size = size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
    static_assert(sizeof(record->name) == sizeof(data.name), "find record name field");
    std::memcpy(record->name, data.name, sizeof(record->name));
    record->name[sizeof(record->name) - 1] = '\0';
}

}  // namespace

int find_first(const char* pattern, find_record* record) {
    // A new search abandons the open one, as the C library's handle would
    // otherwise be lost.
    if (search != no_search)
        find_close();
    if (pattern == nullptr || record == nullptr || pattern[0] == '\0')
        return -1;
    struct __finddata64_t data;
    const intptr_t handle = _findfirst64(pattern, &data);
    if (handle == no_search)
        return -1;
    search = handle;
    fill_record(data, record);
    return 0;
}

int find_next(find_record* record) {
    if (search == no_search || record == nullptr)
        return -1;
    struct __finddata64_t data;
    if (_findnext64(search, &data) != 0)
        return -1;
    fill_record(data, record);
    return 0;
}

int find_close() {
    if (search == no_search)
        return -1;
    const int result = _findclose(search);
    search = no_search;
    return result == 0 ? 0 : -1;
}

}  // namespace platform
