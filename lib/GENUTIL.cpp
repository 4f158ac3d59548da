// GENUTIL: the registry of the library's modules, the start-up hook and the
// library's start-up sequence.
#include "lib/GENUTIL.h"

#include <cstring>
#include <new>

#include "lib/FILEUTIL.h"
#include "lib/GENCFG.h"
#include "lib/GENSTRIN.h"

const char* const ostrel_author_credit = "The Ostrel developers";

// Built by constant initialisation, so modules can register before any
// constructor of this file has run; the first registration runs init.
REG_TYPE program_registry{static_init};

namespace {

bool library_started = false;

size_t text_size(const char* text) {
    return text != nullptr ? std::strlen(text) : 0;
}

// Runs the start-up steps even when no other module of the program has a
// hook of its own.
INIT_TYPE library_startup_hook(nullptr);

}  // namespace

PROG_RECORD::PROG_RECORD(const char* name_text, const char* version_text, const char* author_text,
                         const char* date_text)
    : name(create_ptr(name_text)),
      version(create_ptr(version_text)),
      author(create_ptr(author_text)),
      date(create_ptr(date_text)) {}

void PROG_RECORD::release() {
    name.reset();
    version.reset();
    author.reset();
    date.reset();
}

REG_TYPE::REG_TYPE() {
    init();
}

REG_TYPE::~REG_TYPE() {
    clear_programs();
}

void REG_TYPE::init() {
    if (initialised != 0)
        return;
    for (auto& slot : programs)
        slot.reset();
    count = 0;
    current = -1;
    // Set before GENUTIL registers, so that registration does not come back here.
    initialised = 1;
    add_current_program("GENUTIL", "1.0", ostrel_author_credit, "29 Nov 1998");
}

bool REG_TYPE::add_program(const char* name, const char* version, const char* author,
                           const char* date) {
    if (initialised == 0)
        init();
    if (count < 0 || count >= max_programs) {
        err_code = 7;
        return false;
    }
    std::unique_ptr<PROG_RECORD> record(new (std::nothrow) PROG_RECORD());
    if (!record) {
        const size_t asked = sizeof(PROG_RECORD) + text_size(name) + text_size(version) +
                             text_size(author) + text_size(date);
        err_table.critical_error(err_table.get_error_msg(err_code),
                                 "REG_TYPE::add_program() - *programs[%d] (%u)", count,
                                 static_cast<unsigned>(asked));
    }
    record->name.reset(create_ptr(name));
    record->version.reset(create_ptr(version));
    record->author.reset(create_ptr(author));
    record->date.reset(create_ptr(date));
    programs[count] = std::move(record);
    ++count;
    return true;
}

bool REG_TYPE::add_current_program(const char* name, const char* version, const char* author,
                                   const char* date) {
    const bool added = add_program(name, version, author, date);
    current = added ? count - 1 : -1;
    return added;
}

PROG_RECORD* REG_TYPE::get_program(int32_t index) {
    if (index < 0 || index >= count || index >= max_programs) {
        err_code = 5;
        return nullptr;
    }
    return programs[index].get();
}

PROG_RECORD* REG_TYPE::get_current_program() {
    return get_program(current);
}

bool REG_TYPE::list_programs(FILE* stream, uint32_t flags) {
    if (stream == nullptr) {
        err_code = 8;
        return false;
    }
    std::fprintf(stream, "%u Modules currently in use.\n", static_cast<unsigned>(count));
    if (flags == 0)
        return true;
    auto put = [stream](const char* label, const char* text) {
        std::fputs(label, stream);
        std::fputs(text != nullptr ? text : "NULL", stream);
        std::fputc('\n', stream);
    };
    for (int32_t i = 0; i < count && i < max_programs; ++i) {
        const PROG_RECORD* record = get_program(i);
        std::fprintf(stream, "     %u) ", static_cast<unsigned>(i + 1));
        if (record == nullptr) {
            std::fputc('\n', stream);
            continue;
        }
        if (flags & list_name)
            put("Program: ", record->name.get());
        if (flags & list_version)
            put("         Version: ", record->version.get());
        if (flags & list_date)
            put("         Date: ", record->date.get());
        if (flags & list_author)
            put("         Created By: ", record->author.get());
    }
    return true;
}

void REG_TYPE::clear_programs() {
    for (auto& slot : programs)
        slot.reset();
    count = 0;
    current = -1;
}

void library_startup() {
    if (library_started)
        return;
    library_started = true;
    fileutil_register();
    err_table.add_library_codes();
    generr_register();
    genmem_register();
    genstrin_register();
    program_registry.init();
}

INIT_TYPE::INIT_TYPE(void (*function)()) {
    library_startup();
    if (function != nullptr)
        function();
}
