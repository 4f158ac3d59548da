// GENERR: the shared last-error code, the table of error messages, and the
// critical error report that ends the run.
#pragma once

#include <cstdint>

#include "lib/GENMEM.h"
#include "platform/COMPILER.h"

// The most recent recorded failure; 0 at start. Success never clears it.
extern uint32_t err_code;

// Tag for the constructors of the library's static objects: they are built
// by constant initialisation (so they exist before any code runs) and filled
// by the library's start-up sequence in a fixed order.
struct static_init_t {
    explicit constexpr static_init_t() = default;
};
constexpr static_init_t static_init{};

struct ERR_RECORD {
    uint32_t code = 0;
    owned_ptr<char> message;

    void release() {
        message.reset();
        code = 0;
    }
};

class ERR_TYPE {
public:
    static constexpr int max_errors = 50;

    ERR_TYPE();  // count 0, then the library's codes 0 to 15
    constexpr explicit ERR_TYPE(static_init_t) {}
    ~ERR_TYPE();
    ERR_TYPE(const ERR_TYPE&) = delete;
    ERR_TYPE& operator=(const ERR_TYPE&) = delete;

    // Adds the library's codes 0 to 15 in ascending order.
    void add_library_codes();

    bool add_error(uint32_t code, const char* message);
    int32_t find_error(uint32_t code) const;
    // Never null; the text stays owned by the table.
    const char* get_error_msg(uint32_t code) const;
    void clear_errors();

    // The report on standard error, then exit(0) through the normal exit
    // path. `message` and `detail_format` may be null.
    [[noreturn]] void critical_error(const char* message, const char* detail_format, ...)
        OSTREL_PRINTF(3, 4);
    // The same for the message of `code`; the detail is formatted into 256
    // bytes (cut when longer) and printed unchanged.
    [[noreturn]] void fatal_error(uint32_t code, const char* detail_format, ...)
        OSTREL_PRINTF(3, 4);

    int32_t count = 0;
    ERR_RECORD records[max_errors];
};

extern ERR_TYPE err_table;

// Convenience for the one-line failure path: sets err_code, returns 0.
inline int fail(uint32_t code) {
    err_code = code;
    return 0;
}

void generr_register();
