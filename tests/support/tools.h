// The outside programs that the interoperability tests run, by their Debian
// paths: the python3 first in PATH may lack Pillow, and a convert earlier in
// PATH may be a stand-in for ImageMagick.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tools {

constexpr const char* python = "/usr/bin/python3";
constexpr const char* convert = "/usr/bin/convert";
constexpr const char* pcxtoppm = "/usr/bin/pcxtoppm";
constexpr const char* ppmtopcx = "/usr/bin/ppmtopcx";
constexpr const char* pnmtopng = "/usr/bin/pnmtopng";
constexpr const char* pngtopnm = "/usr/bin/pngtopnm";

inline bool have(const char* program) {
    return access(program, X_OK) == 0;
}

// Debian's python3 with Pillow (asked once).
inline bool have_pillow() {
    static const bool found =
        have(python) &&
        std::system((std::string(python) + " -c 'import PIL' >/dev/null 2>&1").c_str()) == 0;
    return found;
}

}  // namespace tools
