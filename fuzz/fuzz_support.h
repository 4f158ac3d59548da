// What every fuzz target shares: the libFuzzer entry points, a private
// working directory for the files the readers take, the reset of the
// program's global state between inputs, and the check that turns a broken
// promise into a crash the fuzzer records.
//
// The targets build two ways: with clang's libFuzzer (-fsanitize=fuzzer),
// which supplies main, and with replay_main.cpp, a plain main that feeds the
// files it is given to the target once each. The second way runs every seed
// and every crash ever found in the normal test run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

using bytes = std::vector<uint8_t>;

// A directory of this process alone, made on first use (in /dev/shm where
// there is one, so the many small writes and syncs stay in memory) and
// removed with its contents at exit.
const std::string& work_dir();

// `name` inside the working directory.
std::string path(const std::string& name);

// Writes the bytes to `name` in the working directory; returns its path.
std::string write_input(const std::string& name, const uint8_t* data, size_t size);

bytes read_all(const std::string& file);

// Removes every plain file directly inside `directory`.
void remove_files_in(const std::string& directory);

// The state a fresh run of the program starts with: no last error, the run
// settings at their initial values, no images, no palette, no log.
void reset_state();

// Standard output to /dev/null: the targets that drive the front end would
// otherwise print a screenful per input.
void silence_stdout();

// A broken promise of the code under test: reported, then abort(), which
// libFuzzer and the replay both count as a crash.
void check(bool condition, const char* what);

// The texture format walked by its rules, independently of the reader: the
// bytes of a loadable texture file up to and including its terminator, or 0
// when a reader must refuse the file (cut short, a fixed content of the
// wrong length, an image without "END " in its first 10 sub-records, a
// 101st entry).
size_t texture_length(const uint8_t* data, size_t size);

// Little-endian and big-endian fields of the formats, for the targets' own
// independent readings of the bytes.
inline uint32_t le16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8);
}
inline uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace fuzz
