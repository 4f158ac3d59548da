// GENCFG: named configuration variables bound to the program's own storage,
// filled from a file of "name = value" lines.
#include "lib/GENCFG.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "lib/GENSTRIN.h"

// Built empty by constant initialisation, before any code runs.
CFG_FILE cfg_file;

namespace {

// Decimal integer conversion: leading white space, an optional sign, then
// digits up to the first other character; no digits gives 0. Values beyond
// the 32-bit range stop at its ends, as the C library's 32-bit conversions
// do, instead of wrapping into an unrelated number.
int32_t to_integer(const char* text) {
    const auto* c = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*c))
        ++c;
    bool negative = false;
    if (*c == '+' || *c == '-')
        negative = *c++ == '-';
    int64_t magnitude = 0;
    constexpr int64_t limit = int64_t{INT32_MAX} + 1;
    for (; *c >= '0' && *c <= '9'; ++c) {
        if (magnitude < limit)
            magnitude = magnitude * 10 + (*c - '0');
    }
    if (magnitude > limit)
        magnitude = limit;
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX)
        return INT32_MAX;
    return static_cast<int32_t>(value);
}

// Decimal floating-point conversion: an optional sign, digits, an optional
// fraction and an optional exponent. Only that decimal form is read (no
// "inf", "nan" or hexadecimal forms). Beyond the single-precision range the
// result is plus or minus infinity; below it, zero.
float to_float(const char* text) {
    const char* c = text;
    while (std::isspace(static_cast<unsigned char>(*c)))
        ++c;
    const char* start = c;
    if (*c == '+' || *c == '-')
        ++c;
    // strtof would read a hexadecimal number; the decimal reading of "0x10"
    // stops after the 0.
    if (c[0] == '0' && (c[1] == 'x' || c[1] == 'X'))
        return 0.0f;
    const char* digits = c;
    while (std::isdigit(static_cast<unsigned char>(*c)))
        ++c;
    bool any_digit = c != digits;
    if (*c == '.') {
        const char* fraction = ++c;
        while (std::isdigit(static_cast<unsigned char>(*c)))
            ++c;
        any_digit = any_digit || c != fraction;
    }
    // Without a digit there is no number ("inf" and "nan" included).
    if (!any_digit)
        return 0.0f;
    // From here the decimal form and strtof's agree on where the number ends.
    return std::strtof(start, nullptr);
}

template <class T>
void store(void* storage, T value) {
    std::memcpy(storage, &value, sizeof(value));
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Cuts the parameter that starts at `text` at its first comma outside
// double quotes; returns where the next parameter starts, or the terminator.
char* cut_parameter(char* text) {
    bool quoted = false;
    char* c = text;
    for (; *c != '\0'; ++c) {
        if (*c == '"') {
            quoted = !quoted;
        } else if (*c == ',' && !quoted) {
            *c = '\0';
            return trim_left(c + 1);
        }
    }
    return c;
}

// Trailing blanks, then one leading and one trailing double quote.
char* unquote(char* parameter) {
    trim_right(parameter);
    if (*parameter == '"')
        ++parameter;
    const size_t length = std::strlen(parameter);
    if (length > 0 && parameter[length - 1] == '"')
        parameter[length - 1] = '\0';
    return parameter;
}

void note_cut(CFG_FILE& table, const char* name, int line_number) {
    if (table.cut_line != 0)
        return;
    table.cut_line = line_number;
    bounded_copy(table.cut_name, name, CFG_FILE::max_line);
}

bool longer_than_slot(const CFG_PARAM& slot, const char* text) {
    return slot.type == CFG_STRING && std::strlen(text) > slot.size;
}

// `cut`: the line was longer than the buffer and holds only its start. Its
// value lost something unless a comment had begun before the cut.
void parse_line(CFG_FILE& table, char* line, int line_number, bool cut) {
    if (char* comment = std::strchr(line, '#')) {
        *comment = '\0';
        cut = false;
    }
    char* content = trim_left(line);
    if (*content == '\0')
        return;
    char* equals = std::strchr(content, '=');
    if (equals == nullptr) {
        write_log("   %d: No '=' found!", line_number);
        return;
    }
    *equals = '\0';
    const char* name = trim_right(content);
    CFG_VAR* variable = table.find_var(name);
    if (variable == nullptr) {
        write_log("   %d: Variable '%s' not found!", line_number, name);
        return;
    }
    if (cut)
        note_cut(table, name, line_number);
    char* rest = trim_left(equals + 1);
    int32_t slot = 0;
    while (*rest != '\0' && slot < variable->count) {
        char* parameter = rest;
        rest = cut_parameter(parameter);
        parameter = unquote(parameter);
        if (longer_than_slot(variable->parameters[slot], parameter))
            note_cut(table, name, line_number);
        // A slot that cannot take a value ends the line quietly.
        if (!variable->set_param(slot, parameter))
            return;
        ++slot;
    }
    while (is_blank(*rest))
        ++rest;
    if (*rest != '\0') {
        write_log("   %d: Number of parameters on line exceeds maximum of %d!", line_number,
                  variable->count);
    }
}

}  // namespace

int CFG_PARAM::set_value(const char* text) {
    if (text == nullptr || storage == nullptr || type == 0)
        return fail(8);
    switch (type) {
        case CFG_CHAR:
            store<char>(storage, text[0]);
            break;
        case CFG_SHORT:
            // The low 16 bits, by definition of the type.
            store<int16_t>(storage, static_cast<int16_t>(static_cast<uint16_t>(
                                        static_cast<uint32_t>(to_integer(text)))));
            break;
        case CFG_INT:
        case CFG_LONG:
            store<int32_t>(storage, to_integer(text));
            break;
        case CFG_FLOAT:
            store<float>(storage, to_float(text));
            break;
        case CFG_STRING:
            bounded_copy(static_cast<char*>(storage), text, size);
            break;
        case CFG_BOOLEAN: {
            int32_t value = 0;
            if (str_compare_nocase_n(text, "TRUE", 5) == 0) {
                value = 1;
            } else if (str_compare_nocase_n(text, "FALSE", 6) == 0) {
                value = 0;
            } else {
                value = to_integer(text) != 0 ? 1 : 0;
            }
            store<int32_t>(storage, value);
            break;
        }
        default:
            // Unknown types are accepted and store nothing.
            break;
    }
    return 1;
}

int CFG_VAR::set_name(const char* new_name) {
    if (new_name == nullptr)
        return fail(8);
    name.reset(create_ptr(new_name));
    return 1;
}

int CFG_VAR::add_param(void* storage, int32_t type, uint32_t size) {
    if (storage == nullptr)
        return fail(8);
    if (count < 0 || count >= max_params)
        return fail(7);
    CFG_PARAM& parameter = parameters[count];
    parameter.storage = storage;
    parameter.type = type;
    switch (type) {
        case CFG_CHAR:
            parameter.size = 1;
            break;
        case CFG_SHORT:
            parameter.size = 2;
            break;
        case CFG_INT:
        case CFG_LONG:
        case CFG_FLOAT:
        case CFG_BOOLEAN:
            parameter.size = 4;
            break;
        case CFG_STRING:
            parameter.size = size;
            break;
        default:
            parameter.size = 0;
            break;
    }
    ++count;
    return 1;
}

int CFG_VAR::set_param(int32_t index, const char* text) {
    if (index < 0 || index >= count || index >= max_params)
        return fail(5);
    if (text == nullptr)
        return fail(8);
    return parameters[index].set_value(text);
}

void CFG_VAR::clear() {
    for (int32_t i = 0; i < count && i < max_params; ++i)
        parameters[i].clear();
    name.reset();
    count = 0;
}

CFG_VAR* CFG_FILE::add_var(const char* name, void* storage, int32_t type, uint32_t size) {
    if (name == nullptr || storage == nullptr) {
        err_code = 8;
        return nullptr;
    }
    if (count < 0 || count >= max_vars) {
        err_code = 7;
        return nullptr;
    }
    std::unique_ptr<CFG_VAR> variable(new (std::nothrow) CFG_VAR());
    if (!variable) {
        err_table.fatal_error(4, "GENCFG - add_var(): Allocation of %u bytes failed!",
                              static_cast<unsigned>(sizeof(CFG_VAR)));
    }
    variable->set_name(name);
    variable->add_param(storage, type, size);
    variables[count] = std::move(variable);
    return variables[count++].get();
}

CFG_VAR* CFG_FILE::find_var(const char* name) {
    if (name == nullptr) {
        err_code = 8;
        return nullptr;
    }
    for (int32_t i = 0; i < count && i < max_vars; ++i) {
        CFG_VAR* variable = variables[i].get();
        if (variable == nullptr || variable->name == nullptr)
            continue;
        if (str_compare_nocase_n(variable->name.get(), name, 0xFFFFFFFFu) == 0)
            return variable;
    }
    return nullptr;
}

int CFG_FILE::parse_file(const char* file_name) {
    cut_line = 0;
    cut_name[0] = '\0';
    // A FIFO or device (a link to /dev/zero) would hold the run for ever.
    FILE* stream = open_regular(file_name, "rt");
    if (stream == nullptr)
        return 0;
    char line[max_line + 1];
    int line_number = 0;
    for (bool at_end = false; !at_end;) {
        const int result = read_eol(stream, line, max_line);
        at_end = result == read_end;
        // The rest of an over-long line is skipped; the line counts once.
        if (result == read_too_long)
            at_end = read_eol(stream, nullptr, 0) == read_end;
        ++line_number;
        parse_line(*this, line, line_number, result == read_too_long);
    }
    std::fclose(stream);
    return 1;
}
