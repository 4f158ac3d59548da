// The process on Windows: standard streams, the console events that end a
// run, and the few files that must be opened with more care than fopen
// takes.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/PLATFORM.h"
#include "platform/win32/WIN32DETAIL.h"

namespace platform {

namespace {

// One replacement is in progress at a time in the program; a few slots let
// tests and future callers hold more without losing the clean-up.
constexpr int removal_slots = 4;
constexpr size_t removal_path_size = 1024;
wchar_t removal_paths[removal_slots][removal_path_size];
volatile LONG removal_armed[removal_slots];

// The temporary file is open with delete sharing, so it can be deleted
// under the writer's feet: it goes once the process, which ends next, has
// closed it.
void remove_armed_files() {
    for (int i = 0; i < removal_slots; ++i) {
        if (InterlockedExchange(&removal_armed[i], 0) != 0) {
            SetFileAttributesW(removal_paths[i], FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(removal_paths[i]);
        }
    }
}

// Runs on a thread of its own while the program goes on.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            remove_armed_files();
            break;
        default:
            break;
    }
    return FALSE;  // and the event ends the process as it would have
}

// A standard stream without a handle behind it (started with it closed)
// gets the NUL device, so the console's text cannot land in a file.
void open_missing_standard_streams() {
    FILE* const streams[3] = {stdin, stdout, stderr};
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        const intptr_t handle = _get_osfhandle(descriptor);
        if (handle == -1 || handle == -2) {
            FILE* reopened = std::freopen("NUL", descriptor == 0 ? "r" : "w", streams[descriptor]);
            (void)reopened;
        }
    }
}

bool is_disk_file(FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}

}  // namespace

namespace win32 {

int arm_removal(const std::string& path) {
    const std::wstring wide = widen(path);
    if (wide.empty() || wide.size() >= removal_path_size)
        return -1;
    // A fatal error ends the run through exit, which runs no destructor of
    // the writer that would remove its unfinished file: exit removes it.
    static const bool removed_at_exit = std::atexit(remove_armed_files) == 0;
    (void)removed_at_exit;
    for (int i = 0; i < removal_slots; ++i) {
        if (removal_armed[i] == 0) {
            std::wmemcpy(removal_paths[i], wide.c_str(), wide.size() + 1);
            InterlockedExchange(&removal_armed[i], 1);
            return i;
        }
    }
    return -1;
}

void disarm_removal(int slot) {
    if (slot >= 0 && slot < removal_slots)
        InterlockedExchange(&removal_armed[slot], 0);
}

}  // namespace win32

void start_process() {
    open_missing_standard_streams();
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void sleep_ms(int milliseconds) {
    if (milliseconds > 0)
        Sleep(static_cast<DWORD>(milliseconds));
}

FILE* open_regular_file(const char* name, const char* mode) {
    if (name == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    FILE* stream = std::fopen(name, mode);
    if (stream != nullptr && !is_disk_file(stream)) {
        std::fclose(stream);
        errno = EINVAL;
        return nullptr;
    }
    return stream;
}

FILE* open_log_file(const char* name) {
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // A link (or junction) planted under the log's name is not followed.
    const DWORD attributes = GetFileAttributesW(win32::widen(name).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    FILE* stream = std::fopen(name, "wt");
    if (stream != nullptr && !is_disk_file(stream)) {
        std::fclose(stream);
        errno = EINVAL;
        return nullptr;
    }
    return stream;
}

FILE* open_anonymous_file() {
    wchar_t directory[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, directory);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(directory, L"ost", 0, name) == 0)
        return nullptr;
    const HANDLE file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileW(name);
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(file);
        return nullptr;
    }
    FILE* stream = _fdopen(descriptor, "w+b");
    if (stream == nullptr)
        _close(descriptor);
    return stream;
}

}  // namespace platform
