#include "frontend/FORMATS.h"

#include "pcx/PCX.h"

int load_picture(const char* path, PICTURE& picture) {
    clear_picture_reason();
    return load_pcx_picture(path, picture);
}
