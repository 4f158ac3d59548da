// GENSTRIN: operations on zero-terminated texts, character tests and bit
// operations. Sizes count characters; a destination holds size + 1 bytes.
#pragma once

#include <cstdint>

#include "platform/COMPILER.h"

// At most n characters, then a terminator (so n + 1 bytes). Null arguments:
// nothing happens, no code.
char* bounded_copy(char* destination, const char* source, uint32_t n);
char* bounded_copy_min(char* destination, const char* source, uint32_t n1, uint32_t n2);

// First character that is neither blank nor tab (or the terminator).
char* trim_left(char* text);
const char* trim_left(const char* text);
// Cuts trailing blanks and tabs in place.
char* trim_right(char* text);

// First place of `pattern` in `text`, ASCII case ignored; nullptr when absent
// (an empty pattern is never found).
const char* str_find_nocase(const char* text, const char* pattern);
// Difference of the upper-case forms at the first mismatch within n; 0 equal.
int32_t str_compare_nocase_n(const char* a, const char* b, uint32_t n);
// True when both texts are equal, ASCII case ignored (false for a nullptr).
bool str_equal_nocase(const char* a, const char* b);

char* str_lower(char* text);
char* str_upper(char* text);

bool str_insert_char(char* text, uint32_t position, char c);
bool str_append_char(char* text, char c);
bool str_delete_char(char* text, uint32_t position);
bool str_chop(char* text);
int32_t str_last_separator(const char* text);
// 1,025 zero bytes from create_ptr, formatted into (at most 1,024 characters).
char* str_create_formatted(const char* format, ...) OSTREL_PRINTF(1, 2);
// Needs 14 bytes for the largest value.
char* comma_number(uint32_t value, char* buffer);
char* str_capitalize_words(char* text);
int32_t find_bytes(const void* buffer, const void* pattern, uint32_t buffer_length,
                   uint32_t pattern_length, uint32_t start);
int32_t find_bytes_nocase(const void* buffer, const void* pattern, uint32_t buffer_length,
                          uint32_t pattern_length, uint32_t start);
uint32_t first_line_length(const char* text);
uint32_t longest_line_length(const char* text);
uint32_t count_lines(const char* text);
uint16_t ushort_to_text(uint16_t value, char* buffer);

bool is_comment_char(char c);
bool is_printable(char c);
bool is_separator(char c);
bool is_punctuation(char c);

uint32_t bit_mask32(int32_t bit);
uint16_t bit_mask16(int32_t bit);
int32_t sign_of(int32_t value);
void swap_values(int32_t& a, int32_t& b);

void genstrin_register();
