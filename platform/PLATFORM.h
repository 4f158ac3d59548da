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

// --- The process -------------------------------------------------------------

// Called first thing by the program (not by the tests, which run in a
// process of their own kind):
// - a standard descriptor that is closed gets the null device, so that no
//   file the run opens (the log) takes its place and receives the console's
//   text;
// - a file-size limit makes a write fail instead of ending the process
//   (SIGXFSZ), so the failed write is reported and its temporary file goes;
// - the signals that end a run from the keyboard or the session (Ctrl-C,
//   SIGTERM, SIGHUP, SIGQUIT; Ctrl-C and closing the console on Windows)
//   first remove the temporary file of a replacement in progress and put
//   the terminal's settings back; signals that were ignored stay ignored;
// - Ctrl-Z at a prompt gives the terminal its settings back while the run is
//   stopped, and the prompt takes raw mode again when it is continued.
void start_process();

void sleep_ms(int milliseconds);

// --- What a file is ------------------------------------------------------------

// Enough of a file's status to tell whether two names lead to the same file
// and whether a file changed between two looks at it.
struct file_identity {
    bool known = false;
    bool regular = false;  // a plain file (not a directory, pipe or device)
    uint64_t device = 0;   // device number; volume serial number on Windows
    uint64_t inode = 0;    // inode number; file index on Windows
    int64_t size = 0;
    int64_t modified_ns = 0;  // last change of the content
    uint64_t links = 0;       // names the file has (hard links)
    uint32_t owner = 0;       // user and group; 0 where the system has none
    uint32_t group = 0;
};

// The file a name leads to, symbolic links followed (so a link names the
// file it points to, and a name the replacement would write through leads
// where the write would land). false when there is no such file.
bool identify_path(const char* path, file_identity& identity);
bool identify_stream(FILE* stream, file_identity& identity);

// The same file (device and inode), whatever its names.
inline bool same_file(const file_identity& a, const file_identity& b) {
    return a.known && b.known && a.device == b.device && a.inode == b.inode;
}
// The same file with the same size and time of last change. (A change of
// the same size within one tick of the file system's clock goes unseen.)
inline bool same_content(const file_identity& a, const file_identity& b) {
    return same_file(a, b) && a.size == b.size && a.modified_ns == b.modified_ns;
}
// `path` still leads to the file `then` describes, with the same content.
inline bool unchanged_since(const char* path, const file_identity& then) {
    file_identity now;
    return identify_path(path, now) && same_content(now, then);
}

// --- Holding a file while it is updated ------------------------------------------

// An exclusive hold on an existing file that no other Ostrel can take at the
// same time. POSIX: flock on the file (other programs that do not ask are not
// stopped). Windows: a named mutex for the file's full path, held through the
// rename, and the file open without write sharing, so that other programs
// cannot write it in place either (that handle is closed an instant before
// the rename, which Windows refuses over an open file). Released by
// unlock_file, the destructor, or the end of the process.
struct file_lock {
    file_lock() = default;
    ~file_lock();
    file_lock(const file_lock&) = delete;
    file_lock& operator=(const file_lock&) = delete;

    intptr_t handle = -1;    // descriptor or HANDLE of the file while held
    intptr_t guard = -1;     // Windows: the mutex; unused on POSIX
    bool exclusive = false;  // false: the system could not lock it at all
    file_identity identity;  // the file as it was when the hold was taken
};

enum class lock_result {
    locked,       // held, and the name still leads to the held file
    busy,         // another holder did not let go within the time given
    not_regular,  // a directory, pipe or device: nothing to hold
    failed,       // it cannot be opened (errno says why)
};

// Takes the hold on the file `path` leads to, waiting up to `wait_ms` for
// another holder; `on_wait` (when given) is called once when the wait
// begins. A file that another program renames into place while we wait is
// held in its turn: the hold is always on the file the name leads to.
// Where the file system has no locks the hold is taken without one
// (`exclusive` false) and the change check still applies.
lock_result lock_file(const char* path, int wait_ms, file_lock& lock, void (*on_wait)());
// Lets go of the file; `identity` stays as it was taken.
void unlock_file(file_lock& lock);

inline file_lock::~file_lock() {
    unlock_file(*this);
}

// --- Replacing a file --------------------------------------------------------

// A new file beside `target` that will replace it. A symlink target is
// followed, so the file it points to is replaced and the link stays. The new
// file gets the permission bits of the file it replaces (when there is one),
// and where the system lets it, its owner, group and extended attributes
// (POSIX; ACLs are among them on Linux) or its attributes (Windows).
struct replacement {
    FILE* stream = nullptr;
    std::string temp_path;   // the temporary file, as handed to the OS
    std::string final_path;  // the file that will be replaced

    // Set before begin_replace.
    bool durable = true;              // flushed to the disk before the rename
    // When set: renamed only over the held file, unchanged since the hold
    // was taken.
    file_lock* held = nullptr;

    // Set by begin_replace: what the new file cannot keep of the old one.
    uint64_t other_links = 0;  // further names of the old file; they keep the old content
    bool owner_lost = false;   // the new file is the writing user's, not the old owner's
    bool group_lost = false;
    bool attributes_lost = false;  // extended attributes that could not be copied
    // Set by commit_replace: the held file changed or another file took its
    // name since the hold was taken; nothing was replaced.
    bool changed = false;

    int removal_slot = -1;  // where an ending signal finds the temporary file
};

// Creates the temporary file and opens it for binary writing. false (and
// nothing left behind) when it cannot be made. Until commit or abort, an
// ending signal (see start_process) removes it.
bool begin_replace(const char* target, replacement& r);

// Flushes (and when `durable`, syncs) and closes the temporary file and
// renames it over the final path in one step. On any failure the temporary
// file is removed, the target is untouched, and false is returned.
bool commit_replace(replacement& r);

// Closes and removes the temporary file; the target stays as it was.
void abort_replace(replacement& r);

// --- Opening files with care ---------------------------------------------------

// Opens a file for reading only when it is a regular file (links followed);
// a FIFO or device is refused at once, never waited for or read. errno
// EINVAL for a file of another kind.
FILE* open_regular_file(const char* name, const char* mode);

// Opens the log for writing, emptied: not through a symbolic link, never
// waiting (a FIFO without a reader), and only when it is a regular file, so a
// link planted under the log's name cannot aim the truncation at another file.
FILE* open_log_file(const char* name);

// A new, empty file that nobody else can see and that vanishes when it is
// closed, for copying a pipe's bytes into.
FILE* open_anonymous_file();

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
