// Replacing the user's file: a temporary file beside the target, renamed
// over it only when complete. Whatever goes wrong, the original stays as it
// was and no temporary file is left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "lib/GENERR.h"
#include "lib_support.h"
#include "platform/PLATFORM.h"
#include "support/fixture.h"
#include "texture/VUVEREDE.h"

namespace {

using fixture::bytes;
namespace fs = std::filesystem;

using fixture::names_in;

mode_t mode_of(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

bool write_all(FILE* stream, const bytes& data) {
    return std::fwrite(data.data(), 1, data.size(), stream) == data.size();
}

const bytes old_bytes = {'o', 'l', 'd'};
const bytes new_bytes = {'n', 'e', 'w', '!'};

TEST(ReplaceTest, TargetChangesOnlyAtCommitAndKeepsItsMode) {
    fixture::temp_dir dir;
    const std::string target = dir.file("TEXBSI.001");
    fixture::write_file(target, old_bytes);
    ASSERT_EQ(0, chmod(target.c_str(), 0640));

    platform::replacement r;
    ASSERT_TRUE(platform::begin_replace(target.c_str(), r));
    ASSERT_TRUE(write_all(r.stream, new_bytes));
    std::fflush(r.stream);
    EXPECT_EQ(old_bytes, fixture::read_file(target));
    EXPECT_EQ(2u, names_in(dir.path()).size());  // the target and the new file beside it

    ASSERT_TRUE(platform::commit_replace(r));
    EXPECT_EQ(new_bytes, fixture::read_file(target));
    EXPECT_EQ(0640u, mode_of(target));
    EXPECT_EQ(std::vector<std::string>{"TEXBSI.001"}, names_in(dir.path()));
}

TEST(ReplaceTest, NewFileGetsTheModeFopenWouldGive) {
    fixture::temp_dir dir;
    const std::string target = dir.file("new.bin");
    const mode_t old_mask = umask(027);
    platform::replacement r;
    const bool begun = platform::begin_replace(target.c_str(), r);
    umask(old_mask);
    ASSERT_TRUE(begun);
    ASSERT_TRUE(platform::commit_replace(r));
    EXPECT_EQ(0640u, mode_of(target));
}

TEST(ReplaceTest, SymbolicLinksAreFollowedAndKept) {
    fixture::temp_dir dir;
    fs::create_directory(dir.file("game"));
    fs::create_directory(dir.file("links"));
    const std::string real = dir.file("game/TEXBSI.002");
    fixture::write_file(real, old_bytes);
    // A relative link to an absolute link to the file.
    fs::create_symlink(real, dir.file("links/absolute"));
    fs::create_symlink("absolute", dir.file("links/relative"));
    // A link whose target does not exist yet.
    fs::create_symlink("../game/made", dir.file("links/dangling"));

    for (const char* link : {"links/relative", "links/dangling"}) {
        platform::replacement r;
        ASSERT_TRUE(platform::begin_replace(dir.file(link).c_str(), r)) << link;
        ASSERT_TRUE(write_all(r.stream, new_bytes));
        ASSERT_TRUE(platform::commit_replace(r)) << link;
        EXPECT_TRUE(fs::is_symlink(dir.file(link))) << link;
    }
    EXPECT_EQ(new_bytes, fixture::read_file(real));
    EXPECT_EQ(new_bytes, fixture::read_file(dir.file("game/made")));
    EXPECT_EQ((std::vector<std::string>{"TEXBSI.002", "made"}), names_in(dir.file("game")));
    EXPECT_EQ((std::vector<std::string>{"absolute", "dangling", "relative"}),
              names_in(dir.file("links")));
}

TEST(ReplaceTest, BackslashesSeparateDirectories) {
    fixture::temp_dir dir;
    fs::create_directory(dir.file("sub"));
    const std::string held = dir.path() + "\\sub\\file";
    platform::replacement r;
    ASSERT_TRUE(platform::begin_replace(held.c_str(), r));
    ASSERT_TRUE(write_all(r.stream, new_bytes));
    ASSERT_TRUE(platform::commit_replace(r));
    EXPECT_EQ(new_bytes, fixture::read_file(dir.file("sub/file")));
}

TEST(ReplaceTest, FailuresLeaveTheTargetAndNoTemporaryFile) {
    fixture::temp_dir dir;
    const std::string target = dir.file("keep");
    fixture::write_file(target, old_bytes);

    // Given up before the commit.
    platform::replacement r;
    ASSERT_TRUE(platform::begin_replace(target.c_str(), r));
    ASSERT_TRUE(write_all(r.stream, new_bytes));
    platform::abort_replace(r);

    // The rename cannot be done.
    ASSERT_TRUE(platform::begin_replace(target.c_str(), r));
    ASSERT_TRUE(write_all(r.stream, new_bytes));
    r.final_path = dir.file("gone/keep");
    EXPECT_FALSE(platform::commit_replace(r));

    // Neither a directory nor a missing directory can be replaced.
    fs::create_directory(dir.file("folder"));
    EXPECT_FALSE(platform::begin_replace(dir.file("folder").c_str(), r));
    EXPECT_FALSE(platform::begin_replace(dir.file("missing/x").c_str(), r));
    EXPECT_FALSE(platform::begin_replace("", r));

    EXPECT_EQ(old_bytes, fixture::read_file(target));
    EXPECT_EQ((std::vector<std::string>{"folder", "keep"}), names_in(dir.path()));
    EXPECT_TRUE(names_in(dir.file("folder")).empty());
}

// A replacement of a held file is renamed over it only while it is still
// the file the hold was taken on, with the same content.
TEST(ReplaceTest, AHeldFileChangedMeanwhileIsNotReplaced) {
    struct change {
        const char* label;
        void (*make)(const std::string& target, const std::string& dir);
    };
    const change changes[] = {
        {"unchanged", [](const std::string&, const std::string&) {}},
        {"written in place",
         [](const std::string& target, const std::string&) {
             fixture::write_file(target, {'t', 'h', 'e', 'i', 'r', 's'});
         }},
        {"another file renamed over it",
         [](const std::string& target, const std::string& dir) {
             fixture::write_file(dir + "/other", {'t', 'h', 'e', 'i', 'r', 's'});
             std::rename((dir + "/other").c_str(), target.c_str());
         }},
    };
    for (const change& c : changes) {
        SCOPED_TRACE(c.label);
        fixture::temp_dir dir;
        const std::string target = dir.file("TEXBSI.001");
        fixture::write_file(target, old_bytes);
        platform::file_lock lock;
        ASSERT_EQ(platform::lock_file(target.c_str(), 0, lock, nullptr),
                  platform::lock_result::locked);
        EXPECT_TRUE(lock.exclusive);
        c.make(target, dir.path());

        platform::replacement r;
        r.held = &lock;
        ASSERT_TRUE(platform::begin_replace(target.c_str(), r));
        ASSERT_TRUE(write_all(r.stream, new_bytes));
        const bool unchanged = std::string(c.label) == "unchanged";
        EXPECT_EQ(platform::commit_replace(r), unchanged);
        EXPECT_EQ(r.changed, !unchanged);
        if (unchanged) {
            EXPECT_EQ(fixture::read_file(target), new_bytes);
        } else {
            EXPECT_EQ(fixture::read_file(target), (bytes{'t', 'h', 'e', 'i', 'r', 's'}));
        }
        EXPECT_EQ(std::vector<std::string>{"TEXBSI.001"}, names_in(dir.path()));
    }
}

// The hold: a second holder waits for the first (here a second open of the
// file in the same process, which flock treats as another holder), and a
// name that leads to no regular file cannot be held.
int wait_calls = 0;

TEST(LockTest, ASecondHolderWaitsThenGivesUp) {
    fixture::temp_dir dir;
    const std::string target = dir.file("TEXBSI.001");
    fixture::write_file(target, old_bytes);
    platform::file_lock first, second;
    ASSERT_EQ(platform::lock_file(target.c_str(), 0, first, nullptr),
              platform::lock_result::locked);
    wait_calls = 0;
    EXPECT_EQ(platform::lock_file(target.c_str(), 60, second, [] { ++wait_calls; }),
              platform::lock_result::busy);
    EXPECT_EQ(wait_calls, 1);
    platform::unlock_file(first);
    EXPECT_EQ(platform::lock_file(target.c_str(), 0, second, nullptr),
              platform::lock_result::locked);
    EXPECT_EQ(second.identity.size, static_cast<int64_t>(old_bytes.size()));

    fs::create_directory(dir.file("folder"));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    platform::file_lock other;
    EXPECT_EQ(platform::lock_file(dir.file("folder").c_str(), 0, other, nullptr),
              platform::lock_result::not_regular);
    EXPECT_EQ(platform::lock_file(dir.file("fifo").c_str(), 0, other, nullptr),
              platform::lock_result::not_regular);
    EXPECT_EQ(platform::lock_file(dir.file("missing").c_str(), 0, other, nullptr),
              platform::lock_result::failed);
}

// Two names of one file are one file; a change shows in its content.
TEST(IdentityTest, NamesLeadToFiles) {
    fixture::temp_dir dir;
    const std::string file = dir.file("TEXBSI.001");
    fixture::write_file(file, old_bytes);
    fs::create_symlink("TEXBSI.001", dir.file("soft"));
    fs::create_hard_link(file, dir.file("hard"));
    fixture::write_file(dir.file("other"), old_bytes);
    platform::file_identity original, soft, hard, other, missing;
    ASSERT_TRUE(platform::identify_path(file.c_str(), original));
    ASSERT_TRUE(platform::identify_path(dir.file("soft").c_str(), soft));
    ASSERT_TRUE(platform::identify_path(dir.file("hard").c_str(), hard));
    ASSERT_TRUE(platform::identify_path(dir.file("other").c_str(), other));
    EXPECT_FALSE(platform::identify_path(dir.file("missing").c_str(), missing));
    EXPECT_TRUE(original.regular);
    EXPECT_EQ(original.links, 2u);
    EXPECT_TRUE(platform::same_file(original, soft));
    EXPECT_TRUE(platform::same_file(original, hard));
    EXPECT_FALSE(platform::same_file(original, other));
    EXPECT_FALSE(platform::same_file(missing, missing));
    EXPECT_TRUE(platform::same_content(original, soft));

    FILE* stream = std::fopen(file.c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    platform::file_identity through_stream;
    EXPECT_TRUE(platform::identify_stream(stream, through_stream));
    std::fclose(stream);
    EXPECT_TRUE(platform::same_file(original, through_stream));

    fixture::write_file(file, new_bytes);
    platform::file_identity changed;
    ASSERT_TRUE(platform::identify_path(file.c_str(), changed));
    EXPECT_TRUE(platform::same_file(original, changed));
    EXPECT_FALSE(platform::same_content(original, changed));
}

// --- The texture file's save under real faults ---------------------------------

class SaveFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Large enough that a small file-size limit stops it halfway.
        original = fixture::texture_file({fixture::simple_image("big", 256, 256, true),
                                          fixture::simple_image("more", 64, 64, false)});
        path = dir.file("TEXBSI.003");
        fixture::write_file(path, original);
    }

    void expect_untouched() {
        EXPECT_EQ(original, fixture::read_file(path));
        EXPECT_EQ(std::vector<std::string>{"TEXBSI.003"}, names_in(dir.path()));
    }

    fixture::temp_dir dir;
    std::string path;
    bytes original;
};

// Child exit statuses.
constexpr int saved_ok = 10, failed_as_expected = 0, wrong_code = 11, not_loaded = 12,
              cannot_drop = 77;

TEST_F(SaveFaultTest, FileSizeLimitHalfwayLeavesTheOriginal) {
    const libtest::child_result child = libtest::run_child([&] {
        TEX_IMAGE_LIST list;
        if (list.load(path.c_str()) != 1)
            _exit(not_loaded);
        const bytes picture(128 * 128, 0x42);
        list.put_picture(0, 128, 128, picture.data());
        // Writes beyond the limit fail with EFBIG instead of killing us.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {16384, 16384};
        setrlimit(RLIMIT_FSIZE, &limit);
        err_code = 0;
        if (list.save(path.c_str()) == 1)
            _exit(saved_ok);
        _exit(err_code == 3 ? failed_as_expected : wrong_code);
    });
    ASSERT_TRUE(child.exited) << child.err;
    EXPECT_EQ(failed_as_expected, child.status) << child.err;
    expect_untouched();
}

// What an ordinary user may not write, a save must not replace either: a
// read-only directory, and a read-only file in a writable directory (a
// rename there would work, but would overrule the file's own protection).
struct permission_case {
    const char* what;
    mode_t dir_mode;
    mode_t file_mode;
};

TEST_F(SaveFaultTest, WhatTheUserMayNotWriteIsLeftAlone) {
    const permission_case cases[] = {
        {"read-only directory", 0555, 0644},
        {"read-only file", 0777, 0444},
    };
    for (const permission_case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, chmod(path.c_str(), c.file_mode));
        ASSERT_EQ(0, chmod(dir.path().c_str(), c.dir_mode));
        const libtest::child_result child = libtest::run_child([&] {
            TEX_IMAGE_LIST list;
            if (list.load(path.c_str()) != 1)
                _exit(not_loaded);
            // Permissions do not bind root: save as an ordinary user.
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(cannot_drop);
            err_code = 0;
            if (list.save(path.c_str()) == 1)
                _exit(saved_ok);
            _exit(err_code == 1 ? failed_as_expected : wrong_code);
        });
        chmod(dir.path().c_str(), 0755);
        chmod(path.c_str(), 0644);
        ASSERT_TRUE(child.exited) << child.err;
        if (child.status == cannot_drop)
            GTEST_SKIP() << "cannot switch to an unprivileged user";
        EXPECT_EQ(failed_as_expected, child.status) << child.err;
        expect_untouched();
    }
}

}  // namespace
