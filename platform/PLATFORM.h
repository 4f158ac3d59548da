// Everything Ostrel needs from the operating system, behind a few functions.
// One source folder per platform (posix/, win32/); CMake picks the folder, so
// no other part of the program needs a conditional compile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/COMPILER.h"

namespace platform {

// --- Paths -----------------------------------------------------------------

// The separator appended to a directory name ('/' on POSIX, '\\' on Windows).
char dir_separator();

// True for every character that separates directories where a path is split
// (POSIX: '/' and '\\'; Windows: '\\' only, as the tool has always done there).
bool is_dir_separator(char c);

// fopen() for a path as the program holds it. On POSIX a '\\' becomes '/'
// here (and only here), and the text-mode letter 't' is dropped from the
// mode, since POSIX streams have no text mode.
FILE* open_file(const char* name, const char* mode);

// One character of a stream opened in text mode. A CR directly followed by
// LF reads as one LF on every platform, so files written on either platform
// read the same.
int getc_text(FILE* stream);

// Bytes between the stream's position and the end of its file, or -1 when
// that cannot be told (not a regular file). Lets readers refuse a length
// that the file cannot hold before they allocate for it.
int64_t bytes_left(FILE* stream);

// Current directory, cut to size - 1 characters; false when it does not fit
// or cannot be read.
bool get_current_dir(char* buffer, size_t size);
bool change_dir(const char* path);

// --- Directory search --------------------------------------------------------

constexpr uint32_t attrib_directory = 16;

struct find_record {
    uint32_t attrib = 0;       // 16 = directory
    int64_t time_create = -1;  // seconds since 1970; -1 where unknown
    int64_t time_access = -1;
    int64_t time_write = -1;
    uint32_t size = 0;
    char name[260] = {};
};

// One process-wide search, as the C library's _findfirst family keeps it.
// find_first: 0 on a match, -1 otherwise (no search stays open then).
int find_first(const char* pattern, find_record* record);
int find_next(find_record* record);  // 0 on a match, -1 at the end or with no search
int find_close();                    // 0, or -1 when no search was open

// --- Heap and system errors --------------------------------------------------

enum class heap_state { empty, ok, bad_begin, bad_node, bad_pointer, end, other };
heap_state check_heap();

// A hint about a fresh block of `size` bytes that is about to be filled:
// where the OS can back it with large pages, a big picture costs a few
// page faults instead of thousands. Changes nothing else; may do nothing.
void advise_large_block(void* block, size_t size);

// The C library's text for a system error number, or nullptr when its table
// of messages does not reach that number.
const char* system_error_text(int number);

// --- Replacing a file --------------------------------------------------------

// A new file beside `target` that will replace it. A symlink target is
// followed, so the file it points to is replaced and the link stays. The new
// file gets the permission bits of the file it replaces (when there is one).
struct replacement {
    FILE* stream = nullptr;
    std::string temp_path;   // the temporary file, as handed to the OS
    std::string final_path;  // the file that will be replaced
};

// Creates the temporary file and opens it for binary writing. false (and
// nothing left behind) when it cannot be made.
bool begin_replace(const char* target, replacement& r);

// Flushes, syncs and closes the temporary file and renames it over the final
// path in one step. On any failure the temporary file is removed, the target
// is untouched, and false is returned.
bool commit_replace(replacement& r);

// Closes and removes the temporary file; the target stays as it was.
void abort_replace(replacement& r);

// --- Console -----------------------------------------------------------------

constexpr int key_escape = 27;

// One key from standard input, without echo and without waiting for Enter.
// On a terminal: raw mode for the read, restored afterwards and on every way
// out (exit, fatal exit, Ctrl-C). An arrow or function key (ESC followed at
// once by more bytes) is consumed whole and is not reported as Esc. When
// standard input is not a terminal, each byte is a key; end of input reads
// as Esc so a piped run cannot hang.
int read_key();

}  // namespace platform
