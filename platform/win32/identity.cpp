// What a file is, and holding it while it is updated (Windows).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/PLATFORM.h"
#include "platform/win32/WIN32DETAIL.h"

namespace platform {

namespace {

// How often a file that another program has open for writing is asked
// again.
constexpr DWORD open_poll_ms = 20;

bool describe(HANDLE handle, file_identity& identity) {
    identity = file_identity();
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return false;
    identity.known = true;
    identity.regular = GetFileType(handle) == FILE_TYPE_DISK &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    identity.device = info.dwVolumeSerialNumber;
    identity.inode = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    identity.size = static_cast<int64_t>(uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
    const uint64_t ticks =
        uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 | info.ftLastWriteTime.dwLowDateTime;
    identity.modified_ns = static_cast<int64_t>(ticks) * 100;  // 100 ns units
    identity.links = info.nNumberOfLinks;
    return true;
}

// An open handle on the file a path leads to (links followed), for asking
// about it only: no access asked, so nobody's sharing stands in the way.
HANDLE open_for_status(const std::string& path) {
    return CreateFileW(win32::widen(path).c_str(), 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

int errno_from(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        default:
            return EACCES;
    }
}

// The name of the mutex that stands for the file at `path`: the same for
// every spelling of the path that the system resolves alike (relative or
// full, either letter case, a drive letter). A hash keeps it within the
// length a name may have and free of backslashes.
std::wstring guard_name(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length >= full.size()) {
        full.resize(length + 1);
        length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    }
    full.resize(length > 0 && length < full.size() ? length : 0);
    if (full.empty())
        full = path;
    CharUpperBuffW(&full[0], static_cast<DWORD>(full.size()));
    uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
    for (const wchar_t c : full) {
        hash ^= static_cast<uint16_t>(c);
        hash *= 1099511628211ull;
    }
    wchar_t name[64];
    swprintf(name, 64, L"Local\\ostrel-hold-%016llx", static_cast<unsigned long long>(hash));
    return name;
}

void release_guard(file_lock& lock) {
    if (lock.guard != -1) {
        const HANDLE mutex = reinterpret_cast<HANDLE>(lock.guard);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    lock.guard = -1;
}

}  // namespace

bool identify_path(const char* path, file_identity& identity) {
    identity = file_identity();
    if (path == nullptr || path[0] == '\0')
        return false;
    const HANDLE handle = open_for_status(path);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool known = describe(handle, identity);
    CloseHandle(handle);
    return known;
}

bool identify_stream(FILE* stream, file_identity& identity) {
    identity = file_identity();
    if (stream == nullptr)
        return false;
    return describe(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), identity);
}

namespace win32 {

void close_held_file(file_lock& lock) {
    if (lock.handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(lock.handle));
    lock.handle = -1;
}

}  // namespace win32

void unlock_file(file_lock& lock) {
    win32::close_held_file(lock);
    release_guard(lock);
    lock.exclusive = false;
}

lock_result lock_file(const char* path, int wait_ms, file_lock& lock, void (*on_wait)()) {
    unlock_file(lock);
    lock.identity = file_identity();
    if (path == nullptr || path[0] == '\0') {
        errno = EINVAL;
        return lock_result::failed;
    }
    const std::wstring wide = win32::widen(path);
    // A directory opens only with backup semantics, which a hold does not
    // ask for: it is no file to hold, as a device is none.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EINVAL;
        return lock_result::not_regular;
    }
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait_ms < 0 ? 0 : wait_ms);
    auto left_ms = [&]() -> DWORD {
        const ULONGLONG now = GetTickCount64();
        return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    };

    // The mutex first: a waiting Ostrel opens nothing of the file, so it
    // cannot stand in the way of the holder's rename.
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, guard_name(wide).c_str());
    bool waited = false;
    if (mutex != nullptr) {
        DWORD waiting = WaitForSingleObject(mutex, 0);
        if (waiting == WAIT_TIMEOUT) {
            if (on_wait != nullptr)
                on_wait();
            waited = true;
            waiting = WaitForSingleObject(mutex, left_ms());
        }
        // WAIT_ABANDONED: a holder ended without letting go; the mutex is ours.
        if (waiting != WAIT_OBJECT_0 && waiting != WAIT_ABANDONED) {
            CloseHandle(mutex);
            errno = EBUSY;
            return lock_result::busy;
        }
        lock.guard = reinterpret_cast<intptr_t>(mutex);
    }
    for (;;) {
        // Without write sharing: nobody writes the file in place while it is
        // held. Delete sharing lets the replacement's rename through.
        const HANDLE handle =
            CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            // Open for writing by another program, which is busy with it.
            if (error == ERROR_SHARING_VIOLATION && left_ms() > 0) {
                if (!waited && on_wait != nullptr)
                    on_wait();
                waited = true;
                Sleep(open_poll_ms);
                continue;
            }
            release_guard(lock);
            errno = error == ERROR_SHARING_VIOLATION ? EBUSY : errno_from(error);
            return error == ERROR_SHARING_VIOLATION ? lock_result::busy : lock_result::failed;
        }
        file_identity held;
        if (!describe(handle, held) || !held.regular) {
            const bool described = held.known;
            CloseHandle(handle);
            release_guard(lock);
            errno = described ? EINVAL : EACCES;
            return described ? lock_result::not_regular : lock_result::failed;
        }
        lock.handle = reinterpret_cast<intptr_t>(handle);
        // Without a mutex (none could be made) the write sharing still
        // keeps other writers out.
        lock.exclusive = lock.guard != -1;
        lock.identity = held;
        return lock_result::locked;
    }
}

}  // namespace platform
