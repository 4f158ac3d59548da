// What the POSIX sources of the platform layer share.
#pragma once

#include <string>

namespace platform::posix {

// The program holds paths as its users write them, backslashes included;
// the system only understands '/'. The one place that turns one into the
// other (paths.cpp).
std::string system_path(const char* path);

}  // namespace platform::posix
