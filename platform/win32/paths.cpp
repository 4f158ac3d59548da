// Paths and streams on Windows: the backslash is the separator, and the C
// library's own text mode folds CR LF on reading and writes it on writing.

// The standard C functions used here are the platform's own; the Microsoft
// compiler's advice to use its _s variants does not apply.
#define _CRT_SECURE_NO_WARNINGS
#include <direct.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>

#include "platform/PLATFORM.h"

namespace platform {

char dir_separator() {
    return '\\';
}

// Only the backslash splits a path here; '/' and ':' matter only where a
// name is asked whether it has a directory at all.
bool is_dir_separator(char c) {
    return c == '\\';
}

// The mode goes to the C library unchanged: "rt" and "wt" are real text
// modes on this platform.
FILE* open_file(const char* name, const char* mode) {
    if (!name || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    return std::fopen(name, mode);
}

// A stream opened with "rt" has its CR LF pairs folded by the C library
// already; folding again would swallow a CR that stood alone before them.
int getc_text(FILE* stream) {
    return std::getc(stream);
}

int64_t bytes_left(FILE* stream) {
    if (!stream)
        return -1;
    struct _stat64 info;
    if (_fstat64(_fileno(stream), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG)
        return -1;
    const int64_t position = _ftelli64(stream);
    if (position < 0)
        return -1;
    return position >= info.st_size ? 0 : info.st_size - position;
}

bool get_current_dir(char* buffer, size_t size) {
    if (!buffer || size == 0)
        return false;
    // _getcwd takes an int and refuses a buffer the directory does not fit.
    const int limit = size > 32767 ? 32767 : static_cast<int>(size);
    if (_getcwd(buffer, limit) != nullptr)
        return true;
    buffer[0] = '\0';
    return false;
}

bool change_dir(const char* path) {
    return path && path[0] != '\0' && _chdir(path) == 0;
}

}  // namespace platform
