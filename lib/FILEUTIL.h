// FILEUTIL: the log file, logged file opening, text and binary readers and
// writers, file sizes, path operations and directory operations.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

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

// openfile for reading a file that must be a regular one (the configuration
// file): a FIFO or device is refused at once, never waited for or read, and
// the log says so.
FILE* open_regular(const char* name, const char* mode);

// openfile(name, "rb") for a file that is read once from its start to its
// end (the export's texture file). A pipe or device has no size that lengths
// could be checked against, and may never end: its bytes are first copied
// into a hidden temporary file, at most `limit` of them, and that file is
// returned in its place. More than `limit` bytes: none, `too_large` set,
// code 9.
FILE* open_whole_input(const char* name, uint64_t limit, bool& too_large);

// --- Replacing a file ----------------------------------------------------------

// A file held from before it is read until after its replacement is renamed
// over it (an import): no other Ostrel updates it in the meantime, and the
// replacement is only renamed over it when it is still the file that was
// read (see platform::lock_file).
struct file_hold {
    platform::file_lock lock;
    std::string name;
    // What the last replacement of it could not keep of the old file.
    uint64_t other_links = 0;
    bool owner_lost = false;
    bool group_lost = false;
    bool attributes_lost = false;
};

// Takes the hold, waiting up to `wait_ms` for another holder (`on_wait` is
// called once when the wait begins). Logs the attempt and its outcome.
platform::lock_result hold_for_update(const char* name, file_hold& hold, int wait_ms,
                                      void (*on_wait)());
// True when the name no longer leads to the held file with the content it
// had when the hold was taken: another program changed it (a replacement was
// then refused).
bool hold_is_stale(const file_hold& hold);

// How a replacement is made. Durable: synced to the disk before the rename,
// for files that exist nowhere else (a texture file). A file that can be made
// again (an exported picture) need not wait for the disk.
struct replace_options {
    bool durable = true;
    file_hold* hold = nullptr;  // the file being replaced, when it is held
};

// Opens a new file that will replace `name` once it is complete (see
// platform::begin_replace): logs the attempt and a failure as openfile does
// for mode "wb", and sets code 1 when the temporary file cannot be made.
bool open_replacement(const char* name, platform::replacement& replacement,
                      const replace_options& options = replace_options());
// commit: flushes, syncs when durable, closes and renames over the target;
// false with code 3 when any of that fails (the target then stays as it was
// and the temporary file is gone). !commit: discards the temporary file.
bool finish_replacement(platform::replacement& replacement, bool commit);

// The path-level way for a writer of pictures (PCX, PNG) to write its file:
// the bytes go to a temporary file beside `name`, which takes the name only
// once it is complete. A failed or interrupted write (a full disk, a
// file-size limit, Ctrl-C) leaves an earlier file of that name as it was and
// no temporary file behind. Not durable: a picture can be exported again.
//
//     output_file out;
//     if (!out.open(name)) return 0;                // code 1, logged
//     ... write to out.stream() ...; a return here discards the file
//     return out.commit() ? 1 : 0;                  // code 3 on failure
class output_file {
public:
    output_file() = default;
    ~output_file() { abort(); }
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    bool open(const char* name);
    FILE* stream() const { return replacement_.stream; }
    bool commit();
    void abort();

private:
    platform::replacement replacement_;
    std::string name_;  // as given, for the messages
    bool open_ = false;
};

// Why the last output_file could not be made or written, for the user:
// "could not create 'out/sky01.pcx': No such file or directory"; "" when
// the last one was made and committed.
const char* output_error();
void clear_output_error();

// A pause for the end-to-end tests, which must stop a run at a known moment
// (to hold a file, change it, or send a signal). When the environment
// variable OSTREL_TEST_PAUSE is "<point>:<file>" and `point` is reached, the
// run creates <file> and waits until it is removed (at most a minute).
// Points: "loaded" (an import, texture and picture read, nothing written),
// "replacing" (a replacement's temporary file made, nothing in it),
// "committing" (its bytes written, not yet renamed).
void test_pause(const char* point);

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
