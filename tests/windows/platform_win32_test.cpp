// The Windows platform layer, in the Windows test build (run under Wine on
// the build machine): backslash paths, the C library's text mode, directory
// search, heap and error texts, file replacement and the console decisions.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <malloc.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "platform/PLATFORM.h"
#include "platform/win32/WIN32DETAIL.h"
#include "support/fixture.h"

namespace {

using fixture::bytes;

std::string bs(const fixture::temp_dir& dir, const std::string& name) {
    return dir.path() + "\\" + name;
}

std::set<std::string> names_in(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

bytes as_bytes(const char* text) {
    return bytes(text, text + std::strlen(text));
}

// --- Paths --------------------------------------------------------------------

TEST(Win32Paths, BackslashIsTheOnlySeparator) {
    EXPECT_EQ(platform::dir_separator(), '\\');
    EXPECT_TRUE(platform::is_dir_separator('\\'));
    EXPECT_FALSE(platform::is_dir_separator('/'));
    EXPECT_FALSE(platform::is_dir_separator(':'));
}

TEST(Win32Paths, PathOperationsGiveTheToolsOwnResults) {
    struct {
        const char* operation;
        const char* input;
        const char* expected;
    } cases[] = {
        {"terminate", "c:\\games\\", "c:\\games\\"},
        {"terminate", "c:\\games", "c:\\games\\"},
        {"terminate", "c:/games/", "c:/games/\\"},  // '/' is no separator here
        {"terminate", "", ""},
        {"path", "tex.001", ""},
        {"path", "c:\\a\\tex.001", "c:\\a\\"},
        {"path", "e:\\out/sub\\x/tex.pcx", "e:\\out/sub\\"},
        {"path", "e:tex.pcx", ""},
        {"filename", "tex.001", "tex.001"},
        {"filename", "c:\\a\\tex.001", "tex.001"},
        {"filename", "out/tex.pcx", "out/tex.pcx"},
        {"extension", "dir.x\\file", "dir.x\\file"},
        {"extension", "dir.x/file", "dir"},
        {"extension", ".pcx", ""},
        {"extension", "e:\\out\\tex.pcx", "e:\\out\\tex"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.operation) + " " + c.input);
        char buffer[600] = {};
        const std::string op = c.operation;
        if (op == "terminate") {
            std::strcpy(buffer, c.input);
            terminate_path(buffer);
        } else if (op == "path") {
            extract_path(buffer, c.input, 512);
        } else if (op == "filename") {
            extract_filename(buffer, c.input, 512);
        } else {
            std::strcpy(buffer, c.input);
            remove_extension(buffer);
        }
        EXPECT_STREQ(buffer, c.expected);
    }
    char copied[16] = {};
    EXPECT_STREQ(copy_path(copied, "d:\\game", 12), "d:\\game\\");
    for (const char* name : {"a:b", "a/b", "a\\b"})
        EXPECT_EQ(has_path(name), 1) << name;
    EXPECT_EQ(has_path("TEXBSI.001"), 0);
}

// --- Text mode and streams ---------------------------------------------------------

TEST(Win32Files, TextModeWritesAndFoldsCrLf) {
    fixture::temp_dir dir;
    const std::string name = bs(dir, "text.txt");
    FILE* out = platform::open_file(name.c_str(), "wt");
    ASSERT_NE(out, nullptr);
    std::fputs("key = a\nlast", out);
    std::fclose(out);
    EXPECT_EQ(fixture::read_file(name), as_bytes("key = a\r\nlast"));

    // Files written elsewhere, with bare LF or with a CR of their own, read
    // line by line the same way.
    for (const char* content : {"key = a\r\nlast", "key = a\nlast"}) {
        SCOPED_TRACE(content);
        fixture::write_file(name, as_bytes(content));
        FILE* in = platform::open_file(name.c_str(), "rt");
        ASSERT_NE(in, nullptr);
        char line[32] = {};
        EXPECT_EQ(read_eol(in, line, 31), read_ok);
        EXPECT_STREQ(line, "key = a");
        EXPECT_EQ(read_eol(in, line, 31), read_end);
        EXPECT_STREQ(line, "last");
        std::fclose(in);
    }
    EXPECT_EQ(platform::open_file(nullptr, "rb"), nullptr);
    EXPECT_EQ(platform::open_file(dir.path().c_str(), "rb"), nullptr);  // a directory
}

TEST(Win32Files, BytesLeftCountsFromThePosition) {
    fixture::temp_dir dir;
    const std::string name = bs(dir, "data.bin");
    fixture::write_file(name, bytes(1000, 7));
    FILE* in = platform::open_file(name.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(platform::bytes_left(in), 1000);
    std::fseek(in, 990, SEEK_SET);
    EXPECT_EQ(platform::bytes_left(in), 10);
    std::fseek(in, 5000, SEEK_SET);
    EXPECT_EQ(platform::bytes_left(in), 0);
    std::fclose(in);
    EXPECT_EQ(platform::bytes_left(nullptr), -1);
    FILE* device = platform::open_file("NUL", "rb");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(platform::bytes_left(device), -1);
    std::fclose(device);
}

TEST(Win32Files, CurrentDirectoryRoundTrip) {
    fixture::temp_dir dir;
    char saved[1024] = {};
    ASSERT_TRUE(platform::get_current_dir(saved, sizeof(saved)));
    ASSERT_TRUE(platform::change_dir(dir.path().c_str()));
    char now[1024] = {};
    ASSERT_TRUE(platform::get_current_dir(now, sizeof(now)));
    EXPECT_TRUE(std::filesystem::equivalent(now, dir.path()));
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_FALSE(platform::get_current_dir(small, sizeof(small)));
    EXPECT_STREQ(small, "");
    EXPECT_EQ(is_directory(dir.path().c_str()), 1);
    EXPECT_EQ(is_directory(bs(dir, "missing").c_str()), 0);
    EXPECT_TRUE(platform::change_dir(saved));
    EXPECT_FALSE(platform::change_dir(""));
    EXPECT_FALSE(platform::change_dir(nullptr));
}

// --- Directory search --------------------------------------------------------------

TEST(Win32Find, WalksMatchesWithAttributesAndSizes) {
    fixture::temp_dir dir;
    fixture::write_file(bs(dir, "one.pcx"), bytes(17, 1));
    fixture::write_file(bs(dir, "two.pcx"), bytes(3, 1));
    fixture::write_file(bs(dir, "TEXBSI.001"), bytes(5, 1));
    std::filesystem::create_directory(bs(dir, "sub.pcx"));

    platform::find_record record;
    std::set<std::string> seen;
    ASSERT_EQ(platform::find_first(bs(dir, "*.pcx").c_str(), &record), 0);
    do {
        seen.insert(record.name);
        const std::string name = record.name;
        if (name == "sub.pcx") {
            EXPECT_NE(record.attrib & platform::attrib_directory, 0u);
        } else {
            EXPECT_EQ(record.attrib & platform::attrib_directory, 0u);
            EXPECT_EQ(record.size, name == "one.pcx" ? 17u : 3u);
            EXPECT_GT(record.time_write, 0);
        }
    } while (platform::find_next(&record) == 0);
    EXPECT_EQ(seen, (std::set<std::string>{"one.pcx", "sub.pcx", "two.pcx"}));
    EXPECT_EQ(platform::find_close(), 0);
    EXPECT_EQ(platform::find_close(), -1);
    EXPECT_EQ(platform::find_next(&record), -1);

    EXPECT_EQ(platform::find_first(bs(dir, "*.tga").c_str(), &record), -1);
    EXPECT_EQ(platform::find_close(), -1);  // nothing matched: no search stays open
    EXPECT_EQ(path_exists(bs(dir, "texbsi.*").c_str()), 1);
    EXPECT_EQ(is_directory_entry(bs(dir, "sub.pcx").c_str()), 1);
    EXPECT_EQ(is_directory_entry(bs(dir, "one.pcx").c_str()), 0);
}

// --- Heap and system errors ---------------------------------------------------------

TEST(Win32System, HeapCheckResultsAndTheirStates) {
    using platform::heap_state;
    const struct {
        int result;
        heap_state state;
    } cases[] = {{_HEAPEMPTY, heap_state::empty},
                 {_HEAPOK, heap_state::ok},
                 {_HEAPBADBEGIN, heap_state::bad_begin},
                 {_HEAPBADNODE, heap_state::bad_node},
                 {_HEAPBADPTR, heap_state::bad_pointer},
                 {_HEAPEND, heap_state::end},
                 {12345, heap_state::other}};
    for (const auto& c : cases)
        EXPECT_EQ(platform::win32::heap_state_from(c.result), c.state);
    EXPECT_EQ(platform::check_heap(), heap_state::ok);
}

TEST(Win32System, ErrorTextsReachAsFarAsTheLibrarysTable) {
    ASSERT_NE(platform::system_error_text(ENOENT), nullptr);
    EXPECT_STREQ(platform::system_error_text(ENOENT), std::strerror(ENOENT));
    EXPECT_EQ(platform::system_error_text(0), nullptr);
    EXPECT_EQ(platform::system_error_text(-5), nullptr);
    EXPECT_EQ(platform::system_error_text(_sys_nerr), nullptr);
    EXPECT_EQ(platform::system_error_text(100000), nullptr);
}

// --- Replacing a file --------------------------------------------------------------

class Win32Replace : public ::testing::Test {
protected:
    void write_new(platform::replacement& r, const char* text) {
        ASSERT_NE(r.stream, nullptr);
        ASSERT_EQ(std::fwrite(text, 1, std::strlen(text), r.stream), std::strlen(text));
    }

    fixture::temp_dir dir;
    std::string target = bs(dir, "TEXBSI.001");
};

TEST_F(Win32Replace, CommitReplacesInOneStepAndLeavesNoTemporaryFile) {
    fixture::write_file(target, as_bytes("old"));
    platform::replacement r;
    ASSERT_TRUE(platform::begin_replace(target.c_str(), r));
    EXPECT_EQ(names_in(dir.path()).size(), 2u);
    write_new(r, "new\ncontent");  // binary: no CR is added
    EXPECT_EQ(fixture::read_file(target), as_bytes("old"));
    ASSERT_TRUE(platform::commit_replace(r));
    EXPECT_EQ(fixture::read_file(target), as_bytes("new\ncontent"));
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"TEXBSI.001"});
    EXPECT_EQ(r.stream, nullptr);

    // A new file is made where there was none.
    const std::string fresh = bs(dir, "fresh.001");
    ASSERT_TRUE(platform::begin_replace(fresh.c_str(), r));
    write_new(r, "x");
    ASSERT_TRUE(platform::commit_replace(r));
    EXPECT_EQ(fixture::read_file(fresh), as_bytes("x"));
}

TEST_F(Win32Replace, TheReplacementKeepsTheTargetsAttributes) {
    fixture::write_file(target, as_bytes("old"));
    const std::wstring wide(target.begin(), target.end());
    SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    if (!(GetFileAttributesW(wide.c_str()) & FILE_ATTRIBUTE_HIDDEN))
        GTEST_SKIP() << "NOTICE: this file system keeps no hidden attribute";
    platform::replacement r;
    ASSERT_TRUE(platform::begin_replace(target.c_str(), r));
    write_new(r, "new");
    ASSERT_TRUE(platform::commit_replace(r));
    EXPECT_EQ(fixture::read_file(target), as_bytes("new"));
    EXPECT_TRUE(GetFileAttributesW(wide.c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(Win32Replace, AbortAndFailedCommitLeaveTheTargetAsItWas) {
    fixture::write_file(target, as_bytes("old"));
    platform::replacement r;
    ASSERT_TRUE(platform::begin_replace(target.c_str(), r));
    write_new(r, "half");
    platform::abort_replace(r);
    EXPECT_EQ(fixture::read_file(target), as_bytes("old"));
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"TEXBSI.001"});

    // The target turns into a directory while the new file is written: the
    // rename fails and the temporary file goes.
    const std::string other = bs(dir, "other");
    ASSERT_TRUE(platform::begin_replace(other.c_str(), r));
    write_new(r, "new");
    std::filesystem::create_directory(other);
    std::filesystem::create_directory(other + "\\inside");
    EXPECT_FALSE(platform::commit_replace(r));
    EXPECT_TRUE(std::filesystem::is_directory(other + "\\inside"));
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"TEXBSI.001", "other"}));
    EXPECT_FALSE(platform::commit_replace(r));  // nothing begun
}

TEST_F(Win32Replace, ReadOnlyFilesAndDirectoriesAreRefusedBeforeAnythingIsWritten) {
    fixture::write_file(target, as_bytes("old"));
    const std::wstring wide(target.begin(), target.end());
    ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY));
    platform::replacement r;
    EXPECT_FALSE(platform::begin_replace(target.c_str(), r));
    EXPECT_EQ(r.stream, nullptr);
    SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(platform::begin_replace(dir.path().c_str(), r));
    EXPECT_FALSE(platform::begin_replace("", r));
    EXPECT_FALSE(platform::begin_replace(nullptr, r));
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"TEXBSI.001"});
    EXPECT_EQ(fixture::read_file(target), as_bytes("old"));
}

TEST_F(Win32Replace, ALinkIsFollowedAndStays) {
    const std::string real = bs(dir, "real.001");
    fixture::write_file(real, as_bytes("old"));
    const std::wstring link_name(target.begin(), target.end());
    const std::wstring real_name(real.begin(), real.end());
    // Wine accepts the call but makes no link.
    CreateSymbolicLinkW(link_name.c_str(), real_name.c_str(), 0);
    const DWORD attributes = GetFileAttributesW(link_name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        GTEST_SKIP() << "NOTICE: symbolic links cannot be made here";
    }
    platform::replacement r;
    ASSERT_TRUE(platform::begin_replace(target.c_str(), r));
    write_new(r, "new");
    ASSERT_TRUE(platform::commit_replace(r));
    EXPECT_TRUE(GetFileAttributesW(link_name.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(fixture::read_file(real), as_bytes("new"));
}

// --- Holding a file while it is updated ------------------------------------------------------

// A second holder waits for the first and gives up after its time; the
// file can still be read by everybody meanwhile, but not written in place.
// (The first holds from a thread of its own: a mutex lets its own thread in
// again.)
TEST_F(Win32Replace, AHeldFileIsHeldOnceAndStaysReadable) {
    fixture::write_file(target, as_bytes("old"));
    std::atomic<int> stage{0};
    platform::lock_result first_result = platform::lock_result::failed;
    std::thread first([&] {
        platform::file_lock lock;
        first_result = platform::lock_file(target.c_str(), 0, lock, nullptr);
        stage = 1;
        while (stage != 2)
            Sleep(1);
        platform::unlock_file(lock);
        stage = 3;
    });
    while (stage == 0)
        Sleep(1);
    EXPECT_EQ(first_result, platform::lock_result::locked);
    platform::file_lock second;
    EXPECT_EQ(platform::lock_file(target.c_str(), 60, second, nullptr),
              platform::lock_result::busy);
    EXPECT_EQ(fixture::read_file(target), as_bytes("old"));
    EXPECT_EQ(std::fopen(target.c_str(), "r+b"), nullptr);
    stage = 2;
    first.join();
    EXPECT_EQ(platform::lock_file(target.c_str(), 0, second, nullptr),
              platform::lock_result::locked);
    EXPECT_TRUE(second.exclusive);
    platform::file_lock none;
    EXPECT_EQ(platform::lock_file(dir.path().c_str(), 0, none, nullptr),
              platform::lock_result::not_regular);
    EXPECT_EQ(platform::lock_file(bs(dir, "missing").c_str(), 0, none, nullptr),
              platform::lock_result::failed);
}

// The replacement of a held file goes over it only while it is the file
// that was held, with the content it had.
TEST_F(Win32Replace, AHeldFileChangedMeanwhileIsNotReplaced) {
    for (const bool change : {false, true}) {
        SCOPED_TRACE(change);
        fixture::write_file(target, as_bytes("old"));
        platform::file_lock lock;
        ASSERT_EQ(platform::lock_file(target.c_str(), 0, lock, nullptr),
                  platform::lock_result::locked);
        if (change) {
            // While held, nobody may write it; a file system without locks
            // (or the instant before the hold) lets another program do so.
            platform::unlock_file(lock);
            fixture::write_file(target, as_bytes("theirs"));
        }
        platform::replacement r;
        r.held = &lock;
        ASSERT_TRUE(platform::begin_replace(target.c_str(), r));
        write_new(r, "new");
        EXPECT_EQ(platform::commit_replace(r), !change);
        EXPECT_EQ(r.changed, change);
        EXPECT_EQ(fixture::read_file(target), as_bytes(change ? "theirs" : "new"));
        EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"TEXBSI.001"});
    }
}

TEST_F(Win32Replace, NamesOfOneFileAreOneFile) {
    fixture::write_file(target, as_bytes("old"));
    const std::string other = bs(dir, "other");
    fixture::write_file(other, as_bytes("old"));
    platform::file_identity a, b, c;
    ASSERT_TRUE(platform::identify_path(target.c_str(), a));
    ASSERT_TRUE(platform::identify_path(other.c_str(), c));
    FILE* stream = std::fopen(target.c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(platform::identify_stream(stream, b));
    std::fclose(stream);
    EXPECT_TRUE(a.regular);
    EXPECT_TRUE(platform::same_file(a, b));
    EXPECT_FALSE(platform::same_file(a, c));
    // The NUL device is no file to read a configuration from.
    EXPECT_EQ(platform::open_regular_file("NUL", "rb"), nullptr);
}

// --- Console ------------------------------------------------------------------------

TEST(Win32Console, OnlyAConsoleBufferIsAConsole) {
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
    EXPECT_FALSE(platform::win32::is_console_input(read_end));
    CloseHandle(read_end);
    CloseHandle(write_end);
    EXPECT_FALSE(platform::win32::is_console_input(nullptr));
    EXPECT_FALSE(platform::win32::is_console_input(INVALID_HANDLE_VALUE));

    // The NUL device passes _isatty, yet _getch on it would wait forever.
    const int nul = _open("NUL", _O_RDONLY);
    ASSERT_GE(nul, 0);
    EXPECT_FALSE(platform::win32::is_console_input(reinterpret_cast<HANDLE>(_get_osfhandle(nul))));
    _close(nul);

    HANDLE console =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE && AllocConsole()) {
        console =
            CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
    }
    if (console == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "NOTICE: no console to open here";
    EXPECT_TRUE(platform::win32::is_console_input(console));
    CloseHandle(console);
}

std::vector<int> scripted;
size_t script_position = 0;
int next_scripted() {
    return script_position < scripted.size() ? scripted[script_position++] : 27;
}

TEST(Win32Console, ArrowAndFunctionKeysAreConsumedWhole) {
    const struct {
        std::vector<int> codes;
        int key;
        size_t consumed;
    } cases[] = {
        {{'y'}, 'y', 1},
        {{27}, 27, 1},                           // Esc itself
        {{0xE0, 72, 'n'}, 'n', 3},               // arrow up, then N
        {{0, 59, 0xE0, 27, 0, 0, 'Y'}, 'Y', 7},  // F1, a code that looks like Esc, NUL code
        {{13, 'y'}, 13, 1},                      // Enter is a key the caller ignores
    };
    for (const auto& c : cases) {
        scripted = c.codes;
        script_position = 0;
        EXPECT_EQ(platform::win32::read_console_key(next_scripted), c.key);
        EXPECT_EQ(script_position, c.consumed);
    }
}

TEST(Win32Console, StreamBytesAreKeysAndTheirEndIsEsc) {
    fixture::temp_dir dir;
    const std::string name = bs(dir, "keys");
    fixture::write_file(name, bytes{'\r', '\n', 0x1A, 0xE0, 'y'});
    FILE* keys = std::fopen(name.c_str(), "rb");
    ASSERT_NE(keys, nullptr);
    for (int expected : {int{'\r'}, int{'\n'}, 0x1A, 0xE0, int{'y'}, 27, 27})
        EXPECT_EQ(platform::win32::read_stream_key(keys), expected);
    std::fclose(keys);
    EXPECT_EQ(platform::win32::read_stream_key(nullptr), 27);
}

}  // namespace
