// FILEUTIL: the log file, logged file opening, text and binary readers and
// writers, file sizes, path operations and directory operations.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "platform/COMPILER.h"
#include "platform/PLATFORM.h"

// --- Log ---------------------------------------------------------------------

// Opens (truncates) the log in text mode, writes its opening lines and the
// module listing; 1 when a log is open afterwards, else 0.
int open_log(const char* name);
// One time-stamped, flushed line per call; 0 when no log is open.
int write_log(const char* format, ...) OSTREL_PRINTF(1, 2);
// Closing lines, then closes; nothing on a closed log.
void close_log();

// --- Opening -----------------------------------------------------------------

// An open stream that closes itself on every way out of its owner.
struct file_closer {
    void operator()(FILE* file) const noexcept { std::fclose(file); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// The one way files are opened: logs the attempt (and a failure), sets code
// 1 on failure, and with `fatal` set ends the run through fatal_error.
FILE* openfile(const char* name, const char* mode, int fatal);

// Opens a new file that will replace `name` once it is complete (see
// platform::begin_replace): logs the attempt and a failure as openfile does
// for mode "wb", and sets code 1 when the temporary file cannot be made.
bool open_replacement(const char* name, platform::replacement& replacement);
// commit: flushes, syncs, closes and renames over the target; false with
// code 3 when any of that fails (the target then stays as it was and the
// temporary file is gone). !commit: discards the temporary file.
bool finish_replacement(platform::replacement& replacement, bool commit);

// --- Text readers (results: 0 read, 1 end of file, 2 word ended at a line
// feed, 3 longer than `maximum`) ------------------------------------------------

constexpr int read_ok = 0, read_end = 1, read_eol_word = 2, read_too_long = 3;

int read_eol(FILE* stream, char* buffer, uint32_t maximum);
int read_word(FILE* stream, char* buffer, uint32_t maximum);

// Whole files; zero-terminated buffers from create_ptr, owned by the caller.
char* read_file(const char* name);
char* read_textfile(const char* name);
int write_textfile(const char* name, const char* text);

// --- Binary integers (code 2 on a short read, 8 for a null stream) ------------

int32_t read_int(FILE* stream);    // 32-bit little-endian
int32_t read_long(FILE* stream);   // 32-bit little-endian
int16_t read_short(FILE* stream);  // 16-bit little-endian
uint32_t read_long_be(FILE* stream);
int write_long_be(FILE* stream, uint32_t value);  // 1, or 0 with code 3

// --- Sizes -------------------------------------------------------------------

constexpr uint32_t no_file_size = 0xFFFFFFFFu;
uint32_t get_file_size(FILE* stream);  // position kept; no_file_size + code 8 for null
uint32_t get_file_size_by_name(const char* name);
int file_exists(const char* name);

// --- Paths (the separator is the platform's; see platform::dir_separator) -----

char* terminate_path(char* path);
char* copy_path(char* destination, const char* source, uint32_t size);
char* extract_filename(char* destination, const char* path, uint32_t size);
char* extract_path(char* destination, const char* path, uint32_t size);
char* remove_extension(char* name);
int has_extension(const char* name);
int has_path(const char* name);
int has_wildcard(const char* name);

// --- Directories -------------------------------------------------------------

using find_record = platform::find_record;

int change_dir(const char* path);
int is_directory(const char* path);
int find_first(const char* pattern, find_record* record);
int find_next(find_record* record);
int find_close();
int path_exists(const char* pattern);
int is_directory_entry(const char* pattern);

void fileutil_register();
