// The picture formats of the front end in one place: which reader a
// picture file needs, found by the file's first bytes rather than its name.
#pragma once

#include "picture/PICTURE.h"

// Reads a picture for an import; 1, or 0 with err_code and, where the file
// was opened, picture_reason() set.
int load_picture(const char* path, PICTURE& picture);
