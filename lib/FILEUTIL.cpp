// FILEUTIL: the log file, logged file opening, text and binary readers and
// writers, file sizes, path operations and directory operations.
#include "lib/FILEUTIL.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "lib/BYTEORDER.h"
#include "lib/GENERR.h"
#include "lib/GENMEM.h"
#include "lib/GENSTRIN.h"
#include "lib/GENUTIL.h"

namespace {

bool fileutil_registered = false;

// The one log of the process. Plain values, so they are valid before any
// constructor runs and after every destructor has.
FILE* log_stream = nullptr;
int log_open = 0;
bool close_log_registered = false;

// Large enough for any current directory the system hands out; only a
// directory deeper than this makes is_directory fail.
constexpr size_t saved_dir_size = 4096;

void write_status_lines() {
    write_log("Heap is %s", get_heap_status());
    write_log(
        "Used/Free/Total Memory: %lu/%lu/%lu bytes", static_cast<unsigned long>(get_used_mem()),
        static_cast<unsigned long>(get_free_mem()), static_cast<unsigned long>(get_total_mem()));
}

int last_separator(const char* text) {
    int last = -1;
    for (int i = 0; text[i] != '\0'; ++i) {
        if (platform::is_dir_separator(text[i]))
            last = i;
    }
    return last;
}

// Reads `count` bytes; false (code 2) when fewer arrive.
bool read_exact(FILE* stream, unsigned char* bytes, size_t count) {
    if (std::fread(bytes, 1, count, stream) != count) {
        err_code = 2;
        return false;
    }
    return true;
}

int32_t read_le32(FILE* stream) {
    if (stream == nullptr)
        return fail(8);
    unsigned char b[4];
    if (!read_exact(stream, b, sizeof(b)))
        return 0;
    return static_cast<int32_t>(get_le32(b));
}

// CR LF pairs become LF, as a text-mode read gives them on every platform.
uint32_t fold_line_ends(char* text, uint32_t length) {
    uint32_t out = 0;
    for (uint32_t in = 0; in < length; ++in) {
        if (text[in] == '\r' && in + 1 < length && text[in + 1] == '\n')
            continue;
        text[out++] = text[in];
    }
    text[out] = '\0';
    return out;
}

char* read_whole(const char* name, const char* mode, const char* function, bool text) {
    FILE* stream = openfile(name, mode, 0);
    if (stream == nullptr)
        return nullptr;
    const uint32_t size = get_file_size(stream);
    if (size == no_file_size) {
        write_log("FILEUTIL - %s(): File larger than %u in size specified!", function, 0xFFFFFFFFu);
        err_code = 10;
        std::fclose(stream);
        return nullptr;
    }
    auto* buffer = static_cast<char*>(create_ptr(size + 1));
    const size_t read = std::fread(buffer, 1, size, stream);
    if (read < size) {
        write_log("FILEUTIL - read_file(): Expected %u bytes but read only %u!", size,
                  static_cast<unsigned>(read));
        err_code = 2;
    }
    // Only a short read of the bytes on disk counts as a failure; folding
    // CR LF pairs afterwards does not make a text file "short".
    if (text)
        fold_line_ends(buffer, static_cast<uint32_t>(read));
    std::fclose(stream);
    return buffer;
}

}  // namespace

// --- Log ---------------------------------------------------------------------

int open_log(const char* name) {
    if (log_open != 0)
        close_log();
    if (name == nullptr) {
        err_code = 8;
        return 0;
    }
    // Not through openfile: whose attempt line would reach no log anyway, and
    // the log must not follow a link or wait for a FIFO planted under its
    // name (see platform::open_log_file).
    FILE* stream = platform::open_log_file(name);
    if (stream == nullptr) {
        err_code = 1;
        return 0;
    }
    log_stream = stream;
    log_open = 1;

    char date[16] = "--/--/--";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* local = std::localtime(&now))
        std::strftime(date, sizeof(date), "%m/%d/%y", local);
    write_log("Opened Log File %s on %s", name, date);
    program_registry.list_programs(log_stream, 15);
    std::fflush(log_stream);
    write_status_lines();

    if (!close_log_registered)
        close_log_registered = std::atexit(close_log) == 0;
    return 1;
}

int write_log(const char* format, ...) {
    if (log_open == 0 || log_stream == nullptr)
        return 0;
    if (format == nullptr)
        return 1;
    char stamp[16] = "--:--:--";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* local = std::localtime(&now))
        std::strftime(stamp, sizeof(stamp), "%H:%M:%S", local);
    std::fputs(stamp, log_stream);
    std::fputs(" - ", log_stream);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(log_stream, format, arguments);
    va_end(arguments);
    std::fputc('\n', log_stream);
    std::fflush(log_stream);
    return 1;
}

void close_log() {
    if (log_open == 0 || log_stream == nullptr)
        return;
    write_status_lines();
    write_log("Closing log file...");
    std::fclose(log_stream);
    log_stream = nullptr;
    log_open = 0;
}

// --- Opening -----------------------------------------------------------------

namespace {

// The log's line for a file that did not open, with the memory figures
// that tell a full heap from a missing file.
void log_open_failure(const char* name) {
    write_log("     Failed to open file '%s'  (Mem=%ld, Heap is %s)", name,
              static_cast<long>(get_free_mem()), get_heap_status());
}

}  // namespace

FILE* openfile(const char* name, const char* mode, int fatal) {
    if (name == nullptr || mode == nullptr) {
        err_code = 8;
        if (fatal != 0) {
            err_table.fatal_error(8, "FILEUTIL - openfile (%s, %s) failed",
                                  name != nullptr ? name : "NULL", mode != nullptr ? mode : "NULL");
        }
        return nullptr;
    }
    write_log("Attempting to open file '%s' in mode '%s'", name, mode);
    FILE* stream = platform::open_file(name, mode);
    if (stream != nullptr)
        return stream;
    log_open_failure(name);
    err_code = 1;
    if (fatal != 0)
        err_table.fatal_error(1, "FILEUTIL - openfile (%s, %s) failed", name, mode);
    return nullptr;
}

FILE* open_regular(const char* name, const char* mode) {
    if (name == nullptr || mode == nullptr) {
        err_code = 8;
        return nullptr;
    }
    write_log("Attempting to open file '%s' in mode '%s'", name, mode);
    FILE* stream = platform::open_regular_file(name, mode);
    if (stream != nullptr)
        return stream;
    const bool other_kind = errno == EINVAL;
    log_open_failure(name);
    if (other_kind)
        write_log("     '%s' is not a regular file!", name);
    err_code = 1;
    return nullptr;
}

FILE* open_whole_input(const char* name, uint64_t limit, bool& too_large) {
    too_large = false;
    file_ptr source(openfile(name, "rb", 0));
    if (!source)
        return nullptr;
    if (platform::bytes_left(source.get()) >= 0)
        return source.release();

    file_ptr copy(platform::open_anonymous_file());
    if (!copy) {
        write_log("FILEUTIL - open_whole_input(): No temporary file to copy '%s' into!", name);
        err_code = 1;
        return nullptr;
    }
    unsigned char block[16384];
    uint64_t total = 0;
    for (;;) {
        const size_t got = std::fread(block, 1, sizeof block, source.get());
        if (got == 0)
            break;
        total += got;
        if (total > limit) {
            write_log("FILEUTIL - open_whole_input(): '%s' is not a regular file and holds more "
                      "than %llu bytes!",
                      name, static_cast<unsigned long long>(limit));
            too_large = true;
            err_code = 9;
            return nullptr;
        }
        if (std::fwrite(block, 1, got, copy.get()) != got) {
            write_log("FILEUTIL - open_whole_input(): Could not copy '%s'!", name);
            err_code = 3;
            return nullptr;
        }
    }
    if (std::ferror(source.get()) || std::fflush(copy.get()) != 0 ||
        std::fseek(copy.get(), 0, SEEK_SET) != 0) {
        write_log("FILEUTIL - open_whole_input(): Could not copy '%s'!", name);
        err_code = 2;
        return nullptr;
    }
    return copy.release();
}

// --- Replacing a file ----------------------------------------------------------

platform::lock_result hold_for_update(const char* name, file_hold& hold, int wait_ms,
                                      void (*on_wait)()) {
    platform::unlock_file(hold.lock);
    hold.name.clear();
    hold.other_links = 0;
    hold.owner_lost = hold.group_lost = hold.attributes_lost = false;
    if (name == nullptr) {
        err_code = 8;
        return platform::lock_result::failed;
    }
    write_log("Holding file '%s' until it is replaced", name);
    const platform::lock_result result = platform::lock_file(name, wait_ms, hold.lock, on_wait);
    switch (result) {
        case platform::lock_result::locked:
            hold.name = name;
            if (!hold.lock.exclusive)
                write_log("     The system cannot lock '%s'; going on without the lock", name);
            break;
        case platform::lock_result::busy:
            write_log("     '%s' is held by another program; gave up after %d ms", name, wait_ms);
            break;
        case platform::lock_result::not_regular:
            write_log("     '%s' is not a regular file!", name);
            err_code = 9;
            break;
        case platform::lock_result::failed:
            log_open_failure(name);
            err_code = 1;
            break;
    }
    return result;
}

bool hold_is_stale(const file_hold& hold) {
    return !platform::unchanged_since(hold.name.c_str(), hold.lock.identity);
}

bool open_replacement(const char* name, platform::replacement& replacement,
                      const replace_options& options) {
    if (name == nullptr) {
        err_code = 8;
        return false;
    }
    write_log("Attempting to open file '%s' in mode '%s'", name, "wb");
    replacement.durable = options.durable;
    replacement.held = options.hold != nullptr ? &options.hold->lock : nullptr;
    if (platform::begin_replace(name, replacement)) {
        if (file_hold* hold = options.hold) {
            hold->other_links = replacement.other_links;
            hold->owner_lost = replacement.owner_lost;
            hold->group_lost = replacement.group_lost;
            hold->attributes_lost = replacement.attributes_lost;
        }
        test_pause("replacing");
        return true;
    }
    const int reason = errno;  // for the caller: logging may change it
    log_open_failure(name);
    err_code = 1;
    errno = reason;
    return false;
}

bool finish_replacement(platform::replacement& replacement, bool commit) {
    if (!commit) {
        platform::abort_replace(replacement);
        return true;
    }
    test_pause("committing");
    if (platform::commit_replace(replacement))
        return true;
    const int reason = errno;  // for the caller: logging may change it
    if (replacement.changed) {
        write_log("FILEUTIL - finish_replacement(): '%s' was changed by another program since "
                  "it was read; it is left as that program made it!",
                  replacement.final_path.c_str());
    } else {
        write_log("FILEUTIL - finish_replacement(): Could not replace '%s', the file is unchanged!",
                  replacement.final_path.c_str());
    }
    err_code = 3;
    errno = reason;
    return false;
}

namespace {

char output_failure[600] = "";

// The system's words for the error number, or the number itself.
void note_output_failure(const char* what, const std::string& name, int number) {
    // The replacement refuses to rename over a device or pipe with EINVAL.
    const char* text = number == EINVAL ? "it is a device or a pipe, not a file"
                                        : platform::system_error_text(number);
    char fallback[32];
    if (text == nullptr) {
        std::snprintf(fallback, sizeof fallback, "error %d", number);
        text = fallback;
    }
    std::snprintf(output_failure, sizeof output_failure, "could not %s '%s': %s", what,
                  name.c_str(), text);
}

}  // namespace

const char* output_error() {
    return output_failure;
}

void clear_output_error() {
    output_failure[0] = '\0';
}

bool output_file::open(const char* name) {
    abort();
    clear_output_error();
    replace_options options;
    options.durable = false;
    open_ = open_replacement(name, replacement_, options);
    if (!open_ && name != nullptr)
        note_output_failure("create", name, errno);
    else
        name_ = name != nullptr ? name : "";
    return open_;
}

bool output_file::commit() {
    if (!open_) {
        err_code = 8;
        return false;
    }
    open_ = false;
    if (finish_replacement(replacement_, true))
        return true;
    note_output_failure("write", name_, errno);
    return false;
}

// A writer that gives up part-way leaves the stream's error set; the error
// number is still that of the failed write.
void output_file::abort() {
    if (open_) {
        const int number = errno;
        if (replacement_.stream != nullptr && std::ferror(replacement_.stream) != 0)
            note_output_failure("write", name_, number);
        finish_replacement(replacement_, false);
    }
    open_ = false;
}

void test_pause(const char* point) {
    const char* setting = std::getenv("OSTREL_TEST_PAUSE");
    if (setting == nullptr || point == nullptr)
        return;
    const size_t length = std::strlen(point);
    if (std::strncmp(setting, point, length) != 0 || setting[length] != ':' ||
        setting[length + 1] == '\0')
        return;
    const char* marker = setting + length + 1;
    FILE* created = platform::open_file(marker, "wb");
    if (created == nullptr)
        return;
    std::fclose(created);
    constexpr int step_ms = 10, longest_ms = 60000;
    for (int waited = 0; waited < longest_ms && file_exists(marker) != 0; waited += step_ms)
        platform::sleep_ms(step_ms);
}

// --- Text readers ------------------------------------------------------------

int read_eol(FILE* stream, char* buffer, uint32_t maximum) {
    if (stream == nullptr) {
        err_code = 8;
        return read_end;
    }
    uint32_t stored = 0;
    bool at_end = false;
    bool too_long = false;
    for (;;) {
        const int c = platform::getc_text(stream);
        if (c == EOF) {
            at_end = true;
            break;
        }
        if (c == '\n')
            break;
        if (buffer == nullptr)
            continue;
        if (stored < maximum) {
            buffer[stored++] = static_cast<char>(c);
        } else {
            too_long = true;
            break;
        }
    }
    if (buffer != nullptr)
        buffer[stored] = '\0';
    if (at_end)
        return read_end;
    if (too_long) {
        write_log("FILEUTIL - read_eol(): Max string length exceeded, %u!", maximum);
        return read_too_long;
    }
    return read_ok;
}

int read_word(FILE* stream, char* buffer, uint32_t maximum) {
    if (stream == nullptr) {
        err_code = 8;
        return read_end;
    }
    int c = platform::getc_text(stream);
    while (c == ' ' || c == '\t')
        c = platform::getc_text(stream);
    uint32_t stored = 0;
    bool too_long = false;
    while (c != EOF && c != ' ' && c != '\t' && c != '\n') {
        if (buffer != nullptr) {
            if (stored < maximum) {
                buffer[stored++] = static_cast<char>(c);
            } else {
                too_long = true;
                break;
            }
        }
        c = platform::getc_text(stream);
    }
    if (buffer != nullptr)
        buffer[stored] = '\0';
    if (c == EOF)
        return read_end;
    if (too_long) {
        write_log("FILEUTIL - read_word(): Max string length exceeded, %u!", maximum);
        return read_too_long;
    }
    return c == '\n' ? read_eol_word : read_ok;
}

char* read_file(const char* name) {
    if (name == nullptr) {
        err_code = 8;
        return nullptr;
    }
    return read_whole(name, "rb", "read_file", false);
}

char* read_textfile(const char* name) {
    if (name == nullptr) {
        err_code = 8;
        return nullptr;
    }
    return read_whole(name, "rt", "read_textfile", true);
}

int write_textfile(const char* name, const char* text) {
    if (name == nullptr) {
        err_code = 8;
        return 0;
    }
    FILE* stream = openfile(name, "wt", 0);
    if (stream == nullptr)
        return 0;
    size_t length = 0;
    size_t written = 0;
    if (text != nullptr) {
        length = std::strlen(text);
        written = std::fwrite(text, 1, length, stream);
    }
    // Bytes still in the stream's buffer are only written at the flush; a
    // failure there loses them as surely as a short write does.
    const bool flushed = std::fflush(stream) == 0;
    const bool closed = std::fclose(stream) == 0;
    if (written < length || !flushed || !closed) {
        write_log("FILEUTIL - write_textfile(): Wrote only %u bytes but expected %u!",
                  static_cast<unsigned>(flushed && closed ? written : 0),
                  static_cast<unsigned>(length));
        err_code = 3;
    }
    return 1;
}

// --- Binary integers ---------------------------------------------------------

int32_t read_int(FILE* stream) {
    return read_le32(stream);
}

int32_t read_long(FILE* stream) {
    return read_le32(stream);
}

int16_t read_short(FILE* stream) {
    if (stream == nullptr)
        return static_cast<int16_t>(fail(8));
    unsigned char b[2];
    if (!read_exact(stream, b, sizeof(b)))
        return 0;
    return static_cast<int16_t>(get_le16(b));
}

uint32_t read_long_be(FILE* stream) {
    if (stream == nullptr)
        return static_cast<uint32_t>(fail(8));
    unsigned char b[4];
    if (!read_exact(stream, b, sizeof(b)))
        return 0;
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | uint32_t{b[3]};
}

int write_long_be(FILE* stream, uint32_t value) {
    if (stream == nullptr)
        return fail(8);
    const unsigned char b[4] = {
        static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
        static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    if (std::fwrite(b, 1, sizeof(b), stream) != sizeof(b))
        return fail(3);
    return 1;
}

// --- Sizes -------------------------------------------------------------------

uint32_t get_file_size(FILE* stream) {
    if (stream == nullptr) {
        err_code = 8;
        return no_file_size;
    }
    const long position = std::ftell(stream);
    if (position < 0 || std::fseek(stream, 0, SEEK_END) != 0)
        return no_file_size;
    const long size = std::ftell(stream);
    std::fseek(stream, position, SEEK_SET);
    // A size that does not fit in 32 bits must not come back cut short: the
    // all-ones value tells the caller the size cannot be used.
    if (size < 0 || static_cast<unsigned long>(size) >= no_file_size)
        return no_file_size;
    return static_cast<uint32_t>(size);
}

uint32_t get_file_size_by_name(const char* name) {
    if (name == nullptr) {
        err_code = 8;
        return no_file_size;
    }
    FILE* stream = platform::open_file(name, "r");
    if (stream == nullptr)
        return no_file_size;
    uint32_t size = no_file_size;
    if (std::fseek(stream, 0, SEEK_END) == 0) {
        const long end = std::ftell(stream);
        if (end >= 0 && static_cast<unsigned long>(end) < no_file_size) {
            size = static_cast<uint32_t>(end);
        }
    }
    std::fclose(stream);
    return size;
}

int file_exists(const char* name) {
    if (name == nullptr) {
        err_code = 8;
        return 0;
    }
    FILE* stream = platform::open_file(name, "r");
    if (stream == nullptr)
        return 0;
    std::fclose(stream);
    return 1;
}

// --- Paths -------------------------------------------------------------------

char* terminate_path(char* path) {
    if (path == nullptr || path[0] == '\0')
        return path;
    const size_t length = std::strlen(path);
    if (!platform::is_dir_separator(path[length - 1])) {
        path[length] = platform::dir_separator();
        path[length + 1] = '\0';
    }
    return path;
}

char* copy_path(char* destination, const char* source, uint32_t size) {
    if (destination == nullptr || source == nullptr || size == 0)
        return destination;
    bounded_copy(destination, source, size - 1);
    return terminate_path(destination);
}

char* extract_filename(char* destination, const char* path, uint32_t size) {
    if (destination == nullptr || path == nullptr || size == 0) {
        err_code = 8;
        return destination;
    }
    return bounded_copy(destination, path + (last_separator(path) + 1), size);
}

char* extract_path(char* destination, const char* path, uint32_t size) {
    if (destination == nullptr || path == nullptr || size == 0) {
        err_code = 8;
        return destination;
    }
    bounded_copy(destination, path, size);
    destination[last_separator(destination) + 1] = '\0';
    return destination;
}

char* remove_extension(char* name) {
    if (name == nullptr)
        return name;
    for (size_t i = std::strlen(name); i > 0; --i) {
        const char c = name[i - 1];
        if (platform::is_dir_separator(c))
            break;
        if (c == '.') {
            name[i - 1] = '\0';
            break;
        }
    }
    return name;
}

int has_extension(const char* name) {
    if (name == nullptr)
        return 0;
    for (size_t i = std::strlen(name); i > 0; --i) {
        const char c = name[i - 1];
        if (c == '.')
            return 1;
        if (c == '/' || c == '\\')
            return 0;
    }
    return 0;
}

int has_path(const char* name) {
    if (name == nullptr)
        return fail(8);
    return std::strpbrk(name, "\\/:") != nullptr ? 1 : 0;
}

int has_wildcard(const char* name) {
    if (name == nullptr)
        return fail(8);
    return std::strpbrk(name, "*?") != nullptr ? 1 : 0;
}

// --- Directories -------------------------------------------------------------

int change_dir(const char* path) {
    if (path == nullptr || path[0] == '\0')
        return fail(8);
    return platform::change_dir(path) ? 1 : 0;
}

int is_directory(const char* path) {
    if (path == nullptr || path[0] == '\0')
        return fail(8);
    char saved[saved_dir_size];
    if (!platform::get_current_dir(saved, sizeof(saved)))
        return fail(14);
    if (!platform::change_dir(path))
        return 0;
    platform::change_dir(saved);
    return 1;
}

int find_first(const char* pattern, find_record* record) {
    if (pattern == nullptr || record == nullptr) {
        err_code = 8;
        platform::find_close();
        return -1;
    }
    return platform::find_first(pattern, record);
}

int find_next(find_record* record) {
    if (record == nullptr) {
        err_code = 8;
        return -1;
    }
    return platform::find_next(record);
}

int find_close() {
    return platform::find_close();
}

int path_exists(const char* pattern) {
    find_record record;
    const int found = ::find_first(pattern, &record) == 0 ? 1 : 0;
    find_close();
    return found;
}

int is_directory_entry(const char* pattern) {
    find_record record;
    int found = 0;
    for (int more = ::find_first(pattern, &record); more == 0; more = ::find_next(&record)) {
        if (record.attrib == platform::attrib_directory) {
            found = 1;
            break;
        }
    }
    find_close();
    return found;
}

void fileutil_register() {
    if (fileutil_registered)
        return;
    fileutil_registered =
        program_registry.add_program("FILEUTIL", "0.8", ostrel_author_credit, "29 November 1998");
}
