#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "frontend/OSTREL.h"
#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "texture/VUVEREDE.h"

namespace fuzz {
namespace {

namespace fs = std::filesystem;

constexpr size_t name_size = 9;
constexpr int max_records = 10;
constexpr int max_entries = 100;  // images and the terminator

// The required length of a fixed content, or 0 where any length goes.
uint32_t fixed_length(const uint8_t* tag) {
    if (std::memcmp(tag, "BHDR", 4) == 0)
        return 26;
    if (std::memcmp(tag, "IFHD", 4) == 0)
        return 44;
    if (std::memcmp(tag, "CMAP", 4) == 0)
        return 768;
    return 0;
}

std::string made_dir;

void remove_work_dir() {
    if (!made_dir.empty()) {
        std::error_code ignored;
        fs::remove_all(made_dir, ignored);
    }
}

std::string make_work_dir() {
    std::string base = "/dev/shm";
    if (access(base.c_str(), W_OK) != 0) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string pattern = base + "/ostrel-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        std::perror("ostrel fuzz: cannot make a working directory");
        std::abort();
    }
    made_dir = pattern;
    std::atexit(remove_work_dir);
    return made_dir;
}

}  // namespace

const std::string& work_dir() {
    static const std::string dir = make_work_dir();
    return dir;
}

std::string path(const std::string& name) {
    return work_dir() + "/" + name;
}

std::string write_input(const std::string& name, const uint8_t* data, size_t size) {
    const std::string file = path(name);
    FILE* stream = std::fopen(file.c_str(), "wb");
    check(stream != nullptr, "the working directory takes a file");
    const bool written = size == 0 || std::fwrite(data, 1, size, stream) == size;
    check(std::fclose(stream) == 0 && written, "the input is written in full");
    return file;
}

bytes read_all(const std::string& file) {
    bytes out;
    FILE* stream = std::fopen(file.c_str(), "rb");
    if (stream == nullptr)
        return out;
    uint8_t buffer[65536];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, stream)) > 0;)
        out.insert(out.end(), buffer, buffer + got);
    std::fclose(stream);
    return out;
}

void remove_files_in(const std::string& directory) {
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code ignored;
        if (it->is_regular_file(ignored))
            fs::remove(it->path(), ignored);
    }
}

void reset_state() {
    close_log();
    reset_run_settings();
    texture_pcx.destroy();
    err_code = 0;
}

void silence_stdout() {
    std::fflush(stdout);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
}

void check(bool condition, const char* what) {
    if (condition)
        return;
    std::fprintf(stderr, "ostrel fuzz: broken promise: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

size_t texture_length(const uint8_t* data, size_t size) {
    size_t at = 0;
    for (int entry = 0; entry < max_entries; ++entry) {
        if (size - at < name_size)
            return 0;
        const bool terminator = data[at] == 0;
        at += name_size;
        if (terminator)
            return at;
        if (size - at < 4)
            return 0;
        at += 4;
        bool ended = false;
        for (int record = 0; record < max_records && !ended; ++record) {
            if (size - at < 8)
                return 0;
            const uint8_t* tag = data + at;
            const uint32_t length = be32(data + at + 4);
            at += 8;
            const uint32_t wanted = fixed_length(tag);
            if (length != 0 && wanted != 0 && length != wanted)
                return 0;
            if (size - at < length)
                return 0;
            at += length;
            ended = std::memcmp(tag, "END ", 4) == 0;
        }
        if (!ended)
            return 0;
    }
    return 0;  // a 101st entry would be needed
}

}  // namespace fuzz
