// Paths, text-mode reading and the current directory on POSIX systems.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/PLATFORM.h"
#include "platform/posix/POSIXDETAIL.h"

namespace platform {

namespace posix {

std::string system_path(const char* path) {
    std::string converted(path);
    for (char& c : converted) {
        if (c == '\\')
            c = '/';
    }
    return converted;
}

}  // namespace posix

using posix::system_path;

char dir_separator() {
    return '/';
}

bool is_dir_separator(char c) {
    return c == '/' || c == '\\';
}

FILE* open_file(const char* name, const char* mode) {
    if (name == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // POSIX streams have no text mode; a 't' would make some C libraries
    // refuse the mode.
    char system_mode[8] = {};
    size_t length = 0;
    for (const char* m = mode; *m != '\0' && length < sizeof(system_mode) - 1; ++m) {
        if (*m != 't')
            system_mode[length++] = *m;
    }
    FILE* stream = std::fopen(system_path(name).c_str(), system_mode);
    // A directory opens for reading here but not on the tool's home system,
    // where reading it would fail anyway; refuse it at the door.
    struct stat info;
    if (stream != nullptr && fstat(fileno(stream), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(stream);
        errno = EISDIR;
        return nullptr;
    }
    return stream;
}

int getc_text(FILE* stream) {
    int c = std::getc(stream);
    if (c != '\r')
        return c;
    const int next = std::getc(stream);
    if (next == '\n')
        return '\n';
    if (next != EOF)
        std::ungetc(next, stream);
    return '\r';
}

int64_t bytes_left(FILE* stream) {
    if (stream == nullptr)
        return -1;
    struct stat info;
    if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    const off_t position = ftello(stream);
    if (position < 0)
        return -1;
    const int64_t left = static_cast<int64_t>(info.st_size) - position;
    return left < 0 ? 0 : left;
}

bool get_current_dir(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0)
        return false;
    return getcwd(buffer, size) != nullptr;
}

bool change_dir(const char* path) {
    if (path == nullptr)
        return false;
    return chdir(system_path(path).c_str()) == 0;
}

}  // namespace platform
