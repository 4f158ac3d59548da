// GENSTRIN: operations on zero-terminated texts, character tests and bit
// operations.
#include "lib/GENSTRIN.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lib/GENERR.h"
#include "lib/GENMEM.h"
#include "lib/GENUTIL.h"

namespace {

bool genstrin_registered = false;

constexpr uint32_t formatted_capacity = 1024;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Upper-case form through the C library, safe for characters above 127.
int upper(char c) {
    return std::toupper(static_cast<unsigned char>(c));
}

int32_t find_in_bytes(const void* buffer, const void* pattern, uint32_t buffer_length,
                      uint32_t pattern_length, uint32_t start, bool ignore_case) {
    if (buffer == nullptr || pattern == nullptr) {
        err_code = 8;
        return -1;
    }
    if (pattern_length == 0 || start > buffer_length)
        return -1;
    if (pattern_length > buffer_length - start)
        return -1;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    const auto* wanted = static_cast<const unsigned char*>(pattern);
    const uint32_t last = buffer_length - pattern_length;
    for (uint32_t at = start; at <= last; ++at) {
        uint32_t i = 0;
        while (i < pattern_length) {
            const int a = ignore_case ? std::toupper(bytes[at + i]) : bytes[at + i];
            const int b = ignore_case ? std::toupper(wanted[i]) : wanted[i];
            if (a != b)
                break;
            ++i;
        }
        // The result is a signed index; a match beyond its range cannot be told.
        if (i == pattern_length)
            return at <= 0x7FFFFFFFu ? static_cast<int32_t>(at) : -1;
    }
    return -1;
}

}  // namespace

char* bounded_copy(char* destination, const char* source, uint32_t n) {
    if (destination == nullptr || source == nullptr)
        return destination;
    uint32_t i = 0;
    for (; i < n && source[i] != '\0'; ++i)
        destination[i] = source[i];
    destination[i] = '\0';
    return destination;
}

char* bounded_copy_min(char* destination, const char* source, uint32_t n1, uint32_t n2) {
    return bounded_copy(destination, source, n1 < n2 ? n1 : n2);
}

char* trim_left(char* text) {
    if (text == nullptr) {
        err_code = 8;
        return nullptr;
    }
    while (is_blank(*text))
        ++text;
    return text;
}

const char* trim_left(const char* text) {
    return trim_left(const_cast<char*>(text));
}

char* trim_right(char* text) {
    if (text == nullptr) {
        err_code = 8;
        return nullptr;
    }
    size_t end = std::strlen(text);
    while (end > 0 && is_blank(text[end - 1]))
        --end;
    text[end] = '\0';
    return text;
}

const char* str_find_nocase(const char* text, const char* pattern) {
    if (text == nullptr || pattern == nullptr) {
        err_code = 8;
        return nullptr;
    }
    if (pattern[0] == '\0')
        return nullptr;
    const char* start = text;
    size_t k = 0;
    for (const char* at = text; *at != '\0';) {
        if (upper(*at) == upper(pattern[k])) {
            if (k == 0)
                start = at;
            ++k;
            if (pattern[k] == '\0')
                return start;
            ++at;
        } else if (k > 0) {
            // Resume one character after the start of the partial match, so
            // "ana" is found in "bananas" at 1 and overlapping starts count.
            at = start + 1;
            k = 0;
        } else {
            ++at;
        }
    }
    return nullptr;
}

int32_t str_compare_nocase_n(const char* a, const char* b, uint32_t n) {
    if (a == nullptr || b == nullptr) {
        err_code = 8;
        return 0;
    }
    uint32_t i = 0;
    for (; a[i] != '\0' && b[i] != '\0'; ++i) {
        if (i >= n)
            return 0;
        if (upper(a[i]) != upper(b[i]))
            return upper(a[i]) - upper(b[i]);
    }
    if (i >= n)
        return 0;
    return upper(a[i]) - upper(b[i]);
}

bool str_equal_nocase(const char* a, const char* b) {
    // Without a bound the comparison runs to the end of the shorter text,
    // where a longer one differs from its NUL.
    return a != nullptr && b != nullptr && str_compare_nocase_n(a, b, UINT32_MAX) == 0;
}

char* str_lower(char* text) {
    if (text == nullptr) {
        err_code = 8;
        return nullptr;
    }
    for (char* c = text; *c != '\0'; ++c) {
        if (*c >= 'A' && *c <= 'Z')
            *c = static_cast<char>(*c + 32);
    }
    return text;
}

char* str_upper(char* text) {
    if (text == nullptr) {
        err_code = 8;
        return nullptr;
    }
    for (char* c = text; *c != '\0'; ++c) {
        if (*c >= 'a' && *c <= 'z')
            *c = static_cast<char>(*c - 32);
    }
    return text;
}

bool str_insert_char(char* text, uint32_t position, char c) {
    if (text == nullptr) {
        err_code = 8;
        return false;
    }
    const size_t length = std::strlen(text);
    if (position > length) {
        err_code = 9;
        return false;
    }
    std::memmove(text + position + 1, text + position, length - position + 1);
    text[position] = c;
    return true;
}

bool str_append_char(char* text, char c) {
    if (text == nullptr) {
        err_code = 8;
        return false;
    }
    const size_t length = std::strlen(text);
    text[length] = c;
    text[length + 1] = '\0';
    return true;
}

bool str_delete_char(char* text, uint32_t position) {
    if (text == nullptr) {
        err_code = 8;
        return false;
    }
    const size_t length = std::strlen(text);
    if (position > length) {
        err_code = 9;
        return false;
    }
    if (position < length)
        std::memmove(text + position, text + position + 1, length - position);
    return true;
}

bool str_chop(char* text) {
    if (text == nullptr) {
        err_code = 8;
        return false;
    }
    const size_t length = std::strlen(text);
    if (length == 0)
        return false;
    text[length - 1] = '\0';
    return true;
}

int32_t str_last_separator(const char* text) {
    if (text == nullptr) {
        err_code = 8;
        return -1;
    }
    int32_t last = -1;
    for (int32_t i = 0; text[i] != '\0' && i < 0x7FFFFFFF; ++i) {
        if (is_separator(text[i]))
            last = i;
    }
    return last;
}

char* str_create_formatted(const char* format, ...) {
    if (format == nullptr) {
        err_code = 8;
        return nullptr;
    }
    auto* text = static_cast<char*>(create_ptr(formatted_capacity + 1));
    va_list arguments;
    va_start(arguments, format);
    // A longer result is cut at 1,024 characters instead of overrunning.
    std::vsnprintf(text, formatted_capacity + 1, format, arguments);
    va_end(arguments);
    return text;
}

char* comma_number(uint32_t value, char* buffer) {
    if (buffer == nullptr) {
        err_code = 8;
        return nullptr;
    }
    const unsigned v = value;
    if (v >= 1000000000u) {
        std::snprintf(buffer, 14, "%u,%03u,%03u,%03u", v / 1000000000u,
                      (v % 1000000000u) / 1000000u, (v % 1000000u) / 1000u, v % 1000u);
    } else if (v >= 1000000u) {
        std::snprintf(buffer, 14, "%u,%03u,%03u", v / 1000000u, (v % 1000000u) / 1000u, v % 1000u);
    } else if (v >= 1000u) {
        std::snprintf(buffer, 14, "%u,%03u", v / 1000u, v % 1000u);
    } else {
        std::snprintf(buffer, 14, "%u", v);
    }
    return buffer;
}

char* str_capitalize_words(char* text) {
    if (text == nullptr) {
        err_code = 8;
        return nullptr;
    }
    bool word_start = true;
    for (char* c = text; *c != '\0'; ++c) {
        if (is_blank(*c)) {
            word_start = true;
        } else {
            if (word_start)
                *c = static_cast<char>(upper(*c));
            word_start = false;
        }
    }
    return text;
}

int32_t find_bytes(const void* buffer, const void* pattern, uint32_t buffer_length,
                   uint32_t pattern_length, uint32_t start) {
    return find_in_bytes(buffer, pattern, buffer_length, pattern_length, start, false);
}

int32_t find_bytes_nocase(const void* buffer, const void* pattern, uint32_t buffer_length,
                          uint32_t pattern_length, uint32_t start) {
    return find_in_bytes(buffer, pattern, buffer_length, pattern_length, start, true);
}

uint32_t first_line_length(const char* text) {
    if (text == nullptr) {
        err_code = 8;
        return 0;
    }
    uint32_t length = 0;
    while (text[length] != '\0' && text[length] != '\n')
        ++length;
    err_code = 0;
    return length;
}

uint32_t longest_line_length(const char* text) {
    if (text == nullptr) {
        err_code = 8;
        return 0;
    }
    uint32_t longest = 0;
    uint32_t current = 0;
    for (const char* c = text;; ++c) {
        if (*c == '\n' || *c == '\0') {
            if (current > longest)
                longest = current;
            current = 0;
            if (*c == '\0')
                break;
        } else {
            ++current;
        }
    }
    return longest;
}

uint32_t count_lines(const char* text) {
    if (text == nullptr) {
        err_code = 8;
        return 0;
    }
    uint32_t lines = 1;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\n')
            ++lines;
    }
    return lines;
}

uint16_t ushort_to_text(uint16_t value, char* buffer) {
    if (buffer == nullptr) {
        err_code = 8;
        return 65535;
    }
    char digits[5];
    uint16_t count = 0;
    unsigned rest = value;
    do {
        digits[count++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    for (uint16_t i = 0; i < count; ++i)
        buffer[i] = digits[count - 1 - i];
    buffer[count] = '\0';
    err_code = 0;
    return count;
}

bool is_comment_char(char c) {
    return c == ';' || c == '#';
}

bool is_printable(char c) {
    const auto code = static_cast<unsigned char>(c);
    return code >= 32 && code <= 126;
}

bool is_separator(char c) {
    return c == ' ' || c == '-' || c == '/' || c == '\\';
}

bool is_punctuation(char c) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 252)
        return true;
    return c != '\0' && std::strchr(".,;: ?!()[]-'`\"", c) != nullptr;
}

uint32_t bit_mask32(int32_t bit) {
    if (bit < 0 || bit > 31) {
        err_code = 15;
        return 0;
    }
    return uint32_t{1} << bit;
}

uint16_t bit_mask16(int32_t bit) {
    if (bit < 0 || bit > 15) {
        err_code = 15;
        return 0;
    }
    return static_cast<uint16_t>(1u << bit);
}

int32_t sign_of(int32_t value) {
    return value > 0 ? 1 : (value < 0 ? -1 : 0);
}

void swap_values(int32_t& a, int32_t& b) {
    const int32_t kept = a;
    a = b;
    b = kept;
}

void genstrin_register() {
    if (genstrin_registered)
        return;
    genstrin_registered =
        program_registry.add_program("GENSTRIN", "0.3b", ostrel_author_credit, "28 November 1998");
}
