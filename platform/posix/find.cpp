// Directory search by pattern on POSIX systems: opendir, readdir, fnmatch.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <string>

#include "platform/PLATFORM.h"
#include "platform/posix/POSIXDETAIL.h"

namespace platform {

namespace {

// One search at a time, as the C library of the tool's home system keeps
// it. Plain arrays, so the state needs no constructor to run.
DIR* search_dir = nullptr;
char search_dir_path[PATH_MAX + 1] = {};
char search_pattern[PATH_MAX + 1] = {};

void close_search() {
    if (search_dir != nullptr)
        closedir(search_dir);
    search_dir = nullptr;
}

bool copy_limited(char* destination, size_t capacity, const std::string& source) {
    if (source.size() >= capacity)
        return false;
    std::memcpy(destination, source.c_str(), source.size() + 1);
    return true;
}

void fill_record(const char* name, find_record* record) {
    *record = find_record{};
    std::strncpy(record->name, name, sizeof(record->name) - 1);
    const std::string full = std::string(search_dir_path) + "/" + name;
    struct stat info;
    if (stat(full.c_str(), &info) != 0)
        return;
    if (S_ISDIR(info.st_mode))
        record->attrib = attrib_directory;
    record->time_access = static_cast<int64_t>(info.st_atime);
    record->time_write = static_cast<int64_t>(info.st_mtime);
    // The record's size field is 32 bits wide; larger files show the
    // largest value rather than a wrapped one.
    const auto size = static_cast<unsigned long long>(info.st_size);
    record->size = size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
}

int next_match(find_record* record) {
    if (search_dir == nullptr)
        return -1;
    while (const dirent* entry = readdir(search_dir)) {
        if (fnmatch(search_pattern, entry->d_name, FNM_PERIOD) == 0) {
            fill_record(entry->d_name, record);
            return 0;
        }
    }
    return -1;
}

}  // namespace

int find_first(const char* pattern, find_record* record) {
    close_search();
    if (pattern == nullptr || record == nullptr || pattern[0] == '\0')
        return -1;

    const std::string path = posix::system_path(pattern);
    std::string directory = ".";
    std::string name = path;
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) {
        directory = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
    // "*.*" matches every name on the tool's home system, names without a
    // dot included.
    if (name == "*.*")
        name = "*";
    if (name.empty())
        return -1;
    if (!copy_limited(search_dir_path, sizeof(search_dir_path), directory) ||
        !copy_limited(search_pattern, sizeof(search_pattern), name)) {
        return -1;
    }

    search_dir = opendir(search_dir_path);
    if (search_dir == nullptr)
        return -1;
    if (next_match(record) != 0) {
        close_search();
        return -1;
    }
    return 0;
}

int find_next(find_record* record) {
    if (record == nullptr)
        return -1;
    return next_match(record);
}

int find_close() {
    if (search_dir == nullptr)
        return -1;
    const int result = closedir(search_dir);
    search_dir = nullptr;
    return result == 0 ? 0 : -1;
}

}  // namespace platform
