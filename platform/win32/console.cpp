// One key from the console on Windows. A real console is read with _getch
// (no echo, no Enter); anything else - a pipe, a file, the NUL device - is
// read byte by byte, with its end standing for Esc.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdio>

#include "platform/PLATFORM.h"
#include "platform/win32/WIN32DETAIL.h"

namespace platform {

namespace {

constexpr int ctrl_c = 3;

int next_console_code() {
    return _getch();
}

}  // namespace

namespace win32 {

bool is_console_input(void* handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD mode = 0;
    return GetConsoleMode(static_cast<HANDLE>(handle), &mode) != 0;
}

int read_console_key(int (*next)()) {
    for (;;) {
        const int code = next();
        if (code == 0 || code == 0xE0) {
            next();  // the key's code; the pair is one arrow or function key
            continue;
        }
        return code;
    }
}

int read_stream_key(FILE* stream) {
    const int c = stream ? std::getc(stream) : EOF;
    return c == EOF ? key_escape : c;
}

}  // namespace win32

int read_key() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (win32::is_console_input(input)) {
        for (;;) {
            const int key = win32::read_console_key(next_console_code);
            // _getch puts the console in raw mode for the read, so Ctrl-C
            // arrives as a key instead of interrupting; raise it as the
            // signal the user meant. The console mode is already restored.
            if (key != ctrl_c)
                return key;
            std::raise(SIGINT);
        }
    }
    // Bytes as they come: text mode would fold CR LF and stop at Ctrl-Z.
    static const bool binary = [] {
        const int descriptor = _fileno(stdin);  // negative when there is no input at all
        return descriptor >= 0 && _setmode(descriptor, _O_BINARY) != -1;
    }();
    (void)binary;
    return win32::read_stream_key(stdin);
}

}  // namespace platform
