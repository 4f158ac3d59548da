// GENERR: the shared last-error code, the table of error messages and the
// critical error report.
#include "lib/GENERR.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "lib/FILEUTIL.h"
#include "lib/GENMEM.h"
#include "lib/GENUTIL.h"
#include "platform/PLATFORM.h"

uint32_t err_code = 0;

// Built by constant initialisation; the library's start-up fills it.
ERR_TYPE err_table{static_init};

namespace {

bool generr_registered = false;

const char* const library_messages[] = {
    "No error generated.",
    "Failed to open file!",
    "Could not read from file!",
    "Could not write to file!",
    "Not enough memory to allocate pointer!",
    "General array index overflow detected!",
    "Critical...Corrupt heap space detected!",
    "Maximum array index reached, could not add entry!",
    "Received invalid NULL pointer!",
    "Invalid input received!",
    "Cannot allocate more than UINT_MAX bytes at a time!",
    "Graphics mode related error.",
    "Mouse related error.",
    "Keyboard related error.",
    "String bounds overflow!",
    "Received input that would result in an overflow!",
};

const char* or_null(const char* text) {
    return text != nullptr ? text : "NULL";
}

// The header names the current module; with no registry record (a report
// raised before start-up, or a registry that was cleared) GENERR names itself.
void print_header() {
    const REG_TYPE& registry = program_registry;
    const PROG_RECORD* record = nullptr;
    if (registry.initialised != 0 && registry.current >= 0 && registry.current < registry.count) {
        record = registry.programs[registry.current].get();
    }
    if (record != nullptr) {
        std::fprintf(stderr, "   %s, v%s - %s, %s\n\n", or_null(record->name.get()),
                     or_null(record->version.get()), or_null(record->date.get()),
                     or_null(record->author.get()));
    } else {
        std::fprintf(stderr, "   %s, v%s - %s, %s\n\n", "GENERR", "0.2a", "28 Nov 1998",
                     ostrel_author_credit);
    }
}

[[noreturn]] void report_and_exit(int system_error, const char* message, const char* detail_format,
                                  va_list arguments) OSTREL_PRINTF(3, 0);

void report_and_exit(int system_error, const char* message, const char* detail_format,
                     va_list arguments) {
    std::fflush(stdout);
    std::fputs("Critical Error, Program Terminated!\n", stderr);
    print_header();
    std::fputs("A critical error has occured and the program was terminated.  You may\n", stderr);
    std::fputs("wish to record this error information along with conditions before the\n", stderr);
    std::fputs("crash (what you were doing), system info (OS, config files) and send a\n", stderr);
    std::fputs("bug report to the appropiate individuals.\n\n", stderr);
    std::fprintf(stderr, "      Heap Status: %s\n", get_heap_status());
    std::fprintf(stderr, "      Used/Free/Total Memory: %lu / %lu / %lu bytes\n",
                 static_cast<unsigned long>(get_used_mem()),
                 static_cast<unsigned long>(get_free_mem()),
                 static_cast<unsigned long>(get_total_mem()));
    if (system_error <= 0) {
        std::fputs("      No System Error Registered\n\n", stderr);
    } else if (const char* text = platform::system_error_text(system_error)) {
        std::fprintf(stderr, "      System Error(%d): %s\n\n", system_error, text);
    } else {
        std::fprintf(stderr, "      System Error: %d\n\n", system_error);
    }
    std::fprintf(stderr, "Error Message: %s\n", message != nullptr ? message : "None");
    if (detail_format != nullptr) {
        std::fputs("    ", stderr);
        std::vfprintf(stderr, detail_format, arguments);
    }
    std::fputs("\n\n", stderr);
    std::fflush(stderr);
    // The normal exit path, so the log gets its closing lines and the
    // static objects are destroyed.
    std::exit(0);
}

}  // namespace

ERR_TYPE::ERR_TYPE() {
    add_library_codes();
}

ERR_TYPE::~ERR_TYPE() {
    clear_errors();
}

void ERR_TYPE::add_library_codes() {
    uint32_t code = 0;
    for (const char* message : library_messages)
        add_error(code++, message);
}

bool ERR_TYPE::add_error(uint32_t code, const char* message) {
    if (count < 0 || count >= max_errors) {
        write_log("GENERR - add_error(): Maximum number of errors %d exceeded!", max_errors);
        return false;
    }
    ERR_RECORD& record = records[count];
    record.code = code;
    record.message.reset(create_ptr(message));
    ++count;
    return true;
}

int32_t ERR_TYPE::find_error(uint32_t code) const {
    const int32_t used = count < max_errors ? count : max_errors;
    for (int32_t index = 0; index < used; ++index) {
        if (records[index].code == code)
            return index;
    }
    return -1;
}

const char* ERR_TYPE::get_error_msg(uint32_t code) const {
    const int32_t index = find_error(code);
    if (index < 0) {
        write_log("Error code %u not found", code);
        return "Specified Error code not found.";
    }
    // An entry added with a null message still must not hand out null.
    const char* message = records[index].message.get();
    return message != nullptr ? message : "";
}

void ERR_TYPE::clear_errors() {
    for (ERR_RECORD& record : records)
        record.release();
    count = 0;
}

void ERR_TYPE::critical_error(const char* message, const char* detail_format, ...) {
    const int system_error = errno;
    va_list arguments;
    va_start(arguments, detail_format);
    report_and_exit(system_error, message, detail_format, arguments);
}

void ERR_TYPE::fatal_error(uint32_t code, const char* detail_format, ...) {
    const int system_error = errno;
    // 255 characters of detail at most: a longer text (a long path) is cut
    // rather than allowed to run past the buffer.
    char detail[256] = {};
    if (detail_format != nullptr) {
        va_list arguments;
        va_start(arguments, detail_format);
        std::vsnprintf(detail, sizeof(detail), detail_format, arguments);
        va_end(arguments);
    }
    const char* message = get_error_msg(code);
    errno = system_error;
    critical_error(message, "%s", detail);
}

void generr_register() {
    if (generr_registered)
        return;
    generr_registered =
        program_registry.add_program("GENERR", "0.2a", ostrel_author_credit, "28 Nov 1998");
}
