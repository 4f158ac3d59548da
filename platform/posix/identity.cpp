// What a file is, and holding it while it is updated (POSIX).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/PLATFORM.h"
#include "platform/posix/POSIXDETAIL.h"

namespace platform {

namespace {

// How often a held file is asked again while another holder has it.
constexpr int lock_poll_ms = 20;

void describe(const struct stat& info, file_identity& identity) {
    identity = file_identity();
    identity.known = true;
    identity.regular = S_ISREG(info.st_mode);
    identity.device = static_cast<uint64_t>(info.st_dev);
    identity.inode = static_cast<uint64_t>(info.st_ino);
    identity.size = static_cast<int64_t>(info.st_size);
    identity.modified_ns =
        static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    identity.links = static_cast<uint64_t>(info.st_nlink);
    identity.owner = static_cast<uint32_t>(info.st_uid);
    identity.group = static_cast<uint32_t>(info.st_gid);
}

bool identify_descriptor(int descriptor, file_identity& identity) {
    struct stat info {};
    if (fstat(descriptor, &info) != 0) {
        identity = file_identity();
        return false;
    }
    describe(info, identity);
    return true;
}

}  // namespace

bool identify_path(const char* path, file_identity& identity) {
    identity = file_identity();
    if (path == nullptr || path[0] == '\0')
        return false;
    struct stat info {};
    if (stat(posix::system_path(path).c_str(), &info) != 0)
        return false;
    describe(info, identity);
    return true;
}

bool identify_stream(FILE* stream, file_identity& identity) {
    identity = file_identity();
    return stream != nullptr && identify_descriptor(fileno(stream), identity);
}

void unlock_file(file_lock& lock) {
    if (lock.handle >= 0)
        close(static_cast<int>(lock.handle));  // also lets go of the flock
    lock.handle = -1;
    lock.exclusive = false;
}

lock_result lock_file(const char* path, int wait_ms, file_lock& lock, void (*on_wait)()) {
    unlock_file(lock);
    lock.identity = file_identity();
    if (path == nullptr || path[0] == '\0') {
        errno = EINVAL;
        return lock_result::failed;
    }
    const std::string name = posix::system_path(path);
    using clock_type = std::chrono::steady_clock;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(wait_ms);
    bool waited = false;
    for (;;) {
        // Read-only is enough for flock on a local disk, and all that an
        // unwritable file allows (its replacement is refused later, with its
        // own message). O_NONBLOCK: a FIFO must not hold the open.
        int descriptor = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (descriptor < 0)
            return lock_result::failed;
        file_identity held;
        if (!identify_descriptor(descriptor, held)) {
            close(descriptor);
            return lock_result::failed;
        }
        if (!held.regular) {
            close(descriptor);
            errno = EINVAL;
            return lock_result::not_regular;
        }
        // NFS and CIFS take flock as a lock of the whole file, which needs
        // a descriptor open for writing; a regular file may have one.
        const int writable = open(name.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        file_identity reopened;
        if (writable >= 0 && identify_descriptor(writable, reopened) &&
            same_file(reopened, held)) {
            close(descriptor);
            descriptor = writable;
        } else if (writable >= 0) {
            close(writable);
        }

        bool exclusive = flock(descriptor, LOCK_EX | LOCK_NB) == 0;
        if (!exclusive && errno == EWOULDBLOCK) {
            if (clock_type::now() >= deadline) {
                close(descriptor);
                errno = EWOULDBLOCK;
                return lock_result::busy;
            }
            if (!waited && on_wait != nullptr)
                on_wait();
            waited = true;
            close(descriptor);
            sleep_ms(lock_poll_ms);
            continue;
        }
        // Any other failure: a file system without locks (some network
        // ones). The update goes on without the hold; the check before the
        // rename still catches a change.

        // The name may have been given to another file while we waited (a
        // holder that finished renamed its new file over it): that file is
        // the one to hold, and its content the one to read.
        file_identity now;
        if (!identify_path(path, now) || !same_file(now, held)) {
            close(descriptor);
            if (clock_type::now() >= deadline) {
                errno = EWOULDBLOCK;
                return lock_result::busy;
            }
            continue;
        }
        // Fresh status, after the lock: what the file is as we start to read.
        identify_descriptor(descriptor, held);
        lock.handle = descriptor;
        lock.exclusive = exclusive;
        lock.identity = held;
        return lock_result::locked;
    }
}

}  // namespace platform
