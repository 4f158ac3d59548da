// Replacing a file without ever leaving it half written: the new content
// goes to a temporary file in the same directory, which is synced (for a
// durable replacement) and then renamed over the target in one step. The
// new file takes over what it can of the old one's identity: mode, owner,
// group and extended attributes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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


// The old file's owner and group for the new one. Only root may give a file
// away; an owner may still give it a group of their own. What cannot be
// kept is noted.
void keep_owner(int fd, const struct stat& info, replacement& r) {
    if (fchown(fd, info.st_uid, info.st_gid) != 0) {
        [[maybe_unused]] const int group_only = fchown(fd, static_cast<uid_t>(-1), info.st_gid);
    }
    struct stat now {};
    if (fstat(fd, &now) != 0)
        return;
    r.owner_lost = now.st_uid != info.st_uid;
    r.group_lost = now.st_gid != info.st_gid;
}

// Copies every extended attribute of `original` to the new file: user
// attributes, security labels, and on Linux the ACLs (system.posix_acl_*).
// false when one of them could not be copied.
bool copy_extended_attributes(const std::string& original, int fd) {
#if defined(__linux__)
    ssize_t size = listxattr(original.c_str(), nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP;  // a file system without them has none to lose
    std::vector<char> names(static_cast<size_t>(size) + 1);
    size = listxattr(original.c_str(), names.data(), names.size());
    if (size < 0)
        return false;
    bool all = true;
    std::vector<char> value, present;
    for (ssize_t at = 0; at < size;) {
        const char* name = names.data() + at;
        at += static_cast<ssize_t>(std::strlen(name)) + 1;
        const ssize_t length = getxattr(original.c_str(), name, nullptr, 0);
        if (length < 0) {
            all = false;
            continue;
        }
        value.resize(static_cast<size_t>(length) + 1);
        const ssize_t got = getxattr(original.c_str(), name, value.data(), value.size());
        if (got < 0) {
            all = false;
            continue;
        }
        // A label the new file was given already (SELinux) need not be set,
        // which a user may not be allowed to do.
        present.resize(value.size());
        const ssize_t has = fgetxattr(fd, name, present.data(), present.size());
        if (has == got && std::memcmp(present.data(), value.data(), static_cast<size_t>(got)) == 0)
            continue;
        if (fsetxattr(fd, name, value.data(), static_cast<size_t>(got), 0) != 0)
            all = false;
    }
    return all;
#else
    (void)original;
    (void)fd;
    return true;
#endif
}

}  // namespace

bool begin_replace(const char* target, replacement& r) {
    const bool durable = r.durable;
    file_lock* held = r.held;
    r = replacement();
    r.durable = durable;
    r.held = held;
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
    r.removal_slot = posix::arm_removal(temp_path.c_str());

    // mkstemp gives 0600, never more open than the original, so where owner,
    // group or attributes cannot be copied (we are not the owner, or the file
    // system has no such thing) the replacement is still safe: each is kept
    // where the system allows it, and what is lost is reported.
    if (exists) {
        keep_owner(fd, info, r);
        r.other_links = info.st_nlink > 1 ? static_cast<uint64_t>(info.st_nlink) - 1 : 0;
    }
    [[maybe_unused]] const int mode_copied = fchmod(fd, wanted_mode(exists, info));
    // After the mode: an access ACL sets the group bits from its mask.
    if (exists)
        r.attributes_lost = !copy_extended_attributes(final_path, fd);

    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        const int saved = errno;
        close(fd);
        unlink(temp_path.c_str());
        posix::disarm_removal(r.removal_slot);
        r.removal_slot = -1;
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
        ok = std::fflush(r.stream) == 0 && !std::ferror(r.stream) && ok;
        // Some file systems cannot sync at all; that is no reason to fail.
        if (ok && r.durable && fsync(fileno(r.stream)) != 0 && errno != EINVAL &&
            errno != ENOTSUP)
            ok = false;
        ok = std::fclose(r.stream) == 0 && ok;
        r.stream = nullptr;
    }
    // The last look before the rename: the held file must still be the one
    // the name leads to, with the content that was read. Another program
    // that wrote it in place or renamed a file of its own over it since
    // would otherwise lose its change without a word.
    if (ok && r.held != nullptr) {
        if (!unchanged_since(r.final_path.c_str(), r.held->identity)) {
            r.changed = true;
            ok = false;
            errno = ESTALE;
        }
    }
    if (ok && rename(r.temp_path.c_str(), r.final_path.c_str()) != 0)
        ok = false;
    if (!ok) {
        const int saved = errno;
        if (!r.temp_path.empty())
            unlink(r.temp_path.c_str());
        posix::disarm_removal(r.removal_slot);
        r.removal_slot = -1;
        r.temp_path.clear();
        errno = saved;
        return false;
    }
    // After the rename, so that a signal in between still finds the file to
    // remove; once renamed, its removal finds nothing of that name.
    posix::disarm_removal(r.removal_slot);
    r.removal_slot = -1;
    r.temp_path.clear();

    // Make the rename itself durable; the data already is.
    if (r.durable) {
        const int dir = open(directory_of(r.final_path).c_str(), O_RDONLY | O_DIRECTORY);
        if (dir >= 0) {
            // Nothing to undo when this fails: the new file is complete either way.
            [[maybe_unused]] const int synced = fsync(dir);
            close(dir);
        }
    }
    return true;
}

void abort_replace(replacement& r) {
    if (r.stream != nullptr)
        std::fclose(r.stream);
    r.stream = nullptr;
    if (!r.temp_path.empty())
        unlink(r.temp_path.c_str());
    posix::disarm_removal(r.removal_slot);
    r.removal_slot = -1;
    r.temp_path.clear();
}

}  // namespace platform
