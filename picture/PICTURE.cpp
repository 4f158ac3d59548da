#include "picture/PICTURE.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lib/GENERR.h"

namespace {

char reason[256] = "";

}  // namespace

void PICTURE::clear() {
    width = 0;
    height = 0;
    kind = picture_kind::bare_indices;
    pixels.reset();
    std::memset(palette, 0, sizeof palette);
    std::memset(alpha, 0, sizeof alpha);
    palette_entries = 0;
}

const char* picture_reason() {
    return reason;
}

void clear_picture_reason() {
    reason[0] = '\0';
}

int refuse_picture(uint32_t code, const char* format, ...) {
    err_code = code;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(reason, sizeof reason, format, arguments);
    va_end(arguments);
    return 0;
}
