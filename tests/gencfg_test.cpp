#include "lib/GENCFG.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "lib/GENERR.h"
#include "lib_support.h"

namespace {

using libtest::contains;

// Parses `content` as a configuration file; the log lines of the parse.
std::vector<std::string> parse(CFG_FILE& table, const std::string& content, int* result = nullptr) {
    libtest::scoped_log log;
    const std::string path = log.dir().file("ostrel.ini");
    fixture::write_file(path, fixture::bytes(content.begin(), content.end()));
    const int parsed = table.parse_file(path.c_str());
    if (result != nullptr)
        *result = parsed;
    auto lines = log.close();
    // Only the parser's own messages.
    std::vector<std::string> messages;
    for (const std::string& line : lines) {
        if (line.rfind("   ", 0) == 0 && line.rfind("    ", 0) != 0)
            messages.push_back(line);
        if (line.rfind("FILEUTIL - read_eol", 0) == 0)
            messages.push_back(line);
    }
    return messages;
}

struct string_case {
    const char* name;
    std::string line;
    std::string stored;
    std::vector<std::string> messages;
};

TEST(ConfigSyntax, OneStringVariable) {
    const string_case cases[] = {
        {"quoted comma", "name = \"a, b\"\n", "a, b", {}},
        {"unquoted comma",
         "name = a, b\n",
         "a",
         {"   1: Number of parameters on line exceeds maximum of 1!"}},
        {"comment before quote removal", "name = \"a#b\"\n", "a", {}},
        {"case of names ignored", "NAME = x\n", "x", {}},
        {"trailing comma", "name = x,\n", "x", {}},
        {"trailing comma and blanks", "name = x , \t\n", "x", {}},
        {"empty value", "name =   \n", "old", {}},
        {"value with equals signs", "name = a=b=c\n", "a=b=c", {}},
        {"inner blanks of a name", "na me = x\n", "old", {"   1: Variable 'na me' not found!"}},
        {"no name", "=x\n", "old", {"   1: Variable '' not found!"}},
        {"no equals sign", "\n  # comment\n\nname x\n", "old", {"   4: No '=' found!"}},
        {"blanks inside quotes stay", "name=\t\"  x  \"  \n", "  x  ", {}},
        {"independent quote removal", "name = x\"\n", "x", {}},
        {"later line wins", "name = one\nname = two\n", "two", {}},
        {"last line without line feed", "name = last", "last", {}},
        {"CR LF line ends", "# c\r\nname = crlf\r\nbad\r\n", "crlf", {"   3: No '=' found!"}},
        {"NUL byte ends the line's text", std::string("name = ab\0cd\n", 13), "ab", {}},
    };
    for (const string_case& c : cases) {
        SCOPED_TRACE(c.name);
        CFG_FILE table;
        char value[512] = "old";
        ASSERT_NE(table.add_var("name", value, CFG_STRING, 511), nullptr);
        int result = 0;
        EXPECT_EQ(parse(table, c.line, &result), c.messages);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(std::string(value), c.stored);
    }
}

TEST(ConfigSyntax, CrLfReadsLikeLf) {
    const std::string lf =
        "# paths\n"
        "redguard_path = \"c:\\games\\redguard\\\"\n"
        "pcx_path=/home/me/pcx/  \n"
        "unknown = 1\n"
        "\n";
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string results[2][2];
    std::vector<std::string> messages[2];
    for (int i = 0; i < 2; ++i) {
        CFG_FILE table;
        char game[512] = "", pcx[512] = "";
        table.add_var("redguard_path", game, CFG_STRING, 511);
        table.add_var("pcx_path", pcx, CFG_STRING, 511);
        messages[i] = parse(table, i == 0 ? lf : crlf);
        results[i][0] = game;
        results[i][1] = pcx;
    }
    EXPECT_EQ(results[0][0], "c:\\games\\redguard\\");
    EXPECT_EQ(results[0][1], "/home/me/pcx/");
    EXPECT_EQ(results[1][0], results[0][0]);
    EXPECT_EQ(results[1][1], results[0][1]);
    EXPECT_EQ(messages[0], std::vector<std::string>{"   4: Variable 'unknown' not found!"});
    EXPECT_EQ(messages[1], messages[0]);
}

TEST(ConfigSyntax, OverLongLinesAreCutAndCountOnce) {
    CFG_FILE table;
    char value[512] = "";
    char next[512] = "";
    table.add_var("name", value, CFG_STRING, 511);
    table.add_var("next", next, CFG_STRING, 511);
    const std::string long_value(300 - 7, 'v');
    const auto messages = parse(
        table, "name = " + long_value + "\nnext = ok\nbad line\n" + std::string(255, 'x') + "\n");
    EXPECT_EQ(std::string(value), long_value.substr(0, 255 - 7));
    EXPECT_EQ(std::string(next), "ok");
    EXPECT_EQ(messages,
              (std::vector<std::string>{"FILEUTIL - read_eol(): Max string length exceeded, 255!",
                                        "   3: No '=' found!", "   4: No '=' found!"}));
    // The parse tells its caller that a value was cut, and where.
    EXPECT_EQ(table.cut_line, 1);
    EXPECT_EQ(std::string(table.cut_name), "name");
}

// Which lines count as a value that did not fit: one that sets a variable
// and is longer than a line holds, or a text longer than its string slot.
// A long comment or a long line of an unknown name cuts no value.
TEST(ConfigSyntax, ValuesThatDoNotFitAreReported) {
    struct cut_case {
        const char* label;
        std::string content;
        int32_t line;
        std::string name;
    };
    const std::vector<cut_case> cases = {
        {"all fit", "short = abcd\nlong = " + std::string(200, 'x') + "\n", 0, ""},
        {"long comment", "# " + std::string(300, 'c') + "\nshort = ok\n", 0, ""},
        {"long comment behind a value", "long = x # " + std::string(300, 'c') + "\n", 0, ""},
        {"long line of an unknown name", "other = " + std::string(300, 'u') + "\n", 0, ""},
        {"text longer than its slot", "long = x\nshort = abcde\n", 2, "short"},
        {"first of two", "short = abcdef\nlong = " + std::string(300, 'y') + "\n", 1, "short"},
        {"line longer than a line holds", "\n\nlong = " + std::string(300, 'y') + "\n", 3,
         "long"},
    };
    for (const cut_case& c : cases) {
        SCOPED_TRACE(c.label);
        CFG_FILE table;
        char short_value[5] = "";
        char long_value[512] = "";
        table.add_var("short", short_value, CFG_STRING, 4);
        table.add_var("long", long_value, CFG_STRING, 511);
        parse(table, c.content);
        EXPECT_EQ(table.cut_line, c.line);
        EXPECT_EQ(std::string(table.cut_name), c.name);
    }
}

// Only a regular file is read: a FIFO would hold the run until somebody
// writes it, and a device such as /dev/zero has no end of a line.
TEST(ConfigTable, OnlyARegularFileIsRead) {
    CFG_FILE table;
    char value[16] = "kept";
    table.add_var("name", value, CFG_STRING, 15);
    fixture::temp_dir dir;
    std::filesystem::create_directory(dir.file("folder"));
    for (const std::string& path : {std::string("/dev/zero"), dir.file("folder")}) {
        SCOPED_TRACE(path);
        err_code = 0;
        EXPECT_EQ(table.parse_file(path.c_str()), 0);
        EXPECT_EQ(err_code, 1u);
        EXPECT_EQ(std::string(value), "kept");
    }
}

TEST(ConfigTypes, Conversions) {
    CFG_FILE table;
    char c = 'q';
    int16_t s = 0;
    int32_t i = 0, l = 0, b = 9;
    float f = 0;
    char text[4] = "";
    table.add_var("c", &c, CFG_CHAR, 99);
    table.add_var("s", &s, CFG_SHORT, 99);
    table.add_var("i", &i, CFG_INT, 99);
    table.add_var("l", &l, CFG_LONG, 99);
    table.add_var("f", &f, CFG_FLOAT, 99);
    table.add_var("t", text, CFG_STRING, 3);
    table.add_var("b", &b, CFG_BOOLEAN, 99);
    EXPECT_EQ(table.find_var("c")->parameters[0].size, 1u);
    EXPECT_EQ(table.find_var("s")->parameters[0].size, 2u);
    EXPECT_EQ(table.find_var("f")->parameters[0].size, 4u);
    EXPECT_EQ(table.find_var("t")->parameters[0].size, 3u);

    CFG_VAR* var = nullptr;
    auto set = [&](const char* name, const char* value) {
        var = table.find_var(name);
        ASSERT_NE(var, nullptr);
        ASSERT_EQ(var->set_param(0, value), 1) << name << " = " << value;
    };
    set("c", "xyz");
    EXPECT_EQ(c, 'x');
    set("c", "");
    EXPECT_EQ(c, '\0');
    set("s", "65541");
    EXPECT_EQ(s, 5);
    set("s", "-1");
    EXPECT_EQ(s, -1);
    set("i", "  -42abc");
    EXPECT_EQ(i, -42);
    set("i", "abc");
    EXPECT_EQ(i, 0);
    set("i", "99999999999999999999");  // beyond 32 bits: held at the end of the range
    EXPECT_EQ(i, std::numeric_limits<int32_t>::max());
    set("l", "-99999999999999999999");
    EXPECT_EQ(l, std::numeric_limits<int32_t>::min());
    set("l", "-2147483648");
    EXPECT_EQ(l, std::numeric_limits<int32_t>::min());
    set("f", "-1.5e2x");
    EXPECT_FLOAT_EQ(f, -150.0f);
    set("f", ".25");
    EXPECT_FLOAT_EQ(f, 0.25f);
    set("f", "1e999");
    EXPECT_TRUE(std::isinf(f) && f > 0);
    set("f", "nan");
    EXPECT_EQ(f, 0.0f);
    set("f", "-0x10");
    EXPECT_EQ(f, 0.0f);
    const std::string many_digits = std::string(300, '0') + "1.5e1";
    set("f", many_digits.c_str());
    EXPECT_FLOAT_EQ(f, 15.0f);
    set("t", "abcdef");
    EXPECT_STREQ(text, "abc");

    struct {
        const char* text;
        int32_t value;
    } booleans[] = {{"true", 1}, {"TRUE", 1}, {"2", 1},    {"False", 0},
                    {"0", 0},    {"yes", 0},  {"truex", 0}};
    for (const auto& boolean : booleans) {
        b = 9;
        set("b", boolean.text);
        EXPECT_EQ(b, boolean.value) << boolean.text;
    }
}

TEST(ConfigTypes, SeveralSlotsAndUnsettableSlots) {
    CFG_FILE table;
    int32_t x = 0, y = 0, z = 0;
    int32_t dummy = 5;
    CFG_VAR* point = table.add_var("point", &x, CFG_INT, 4);
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(point->add_param(&y, CFG_INT, 4), 1);
    EXPECT_EQ(point->add_param(&z, CFG_INT, 4), 1);
    CFG_VAR* odd = table.add_var("odd", &dummy, 0, 4);
    ASSERT_NE(odd, nullptr);
    odd->add_param(&dummy, CFG_INT, 4);
    CFG_VAR* unknown = table.add_var("unknown", &dummy, 42, 4);
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->parameters[0].size, 0u);

    EXPECT_EQ(parse(table, "point = 1, ,3\nodd = 7, 8\nunknown = 9\npoint = 4,5,6,7\n"),
              std::vector<std::string>{"   4: Number of parameters on line exceeds maximum of 3!"});
    EXPECT_EQ(x, 4);
    EXPECT_EQ(y, 5);
    EXPECT_EQ(z, 6);
    EXPECT_EQ(dummy, 5);  // the type-0 slot fails, so the rest of its line is dropped
}

TEST(ConfigTable, ErrorsAndLimits) {
    CFG_FILE table;
    int32_t storage = 0;
    err_code = 0;
    EXPECT_EQ(table.add_var(nullptr, &storage, CFG_INT, 4), nullptr);
    EXPECT_EQ(err_code, 8u);
    err_code = 0;
    EXPECT_EQ(table.add_var("a", nullptr, CFG_INT, 4), nullptr);
    EXPECT_EQ(err_code, 8u);
    err_code = 0;
    EXPECT_EQ(table.find_var(nullptr), nullptr);
    EXPECT_EQ(err_code, 8u);

    while (table.count < CFG_FILE::max_vars) {
        ASSERT_NE(table.add_var(("v" + std::to_string(table.count)).c_str(), &storage, CFG_INT, 4),
                  nullptr);
    }
    err_code = 0;
    EXPECT_EQ(table.add_var("extra", &storage, CFG_INT, 4), nullptr);
    EXPECT_EQ(err_code, 7u);
    err_code = 0;
    EXPECT_EQ(table.find_var("EXTRA"), nullptr);
    EXPECT_EQ(err_code, 0u);
    EXPECT_EQ(table.find_var("V99"), table.variables[99].get());

    CFG_VAR* var = table.variables[0].get();
    while (var->count < CFG_VAR::max_params)
        ASSERT_EQ(var->add_param(&storage, CFG_INT, 4), 1);
    EXPECT_EQ(var->add_param(&storage, CFG_INT, 4), 0);
    EXPECT_EQ(err_code, 7u);
    EXPECT_EQ(var->add_param(nullptr, CFG_INT, 4), 0);
    EXPECT_EQ(err_code, 8u);
    for (int32_t index : {-1, 10}) {
        err_code = 0;
        EXPECT_EQ(var->set_param(index, "1"), 0);
        EXPECT_EQ(err_code, 5u);
    }
    EXPECT_EQ(var->set_param(0, nullptr), 0);
    EXPECT_EQ(err_code, 8u);
    EXPECT_EQ(var->set_name(nullptr), 0);
    EXPECT_EQ(var->set_name("renamed"), 1);
    EXPECT_EQ(table.find_var("Renamed"), var);

    CFG_PARAM empty;
    err_code = 0;
    EXPECT_EQ(empty.set_value("1"), 0);
    EXPECT_EQ(err_code, 8u);

    var->clear();
    EXPECT_EQ(var->count, 0);
    EXPECT_EQ(var->name, nullptr);
    EXPECT_EQ(var->parameters[0].storage, nullptr);
}

TEST(ConfigTable, MissingFileChangesNothing) {
    CFG_FILE table;
    char value[16] = "kept";
    table.add_var("name", value, CFG_STRING, 15);
    libtest::scoped_log log;
    const std::string missing = log.dir().file("ostrel.ini");
    err_code = 0;
    EXPECT_EQ(table.parse_file(missing.c_str()), 0);
    EXPECT_EQ(err_code, 1u);
    EXPECT_STREQ(value, "kept");
    const auto lines = log.close();
    EXPECT_TRUE(contains(lines, "Attempting to open file '" + missing + "' in mode 'rt'"));
    EXPECT_EQ(table.parse_file(nullptr), 0);
    EXPECT_EQ(err_code, 8u);
}

TEST(ConfigTable, DuplicateNamesReachTheFirst) {
    CFG_FILE table;
    char first[8] = "", second[8] = "";
    table.add_var("dup", first, CFG_STRING, 7);
    table.add_var("DUP", second, CFG_STRING, 7);
    parse(table, "Dup = v\n");
    EXPECT_STREQ(first, "v");
    EXPECT_STREQ(second, "");
}

}  // namespace
