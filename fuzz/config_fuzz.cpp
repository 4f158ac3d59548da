// Configuration file parse, with variables of all seven types, one of
// several slots, one whose first slot cannot take a value and one of an
// unknown type. Each string variable's storage is a heap block of exactly
// the size it was declared with, so the sanitizer sees any write past it.
// A log is open, as in the program, so that names and values from the file
// reach the log writer.
#include <cstring>
#include <memory>
#include <vector>

#include "frontend/OSTREL.h"
#include "fuzz/fuzz_support.h"
#include "lib/FILEUTIL.h"
#include "lib/GENCFG.h"

namespace {

struct text_slot {
    std::unique_ptr<char[]> storage;
    uint32_t size;  // characters; the block holds one more
};

struct numbers {
    char character;
    int16_t short_value;
    int32_t int_value, long_value, boolean, unknown;
    float float_value;
};

CFG_FILE table;
numbers values;
std::vector<text_slot> texts;

char* new_text(uint32_t size) {
    texts.push_back({std::make_unique<char[]>(size + 1), size});
    return texts.back().storage.get();
}

void declare() {
    table.add_var("char", &values.character, CFG_CHAR, 0);
    table.add_var("short", &values.short_value, CFG_SHORT, 0);
    table.add_var("int", &values.int_value, CFG_INT, 0);
    table.add_var("long", &values.long_value, CFG_LONG, 0);
    table.add_var("float", &values.float_value, CFG_FLOAT, 0);
    table.add_var("string", new_text(7), CFG_STRING, 7);
    table.add_var("bool", &values.boolean, CFG_BOOLEAN, 0);
    table.add_var("redguard_path", new_text(name_limit - 1), CFG_STRING, name_limit - 1);
    table.add_var("pcx_path", new_text(name_limit - 1), CFG_STRING, name_limit - 1);
    table.add_var("other", &values.unknown, 99, 0);

    CFG_VAR* multi = table.add_var("multi", new_text(0), CFG_STRING, 0);
    multi->add_param(new_text(3), CFG_STRING, 3);
    multi->add_param(&values.int_value, CFG_INT, 0);
    multi->add_param(&values.float_value, CFG_FLOAT, 0);
    multi->add_param(&values.boolean, CFG_BOOLEAN, 0);
    multi->add_param(&values.character, CFG_CHAR, 0);
    multi->add_param(&values.short_value, CFG_SHORT, 0);
    multi->add_param(new_text(255), CFG_STRING, 255);
    multi->add_param(&values.long_value, CFG_LONG, 0);
    multi->add_param(new_text(1), CFG_STRING, 1);

    CFG_VAR* blocked = table.add_var("blocked", &values.unknown, 0, 0);
    blocked->add_param(new_text(20), CFG_STRING, 20);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::work_dir();
    declare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::reset_state();
    const std::string input = fuzz::write_input("ostrel.ini", data, size);
    open_log(fuzz::path("ostrel.log").c_str());
    fuzz::check(table.parse_file(input.c_str()) == 1, "an existing file is parsed");
    close_log();

    for (const text_slot& text : texts)
        fuzz::check(strnlen(text.storage.get(), text.size + 1) <= text.size,
                    "a string value ends within its declared size");
    fuzz::check(values.boolean == 0 || values.boolean == 1, "a boolean is 0 or 1");
    return 0;
}
