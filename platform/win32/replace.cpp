// Replacing a file on Windows: the new content goes to a temporary file in
// the target's directory, is flushed to the disk, and then takes the
// target's place in one rename, so the target is either wholly old or wholly
// new.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // GetFinalPathNameByHandleW
#endif
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/PLATFORM.h"
#include "platform/win32/WIN32DETAIL.h"

namespace platform {

namespace win32 {

std::wstring widen(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

}  // namespace win32

namespace {

using win32::widen;

// Attributes that the replacement inherits. Read-only is not among them:
// such a target is refused before anything is written.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Leaves room in a 255-character file name for the temporary file's
// decoration.
constexpr size_t max_base_in_temp_name = 200;

// The narrow form of a path the system gave; false when the code page
// cannot hold it without loss.
bool narrow(const std::wstring& wide, std::string& text) {
    if (wide.empty())
        return false;
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, &lossy);
    if (length <= 0 || lossy)
        return false;
    text.assign(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &text[0], length,
                        nullptr, nullptr);
    return true;
}

// A symbolic link is followed, so the file it points to is replaced and the
// link stays. Anything else is taken as it stands.
std::string link_target(const std::string& path) {
    const std::wstring wide = widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return path;
    }
    HANDLE file =
        CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return path;
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    CloseHandle(file);
    if (length == 0 || length >= buffer.size())
        return path;
    std::wstring final_path(buffer.data(), length);
    // The system answers in its long form: \\?\C:\dir\file or \\?\UNC\server\share\file.
    if (final_path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        final_path = L"\\\\" + final_path.substr(8);
    } else if (final_path.compare(0, 4, L"\\\\?\\") == 0) {
        final_path = final_path.substr(4);
    }
    std::string resolved;
    return narrow(final_path, resolved) ? resolved : path;
}

// Up to and including the last separator, or the drive of "c:name"; empty
// for a bare name in the current directory.
std::string directory_of(const std::string& path) {
    const size_t cut = path.find_last_of("\\/:");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// The C library's number for a failed rename, for the report of the last
// system error.
int errno_from(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        default:
            return EACCES;  // access denied, sharing violation, a directory in the way
    }
}

void remove_temporary(const std::string& temp_path) {
    if (temp_path.empty())
        return;
    const std::wstring wide = widen(temp_path);
    SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(wide.c_str());
}

void clear(replacement& r) {
    r.stream = nullptr;
    r.temp_path.clear();
    r.final_path.clear();
    win32::disarm_removal(r.removal_slot);
    r.removal_slot = -1;
}

// Further names (hard links) of the file; they keep the old content.
uint64_t other_links_of(const std::string& path) {
    file_identity identity;
    return identify_path(path.c_str(), identity) && identity.links > 1 ? identity.links - 1 : 0;
}

// The temporary file, open with delete sharing so that a console event can
// remove it while it is being written (see process.cpp).
FILE* create_temporary(const std::string& temp_path) {
    const HANDLE file =
        CreateFileW(widen(temp_path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : errno_from(GetLastError());
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(file);
        remove_temporary(temp_path);
        return nullptr;
    }
    FILE* stream = _fdopen(descriptor, "wb");
    if (stream == nullptr) {
        const int saved = errno;
        _close(descriptor);
        remove_temporary(temp_path);
        errno = saved;
    }
    return stream;
}

}  // namespace

bool begin_replace(const char* target, replacement& r) {
    const bool durable = r.durable;
    file_lock* held = r.held;
    clear(r);
    r = replacement();
    r.durable = durable;
    r.held = held;
    if (target == nullptr || target[0] == '\0') {
        errno = EINVAL;
        return false;
    }
    const std::string final_path = link_target(target);
    const DWORD attributes = GetFileAttributesW(widen(final_path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        // A directory cannot be replaced, and a read-only file is one that
        // its owner has asked not to have changed.
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            errno = EISDIR;
            return false;
        }
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            errno = EACCES;
            return false;
        }
    }

    // ".TEXBSI.001.ostrel-1a2b03": a file left behind by a crash shows
    // whose it was.
    const std::string directory = directory_of(final_path);
    std::string base = final_path.substr(directory.size());
    if (base.size() > max_base_in_temp_name)
        base.resize(max_base_in_temp_name);
    const unsigned long process = GetCurrentProcessId();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof(suffix), ".ostrel-%04lx%02u", process & 0xFFFF, attempt);
        const std::string temp_path = directory + "." + base + suffix;
        FILE* stream = create_temporary(temp_path);
        if (stream == nullptr) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        r.removal_slot = win32::arm_removal(temp_path);
        r.stream = stream;
        r.temp_path = temp_path;
        r.final_path = final_path;
        if (attributes != INVALID_FILE_ATTRIBUTES)
            r.other_links = other_links_of(final_path);
        return true;
    }
    return false;  // errno is still EEXIST from the last attempt
}

bool commit_replace(replacement& r) {
    bool ok = r.stream != nullptr && !r.temp_path.empty() && !r.final_path.empty();
    if (r.stream != nullptr) {
        // Flush to the disk before the rename (when durable), so that after
        // a crash the name leads to complete content, old or new.
        if (std::fflush(r.stream) != 0 || std::ferror(r.stream) ||
            (r.durable && _commit(_fileno(r.stream)) != 0)) {
            ok = false;
        }
        if (std::fclose(r.stream) != 0)
            ok = false;
        r.stream = nullptr;
    }
    const std::wstring temp = widen(r.temp_path);
    const std::wstring target = widen(r.final_path);
    // The last look before the rename: the held file must still be the one
    // the name leads to, with the content that was read.
    if (ok && r.held != nullptr) {
        if (!unchanged_since(r.final_path.c_str(), r.held->identity)) {
            r.changed = true;
            ok = false;
            errno = EBUSY;
        }
    }
    if (ok) {
        const DWORD attributes = GetFileAttributesW(target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kept_attributes) != 0) {
            SetFileAttributesW(temp.c_str(), attributes & kept_attributes);
        }
        // A file that is still open cannot be renamed over: the held file
        // is let go here, an instant before the rename. The mutex stays
        // held, so another Ostrel reads only the new file.
        if (r.held != nullptr)
            win32::close_held_file(*r.held);
        const DWORD flags = MOVEFILE_REPLACE_EXISTING | (r.durable ? MOVEFILE_WRITE_THROUGH : 0);
        ok = MoveFileExW(temp.c_str(), target.c_str(), flags) != 0;
        if (!ok)
            errno = errno_from(GetLastError());
    }
    if (!ok)
        remove_temporary(r.temp_path);
    clear(r);  // keeps `changed` for the caller
    return ok;
}

void abort_replace(replacement& r) {
    if (r.stream != nullptr)
        std::fclose(r.stream);
    remove_temporary(r.temp_path);
    clear(r);
}

}  // namespace platform
