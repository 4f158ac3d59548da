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

// The program is there and the shell that the tests run it through can
// start it (under Wine the path exists, but cmd.exe cannot run it).
inline bool have(const char* program) {
    return access(program, X_OK) == 0 &&
           std::system(("command -v '" + std::string(program) + "' >/dev/null 2>&1").c_str()) == 0;
}

// Debian's python3 with Pillow (asked once).
inline bool have_pillow() {
    static const bool found =
        have(python) &&
        std::system((std::string(python) + " -c 'import PIL' >/dev/null 2>&1").c_str()) == 0;
    return found;
}

}  // namespace tools
