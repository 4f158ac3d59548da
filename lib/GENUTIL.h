// GENUTIL: the registry of the library's modules, the start-up hook, and the
// library's start-up sequence.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "lib/GENERR.h"
#include "lib/GENMEM.h"

// The author credit that every module record carries.
extern const char* const ostrel_author_credit;

struct PROG_RECORD {
    owned_ptr<char> name;
    owned_ptr<char> version;
    owned_ptr<char> author;
    owned_ptr<char> date;

    PROG_RECORD() = default;
    PROG_RECORD(const char* name, const char* version, const char* author, const char* date);
    void release();
};

class REG_TYPE {
public:
    static constexpr int max_programs = 20;
    static constexpr uint32_t list_name = 1, list_version = 2, list_date = 4, list_author = 8;

    REG_TYPE();  // runs init
    // The state of the registry's storage before its constructor has run:
    // not initialised, so the first add_program runs init itself.
    constexpr explicit REG_TYPE(static_init_t) {}
    ~REG_TYPE();
    REG_TYPE(const REG_TYPE&) = delete;
    REG_TYPE& operator=(const REG_TYPE&) = delete;

    void init();
    bool add_program(const char* name, const char* version, const char* author, const char* date);
    bool add_current_program(const char* name, const char* version, const char* author,
                             const char* date);
    PROG_RECORD* get_program(int32_t index);
    PROG_RECORD* get_current_program();
    bool list_programs(FILE* stream, uint32_t flags);
    void clear_programs();

    int32_t initialised = 0;
    std::unique_ptr<PROG_RECORD> programs[max_programs];
    int32_t count = 0;
    int32_t current = 0;  // init sets -1 before the first record
};

extern REG_TYPE program_registry;

// Runs the library's start-up steps once, in their fixed order: FILEUTIL
// registers (which initialises the registry with GENUTIL first), the error
// table gets codes 0 to 15, GENERR, GENMEM and GENSTRIN register, then the
// registry's constructor step. Every INIT_TYPE hook runs it first, and so
// does a static object of GENUTIL, so the order never depends on the order
// in which source files are initialised.
void library_startup();

// A start-up hook: runs the library's start-up, then `function` (if any).
class INIT_TYPE {
public:
    explicit INIT_TYPE(void (*function)());
};
