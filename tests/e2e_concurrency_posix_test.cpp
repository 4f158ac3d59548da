// Imports that meet other writers of the same texture file, and the
// identity of the file they replace: two imports at the same moment take
// turns and both changes stay; a writer that does not ask for the hold is
// not overwritten; owner, group and extended attributes are kept where the
// system allows it, and the console says what could not be kept.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "safety_posix.h"
#include "support/fixture.h"
#include "support/run.h"

namespace {

using fixture::bytes;
using safety::launch;
using safety::pause_at;
using safety::process;
namespace fs = std::filesystem;

const std::string success = "   Successfully saved texture file 'TEXBSI.001'...";

// Two images, and a picture of the same size for each that an import puts
// in (a new size would add a line to the console).
struct two_images {
    std::vector<fixture::image> images = {fixture::simple_image("ONE", 6, 4, true),
                                          fixture::simple_image("TWO", 5, 3, false)};
    bytes first_picture = fixture::pixels(6, 4, 40);
    bytes second_picture = fixture::pixels(5, 3, 90);

    bytes original() const { return fixture::texture_file(images); }
    bytes with_first() const {
        return fixture::texture_file(
            {fixture::with_picture(images[0], 6, 4, first_picture), images[1]});
    }
    bytes with_both() const {
        return fixture::texture_file({fixture::with_picture(images[0], 6, 4, first_picture),
                                      fixture::with_picture(images[1], 5, 3, second_picture)});
    }
};

void put_files(const run::workspace& ws, const two_images& t) {
    ws.put("TEXBSI.001", t.original());
    ws.put("redguard.col", fixture::palette());
    ws.put_text("ostrel.ini", "");
    // In the colours each image has: its own colour map, or the palette file.
    ws.put("first.pcx", fixture::pcx_file(6, 4, t.first_picture, fixture::cmap()));
    ws.put("second.pcx", fixture::pcx_file(5, 3, t.second_picture, fixture::palette()));
}

launch import(const run::workspace& ws, int index, const std::string& pcx) {
    launch l;
    l.dir = ws.path();
    l.args = {"/2TEX", "/i:" + std::to_string(index), "TEXBSI.001", pcx};
    return l;
}

// --- Two imports at the same moment -------------------------------------------------

// The first import stops once it has read the file; the second, started then,
// must wait for it, and then read what the first wrote.
TEST(Concurrency, TwoImportsTakeTurnsAndBothChangesStay) {
    run::workspace ws;
    const two_images t;
    put_files(ws, t);
    const pause_at paused("loaded");
    launch first_launch = import(ws, 1, "first.pcx");
    first_launch.env = {paused.setting};
    process first(first_launch);
    ASSERT_TRUE(paused.reached()) << first.out();

    process second(import(ws, 2, "second.pcx"));
    // It says that it waits, and it does not go on while the first holds.
    const std::string waiting =
        "   Texture file 'TEXBSI.001' is in use by another program, waiting up to 10 seconds...\n";
    std::string second_out;
    const auto deadline = safety::clock_type::now() + std::chrono::seconds(20);
    while ((second_out = second.out()).find(waiting) == std::string::npos &&
           safety::clock_type::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(second_out, waiting);
    EXPECT_EQ(ws.bytes("TEXBSI.001"), t.original());

    paused.release();
    EXPECT_EQ(first.wait(), 1) << first.out();
    EXPECT_EQ(second.wait(), 1) << second.out();
    EXPECT_EQ(first.out(), success);
    EXPECT_EQ(second.out(), waiting + success);
    EXPECT_EQ(ws.bytes("TEXBSI.001"), t.with_both());
    EXPECT_TRUE(safety::temporary_files(ws.path()).empty());
}

// A holder that never lets go (here: the test itself) is waited for only so
// long; then the import gives up and leaves the file as it is.
TEST(Concurrency, AnImportGivesUpOnAFileHeldTooLong) {
    run::workspace ws;
    const two_images t;
    put_files(ws, t);
    const int held = open(ws.path("TEXBSI.001").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    process waiting(import(ws, 1, "first.pcx"));
    const int status = waiting.wait();
    close(held);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(waiting.out(),
              "   Texture file 'TEXBSI.001' is in use by another program, waiting up to 10 "
              "seconds...\n" +
                  run::fatal_report("",
                                    "Error: Texture file 'TEXBSI.001' is still in use by "
                                    "another program; try again when it is done!"));
    EXPECT_EQ(ws.bytes("TEXBSI.001"), t.original());
    EXPECT_TRUE(safety::temporary_files(ws.path()).empty());
}

// Another program that does not ask for the hold changes the file while the
// import has it in memory: the import must not write the old content with
// its own change over that program's work.
TEST(Concurrency, AChangeByAnotherProgramMeanwhileIsNotOverwritten) {
    const two_images t;
    const bytes theirs = fixture::texture_file({t.images[1]});
    struct way {
        const char* label;
        bool rename_over;  // a new file renamed over it; else written in place
    };
    for (const way& w : {way{"written in place", false}, way{"renamed over it", true}}) {
        SCOPED_TRACE(w.label);
        run::workspace ws;
        put_files(ws, t);
        const pause_at paused("loaded");
        launch l = import(ws, 1, "first.pcx");
        l.env = {paused.setting};
        process importing(l);
        ASSERT_TRUE(paused.reached()) << importing.out();
        if (w.rename_over) {
            ws.put("theirs.new", theirs);
            ASSERT_EQ(std::rename(ws.path("theirs.new").c_str(), ws.path("TEXBSI.001").c_str()), 0);
        } else {
            FILE* in_place = std::fopen(ws.path("TEXBSI.001").c_str(), "r+b");
            ASSERT_NE(in_place, nullptr);
            ASSERT_EQ(std::fwrite(theirs.data(), 1, theirs.size(), in_place), theirs.size());
            ASSERT_EQ(ftruncate(fileno(in_place), static_cast<off_t>(theirs.size())), 0);
            std::fclose(in_place);
        }
        paused.release();
        EXPECT_EQ(importing.wait(), 0);
        EXPECT_EQ(importing.out(),
                  run::fatal_report("Could not write to file!",
                                    "Error: Texture file 'TEXBSI.001' was changed by another "
                                    "program while it was read; nothing was saved, try again!"));
        EXPECT_EQ(ws.bytes("TEXBSI.001"), theirs);
        EXPECT_TRUE(safety::temporary_files(ws.path()).empty());
    }
}

// --- What the new file keeps of the old one ---------------------------------------------

bool root() {
    return geteuid() == 0;
}

// An access ACL as Linux stores it in system.posix_acl_access: version 2,
// then entries of tag, permissions and id, in the order of their tags.
bytes access_acl(uint32_t other_user) {
    bytes acl;
    fixture::put_le32(acl, 2);
    auto entry = [&](uint16_t tag, uint16_t permissions, uint32_t id) {
        fixture::put_le16(acl, tag);
        fixture::put_le16(acl, permissions);
        fixture::put_le32(acl, id);
    };
    const uint32_t no_id = 0xFFFFFFFFu;
    entry(0x01, 6, no_id);       // owner: read, write
    entry(0x02, 4, other_user);  // a named user: read
    entry(0x04, 4, no_id);       // owning group: read
    entry(0x10, 4, no_id);       // mask: read
    entry(0x20, 0, no_id);       // others: nothing
    return acl;
}

std::string attribute(const std::string& path, const char* name) {
    char value[256];
    const ssize_t length = getxattr(path.c_str(), name, value, sizeof value);
    return length < 0 ? std::string("<none>") : std::string(value, static_cast<size_t>(length));
}

TEST(FileIdentity, OwnerGroupAndExtendedAttributesAreKept) {
    if (!root())
        GTEST_SKIP() << "NOTICE: giving a file to another user needs root";
    run::workspace ws;
    const two_images t;
    put_files(ws, t);
    const std::string texture = ws.path("TEXBSI.001");
    ASSERT_EQ(chown(texture.c_str(), 1234, 5678), 0);
    ASSERT_EQ(chmod(texture.c_str(), 0640), 0);
    const std::string note = "a picture of the wall";
    if (setxattr(texture.c_str(), "user.ostrel.note", note.data(), note.size(), 0) != 0)
        GTEST_SKIP() << "NOTICE: no extended attributes here (" << std::strerror(errno) << ")";
    const bytes acl = access_acl(4321);
    if (setxattr(texture.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
        GTEST_SKIP() << "NOTICE: no ACLs here (" << std::strerror(errno) << ")";
    const std::string acl_before = attribute(texture, "system.posix_acl_access");

    process importing(import(ws, 1, "first.pcx"));
    EXPECT_EQ(importing.wait(), 1);
    EXPECT_EQ(importing.out(), success);
    EXPECT_EQ(ws.bytes("TEXBSI.001"), t.with_first());
    struct stat info {};
    ASSERT_EQ(stat(texture.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 1234u);
    EXPECT_EQ(info.st_gid, 5678u);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(attribute(texture, "user.ostrel.note"), note);
    EXPECT_EQ(attribute(texture, "system.posix_acl_access"), acl_before);
}

// Where the new file cannot be the old one, the import goes on and its
// console says so in one line before the success line.
TEST(FileIdentity, WhatCannotBeKeptIsSaid) {
    if (!root())
        GTEST_SKIP() << "NOTICE: files of another user need root to make";
    struct identity_case {
        const char* label;
        int links;        // names of the texture file
        bool other_user;  // the file is another user's, group-writable, and we are not root
        std::string note;
    };
    const std::vector<identity_case> cases = {
        {"a second name", 2, false, "its other name (a hard link) keeps the old content"},
        {"three names", 3, false, "its 2 other names (hard links) keep the old content"},
        {"another user's file", 1, true, "it now belongs to you, not to user 1234"},
    };
    for (const identity_case& c : cases) {
        SCOPED_TRACE(c.label);
        run::workspace ws;
        const two_images t;
        put_files(ws, t);
        const std::string texture = ws.path("TEXBSI.001");
        for (int i = 1; i < c.links; ++i)
            ASSERT_EQ(link(texture.c_str(), ws.path("copy" + std::to_string(i)).c_str()), 0);
        launch l = import(ws, 1, "first.pcx");
        if (c.other_user) {
            // nobody, a member of the file's group, may write the file and
            // the folder.
            ASSERT_EQ(chown(texture.c_str(), 1234, 4321), 0);
            ASSERT_EQ(chmod(texture.c_str(), 0664), 0);
            ASSERT_EQ(chmod(ws.path().c_str(), 0777), 0);
            l.uid = 65534;
            l.gid = 4321;
        }
        process importing(l);
        const int status = importing.wait();
        ASSERT_NE(status, 124) << "cannot switch to an unprivileged user";
        EXPECT_EQ(status, 1) << importing.out();
        EXPECT_EQ(importing.out(), "   Note: '" + std::string("TEXBSI.001") +
                                       "' is a new file: " + c.note + ".\n" + success);
        EXPECT_EQ(ws.bytes("TEXBSI.001"), t.with_first());
        for (int i = 1; i < c.links; ++i)
            EXPECT_EQ(ws.bytes("copy" + std::to_string(i)), t.original());
        if (c.other_user) {
            struct stat info {};
            ASSERT_EQ(stat(texture.c_str(), &info), 0);
            EXPECT_EQ(info.st_uid, 65534u);
            EXPECT_EQ(info.st_gid, 4321u);  // the group a member may still give
            EXPECT_EQ(info.st_mode & 07777, 0664u);
        }
    }
}

}  // namespace
