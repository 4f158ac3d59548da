// Replacing a file without ever leaving it half written: the new content
// goes to a temporary file in the same directory, which is synced and then
// renamed over the target in one step.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/PLATFORM.h"
#include "platform/posix/POSIXDETAIL.h"

namespace platform {

namespace {

// Symbolic links followed before giving up, as the kernel's own limit.
constexpr int max_link_hops = 40;

// Leaves room in a 255-byte file name for the temporary file's decoration.
constexpr size_t max_base_in_temp_name = 200;

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file that a write through `path` would reach: symbolic links are
// followed, also a dangling one (whose target then gets created), so the link
// itself survives the replacement. `info` and `exists` describe that file.
bool resolve_target(std::string path, std::string& resolved, struct stat& info, bool& exists) {
    for (int hop = 0; hop < max_link_hops; ++hop) {
        if (lstat(path.c_str(), &info) != 0) {
            if (errno != ENOENT)
                return false;
            exists = false;
            resolved = path;
            return true;
        }
        if (!S_ISLNK(info.st_mode)) {
            exists = true;
            resolved = path;
            return true;
        }
        std::string target(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        const ssize_t length = readlink(path.c_str(), &target[0], target.size());
        if (length < 0)
            return false;
        // A link that grew since lstat: read it again next round.
        if (static_cast<size_t>(length) >= target.size())
            continue;
        target.resize(static_cast<size_t>(length));
        path = target[0] == '/' ? target : directory_of(path) + "/" + target;
    }
    errno = ELOOP;
    return false;
}

// The permission bits that the replacement must carry. A new file gets what
// fopen would have given it.
mode_t wanted_mode(bool exists, const struct stat& info) {
    if (exists)
        return info.st_mode & 07777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

bool begin_replace(const char* target, replacement& r) {
    r = replacement();
    if (target == nullptr || *target == '\0') {
        errno = EINVAL;
        return false;
    }
    std::string final_path;
    struct stat info {};
    bool exists = false;
    if (!resolve_target(posix::system_path(target), final_path, info, exists))
        return false;
    // Renaming over a directory, device or pipe would destroy something that
    // was never a file of ours.
    if (exists && !S_ISREG(info.st_mode)) {
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    // A file the user may not write is not replaced either, although the
    // rename in a writable directory would work: its protection stands, as
    // it would against writing it in place.
    if (exists && access(final_path.c_str(), W_OK) != 0)
        return false;

    std::string base = base_of(final_path);
    if (base.size() > max_base_in_temp_name)
        base.resize(max_base_in_temp_name);
    std::string temp_path = directory_of(final_path) + "/." + base + ".ostrel-XXXXXX";
    const int fd = mkstemp(&temp_path[0]);
    if (fd < 0)
        return false;

    // mkstemp gives 0600, never more open than the original, so where owner
    // or mode cannot be copied (we are not the owner, or the file system has
    // no such thing) the replacement is still safe: both are best effort.
    if (exists) {
        [[maybe_unused]] const int owner_copied = fchown(fd, info.st_uid, info.st_gid);
    }
    [[maybe_unused]] const int mode_copied = fchmod(fd, wanted_mode(exists, info));

    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        const int saved = errno;
        close(fd);
        unlink(temp_path.c_str());
        errno = saved;
        return false;
    }
    r.stream = stream;
    r.temp_path = temp_path;
    r.final_path = final_path;
    return true;
}

bool commit_replace(replacement& r) {
    bool ok = r.stream != nullptr && !r.temp_path.empty();
    if (r.stream != nullptr) {
        ok = std::fflush(r.stream) == 0 && ok;
        // Some file systems cannot sync at all; that is no reason to fail.
        if (ok && fsync(fileno(r.stream)) != 0 && errno != EINVAL && errno != ENOTSUP)
            ok = false;
        ok = std::fclose(r.stream) == 0 && ok;
        r.stream = nullptr;
    }
    if (ok && rename(r.temp_path.c_str(), r.final_path.c_str()) != 0)
        ok = false;
    if (!ok) {
        const int saved = errno;
        if (!r.temp_path.empty())
            unlink(r.temp_path.c_str());
        r.temp_path.clear();
        errno = saved;
        return false;
    }
    r.temp_path.clear();

    // Make the rename itself durable; the data already is.
    const int dir = open(directory_of(r.final_path).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        // Nothing to undo when this fails: the new file is complete either way.
        [[maybe_unused]] const int synced = fsync(dir);
        close(dir);
    }
    return true;
}

void abort_replace(replacement& r) {
    if (r.stream != nullptr)
        std::fclose(r.stream);
    r.stream = nullptr;
    if (!r.temp_path.empty())
        unlink(r.temp_path.c_str());
    r.temp_path.clear();
}

}  // namespace platform
