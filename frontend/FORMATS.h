// The picture formats of the front end in one place: which reader a
// picture file needs (found by the file's first bytes, not its name), the
// format an export writes, and each format's name and extension.
#pragma once

#include "picture/PICTURE.h"
#include "texture/VUVEREDE.h"

enum class picture_format { pcx, png };

// "PCX" or "PNG", as messages name the format.
const char* format_name(picture_format format);
// ".pcx" or ".png", as exported file names end.
const char* format_extension(picture_format format);

// True when `argument` names a picture file: it contains ".pcx" or ".png"
// (letter case ignored).
bool is_picture_argument(const char* argument);
// The format of a picture argument by its name (an export writes it): PNG
// for a name whose extension is ".png", else PCX.
picture_format format_by_name(const char* name);

// The format of the picture file `path` by its first bytes: PCX for
// anything that is not a PNG (the PCX reader then says what is wrong with
// it); by its name when nothing can be read.
picture_format format_of_file(const char* path);

// Reads a picture for an import in the format of its content; 1, or 0 with
// err_code and, where the file was opened, picture_reason() set.
int load_picture(const char* path, picture_format format, PICTURE& picture);

// Writes the picture of an image in `format`, in the image's own colours or
// else `palette`; 1, or 0 with err_code set.
int save_picture(const char* path, picture_format format, TEX_IMAGE& image,
                 const uint8_t* palette);
