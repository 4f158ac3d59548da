// GENCFG: named configuration variables bound to the program's own storage,
// filled from a file of "name = value" lines.
#pragma once

#include <cstdint>
#include <memory>

#include "lib/GENMEM.h"

enum : int32_t {
    CFG_CHAR = 1,
    CFG_SHORT = 2,
    CFG_INT = 3,
    CFG_LONG = 4,
    CFG_FLOAT = 5,
    CFG_STRING = 6,
    CFG_BOOLEAN = 7,
};

struct CFG_PARAM {
    void* storage = nullptr;  // the caller's; never released here
    int32_t type = 0;
    uint32_t size = 0;

    int set_value(const char* text);
    void clear() {
        storage = nullptr;
        type = 0;
        size = 0;
    }
};

class CFG_VAR {
public:
    static constexpr int max_params = 10;

    int set_name(const char* name);
    int add_param(void* storage, int32_t type, uint32_t size);
    int set_param(int32_t index, const char* text);
    void clear();

    owned_ptr<char> name;
    CFG_PARAM parameters[max_params];
    int32_t count = 0;
};

class CFG_FILE {
public:
    static constexpr int max_vars = 100;
    static constexpr int max_line = 255;

    constexpr CFG_FILE() = default;
    CFG_FILE(const CFG_FILE&) = delete;
    CFG_FILE& operator=(const CFG_FILE&) = delete;

    CFG_VAR* add_var(const char* name, void* storage, int32_t type, uint32_t size);
    CFG_VAR* find_var(const char* name);
    int parse_file(const char* file_name);

    std::unique_ptr<CFG_VAR> variables[max_vars];
    int32_t count = 0;

    // The first line of the last parse_file whose value did not fit: a line
    // longer than max_line that sets a variable, or a text longer than the
    // string slot it goes to. The value is stored cut, as before; a caller
    // to whom a cut value is a wrong value (a directory) refuses it.
    // 0 when every value fitted.
    int32_t cut_line = 0;
    char cut_name[max_line + 1] = {};  // the variable of that line
};

// The program's one configuration table.
extern CFG_FILE cfg_file;
