// Pieces of the Windows platform layer that are decisions rather than calls
// into the system, kept apart so the Windows test build can check them
// without a real console or a broken heap; and what its sources share.
#pragma once

#include <cstdio>
#include <string>

#include "platform/PLATFORM.h"

namespace platform::win32 {

// True when `handle` (a Win32 HANDLE) is a console input buffer. _isatty is
// no use here: it is also true for the NUL device, which would then be read
// with _getch and wait for a key that never comes.
bool is_console_input(void* handle);

// One key from a console, `next` giving the raw codes of _getch. An arrow or
// function key arrives as 0 or 0xE0 followed by its code: both are consumed
// and the next real key is returned, so such keys are never taken for Esc.
int read_console_key(int (*next)());

// One key from a stream that is not a console: each byte is a key, and the
// end of the input (or a read error) is Esc, so a piped run cannot hang.
int read_stream_key(FILE* stream);

// The C library's _heapchk result as a heap state.
heap_state heap_state_from(int heapchk_result);

// Paths are held in the ANSI code page, as the C library's fopen takes them;
// the wide forms reach the system unchanged (replace.cpp).
std::wstring widen(const std::string& text);

// Closes the held file's own handle and keeps the rest of the hold (the
// mutex): Windows renames nothing over a file that is still open
// (identity.cpp).
void close_held_file(file_lock& lock);

// A file that Ctrl-C, Ctrl-Break or closing the console removes before the
// process ends (process.cpp). Returns the slot for disarm_removal, or -1.
int arm_removal(const std::string& path);
void disarm_removal(int slot);

}  // namespace platform::win32
