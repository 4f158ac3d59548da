#include "lib/GENSTRIN.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lib/GENERR.h"
#include "lib/GENMEM.h"

namespace {

TEST(BoundedCopy, CopiesAtMostNAndTerminates) {
    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(bounded_copy(buffer, "abcdef", 3), buffer);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], '#');  // no padding behind the terminator

    bounded_copy(buffer, "abcdef", 0);
    EXPECT_STREQ(buffer, "");

    bounded_copy(buffer, "ab", 5);
    EXPECT_STREQ(buffer, "ab");

    err_code = 0;
    std::strcpy(buffer, "keep");
    EXPECT_EQ(bounded_copy(buffer, nullptr, 3), buffer);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(bounded_copy(nullptr, "x", 3), nullptr);
    bounded_copy_min(buffer, "abcdef", 5, 2);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(err_code, 0u);
}

TEST(Trim, BlanksAndTabsOnly) {
    char blanks[] = " \t \t";
    EXPECT_EQ(trim_left(blanks), blanks + 4);
    EXPECT_STREQ(trim_right(blanks), "");

    char text[] = " \ta b \t";
    EXPECT_STREQ(trim_left(text), "a b \t");
    EXPECT_STREQ(trim_right(text), " \ta b");

    char newline[] = "x\n";
    EXPECT_STREQ(trim_right(newline), "x\n");  // only blanks and tabs count

    err_code = 0;
    EXPECT_EQ(trim_left(static_cast<char*>(nullptr)), nullptr);
    EXPECT_EQ(err_code, 8u);
    err_code = 0;
    EXPECT_EQ(trim_right(nullptr), nullptr);
    EXPECT_EQ(err_code, 8u);
}

TEST(FindNoCase, RestartsAfterPartialMatch) {
    const char name[] = "TEXBSI.PCX";
    EXPECT_EQ(str_find_nocase(name, ".pcx"), name + 6);
    const char fruit[] = "bananas";
    EXPECT_EQ(str_find_nocase(fruit, "ana"), fruit + 1);
    const char overlap[] = "aab";
    EXPECT_EQ(str_find_nocase(overlap, "ab"), overlap + 1);
    EXPECT_EQ(str_find_nocase("abc", ""), nullptr);
    EXPECT_EQ(str_find_nocase("ab", "abc"), nullptr);
    const char option[] = "/xhelpx";
    EXPECT_EQ(str_find_nocase(option, "HELP"), option + 2);
    err_code = 0;
    EXPECT_EQ(str_find_nocase(nullptr, "a"), nullptr);
    EXPECT_EQ(err_code, 8u);
}

TEST(CompareNoCaseN, Cases) {
    struct {
        const char* a;
        const char* b;
        uint32_t n;
        int sign;
    } cases[] = {
        {"I:", "i:3", 2, 0},   {"abc", "abd", 2, 0}, {"abc", "abd", 3, -1}, {"abc", "ABC", 10, 0},
        {"ab", "abc", 10, -1}, {"abc", "ab", 10, 1}, {"a_", "aZ", 2, 1},    {"x", "y", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        const int32_t result = str_compare_nocase_n(c.a, c.b, c.n);
        EXPECT_EQ((result > 0) - (result < 0), c.sign);
    }
    err_code = 0;
    EXPECT_EQ(str_compare_nocase_n(nullptr, "a", 1), 0);
    EXPECT_EQ(err_code, 8u);
}

TEST(EqualNoCase, WholeTextsOnly) {
    struct {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"2png", "2PNG", true}, {".PnG", ".png", true}, {"", "", true},
        {"sky", "sky01", false}, {"sky01", "sky", false}, {"a_b", "a/b", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(str_equal_nocase(c.a, c.b), c.equal);
    }
    EXPECT_FALSE(str_equal_nocase(nullptr, ""));
    EXPECT_FALSE(str_equal_nocase("", nullptr));
}

TEST(CaseChange, AsciiLettersOnly) {
    char name[] = "TEXBSI.301-\xC4";
    EXPECT_STREQ(str_lower(name), "texbsi.301-\xC4");
    EXPECT_STREQ(str_upper(name), "TEXBSI.301-\xC4");
    char words[] = "a bc\tdef  ";
    EXPECT_STREQ(str_capitalize_words(words), "A Bc\tDef  ");
    err_code = 0;
    EXPECT_EQ(str_lower(nullptr), nullptr);
    EXPECT_EQ(err_code, 8u);
}

TEST(CharEdits, InsertAppendDeleteChop) {
    char text[8] = "abc";
    err_code = 0;
    EXPECT_TRUE(str_delete_char(text, 1));
    EXPECT_STREQ(text, "ac");
    EXPECT_TRUE(str_delete_char(text, 2));
    EXPECT_STREQ(text, "ac");
    EXPECT_FALSE(str_delete_char(text, 4));
    EXPECT_EQ(err_code, 9u);

    EXPECT_TRUE(str_insert_char(text, 1, 'b'));
    EXPECT_TRUE(str_insert_char(text, 3, 'd'));
    EXPECT_STREQ(text, "abcd");
    err_code = 0;
    EXPECT_FALSE(str_insert_char(text, 5, 'x'));
    EXPECT_EQ(err_code, 9u);
    EXPECT_TRUE(str_append_char(text, 'e'));
    EXPECT_STREQ(text, "abcde");

    EXPECT_TRUE(str_chop(text));
    EXPECT_STREQ(text, "abcd");
    char empty[1] = "";
    err_code = 0;
    EXPECT_FALSE(str_chop(empty));
    EXPECT_EQ(err_code, 0u);
}

TEST(Numbers, CommaNumberAndUshortToText) {
    struct {
        uint32_t value;
        const char* text;
    } commas[] = {{0, "0"},
                  {999, "999"},
                  {1000, "1,000"},
                  {1000000, "1,000,000"},
                  {1002003, "1,002,003"},
                  {4294967295u, "4,294,967,295"}};
    for (const auto& c : commas) {
        char buffer[14];
        EXPECT_STREQ(comma_number(c.value, buffer), c.text);
    }
    char buffer[6];
    err_code = 5;
    EXPECT_EQ(ushort_to_text(0, buffer), 1);
    EXPECT_STREQ(buffer, "0");
    EXPECT_EQ(err_code, 0u);
    EXPECT_EQ(ushort_to_text(65535, buffer), 5);
    EXPECT_STREQ(buffer, "65535");
    EXPECT_EQ(ushort_to_text(1, nullptr), 65535);
    EXPECT_EQ(err_code, 8u);
}

TEST(Lines, LengthsAndCounts) {
    EXPECT_EQ(longest_line_length("ab\ncde\nf"), 3u);
    EXPECT_EQ(count_lines("ab\ncde\nf"), 3u);
    EXPECT_EQ(count_lines(""), 1u);
    err_code = 4;
    EXPECT_EQ(first_line_length("ab\ncde"), 2u);
    EXPECT_EQ(err_code, 0u);
    EXPECT_EQ(first_line_length(nullptr), 0u);
    EXPECT_EQ(err_code, 8u);
}

TEST(FindBytes, BoundsAndCase) {
    const uint8_t data[] = {'x', 'A', 'b', 0, 'a', 'B'};
    EXPECT_EQ(find_bytes(data, "ab", 6, 2, 0), -1);
    EXPECT_EQ(find_bytes(data, "aB", 6, 2, 0), 4);
    EXPECT_EQ(find_bytes_nocase(data, "ab", 6, 2, 0), 1);
    EXPECT_EQ(find_bytes_nocase(data, "ab", 6, 2, 2), 4);
    EXPECT_EQ(find_bytes(data, "B", 6, 1, 6), -1);    // start at the end
    EXPECT_EQ(find_bytes(data, "B", 6, 1, 7), -1);    // start beyond the end
    EXPECT_EQ(find_bytes(data, "aBx", 6, 3, 4), -1);  // pattern longer than the rest
    EXPECT_EQ(find_bytes(data, "", 6, 0, 0), -1);     // empty pattern
    const uint8_t zero = 0;
    EXPECT_EQ(find_bytes(data, &zero, 6, 1, 0), 3);
    err_code = 0;
    EXPECT_EQ(find_bytes(nullptr, "a", 6, 1, 0), -1);
    EXPECT_EQ(err_code, 8u);
}

TEST(Formatted, AllocatesAndCuts) {
    owned_ptr<char> text(str_create_formatted("%s-%04d", "img", 7));
    EXPECT_STREQ(text.get(), "img-0007");
    const std::string long_text(2000, 'z');
    owned_ptr<char> cut(str_create_formatted("%s", long_text.c_str()));
    EXPECT_EQ(std::strlen(cut.get()), 1024u);
    err_code = 0;
    EXPECT_EQ(str_create_formatted(nullptr), nullptr);
    EXPECT_EQ(err_code, 8u);
}

TEST(CharacterTests, Classes) {
    EXPECT_TRUE(is_comment_char(';'));
    EXPECT_TRUE(is_comment_char('#'));
    EXPECT_FALSE(is_comment_char('/'));
    EXPECT_TRUE(is_printable(' '));
    EXPECT_TRUE(is_printable('~'));
    EXPECT_FALSE(is_printable('\x7F'));
    EXPECT_FALSE(is_printable('\xE9'));
    for (char c : std::string(" -/\\"))
        EXPECT_TRUE(is_separator(c)) << c;
    EXPECT_FALSE(is_separator('_'));
    for (char c : std::string(".,;: ?!()[]-'`\"\xFC\xFF"))
        EXPECT_TRUE(is_punctuation(c)) << c;
    EXPECT_FALSE(is_punctuation('a'));
    EXPECT_FALSE(is_punctuation('\0'));
    EXPECT_FALSE(is_punctuation('\xFB'));
    EXPECT_EQ(str_last_separator("c:\\a b-c"), 6);
    EXPECT_EQ(str_last_separator("abc"), -1);
}

TEST(Bits, MasksSignsAndSwap) {
    err_code = 0;
    EXPECT_EQ(bit_mask32(0), 1u);
    EXPECT_EQ(bit_mask32(31), 0x80000000u);
    EXPECT_EQ(err_code, 0u);
    EXPECT_EQ(bit_mask32(32), 0u);
    EXPECT_EQ(err_code, 15u);
    err_code = 0;
    EXPECT_EQ(bit_mask32(-1), 0u);
    EXPECT_EQ(err_code, 15u);
    EXPECT_EQ(bit_mask16(15), 0x8000u);
    err_code = 0;
    EXPECT_EQ(bit_mask16(16), 0u);
    EXPECT_EQ(err_code, 15u);
    EXPECT_EQ(sign_of(-7), -1);
    EXPECT_EQ(sign_of(0), 0);
    EXPECT_EQ(sign_of(INT32_MIN), -1);
    int32_t a = 3, b = 4;
    swap_values(a, b);
    EXPECT_EQ(a, 4);
    EXPECT_EQ(b, 3);
    swap_values(a, a);
    EXPECT_EQ(a, 4);
}

}  // namespace
