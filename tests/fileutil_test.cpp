#include "lib/FILEUTIL.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/GENERR.h"
#include "lib/GENMEM.h"
#include "lib_support.h"
#include "platform/PLATFORM.h"

namespace {

using fixture::bytes;
using libtest::contains;
using libtest::scoped_log;

bytes text_bytes(const std::string& text) {
    return bytes(text.begin(), text.end());
}

// A stream over the given bytes, in a file of a temporary directory.
class file_with {
public:
    explicit file_with(const bytes& data, const char* mode = "rb") {
        fixture::write_file(path_, data);
        stream_ = platform::open_file(path_.c_str(), mode);
    }
    // Text is read as the program reads text files: in text mode.
    explicit file_with(const std::string& text) : file_with(text_bytes(text), "rt") {}
    ~file_with() {
        if (stream_ != nullptr)
            std::fclose(stream_);
    }
    FILE* get() const { return stream_; }
    const std::string& path() const { return path_; }

private:
    fixture::temp_dir dir_;
    std::string path_ = dir_.file("data.bin");
    FILE* stream_ = nullptr;
};

// --- Opening -------------------------------------------------------------------

TEST(OpenFile, MissingFileLogsBothLinesAndSetsCode1) {
    scoped_log log;
    const std::string missing = log.dir().file("none.bsi");
    err_code = 0;
    EXPECT_EQ(openfile(missing.c_str(), "rb", 0), nullptr);
    EXPECT_EQ(err_code, 1u);
    const auto lines = log.close();
    EXPECT_TRUE(contains(lines, "Attempting to open file '" + missing + "' in mode 'rb'"));
    EXPECT_TRUE(contains(lines, "     Failed to open file '" + missing + "'  (Mem=0, Heap is OK)"));
}

TEST(OpenFile, BackslashesReachTheSystemAsSlashesAndDirectoriesAreRefused) {
    fixture::temp_dir dir;
    ASSERT_TRUE(std::filesystem::create_directory(dir.file("sub")));
    fixture::write_file(dir.file("sub/a.txt"), text_bytes("hi"));
    std::string windows_style = dir.path() + "\\sub\\a.txt";
    FILE* stream = openfile(windows_style.c_str(), "rt", 0);
    ASSERT_NE(stream, nullptr);
    std::fclose(stream);

    err_code = 0;
    EXPECT_EQ(openfile(dir.file("sub").c_str(), "rb", 0), nullptr);
    EXPECT_EQ(err_code, 1u);
    EXPECT_EQ(openfile(nullptr, "rb", 0), nullptr);
    EXPECT_EQ(err_code, 8u);
}

TEST(Replacement, CommitReplacesAndAbortKeeps) {
    scoped_log log;
    const std::string target = log.dir().file("TEXBSI.001");
    fixture::write_file(target, text_bytes("old"));

    platform::replacement kept;
    ASSERT_TRUE(open_replacement(target.c_str(), kept));
    std::fputs("discarded", kept.stream);
    EXPECT_TRUE(finish_replacement(kept, false));
    EXPECT_EQ(libtest::read_text(target), "old");

    platform::replacement replaced;
    ASSERT_TRUE(open_replacement(target.c_str(), replaced));
    std::fputs("new", replaced.stream);
    EXPECT_TRUE(finish_replacement(replaced, true));
    EXPECT_EQ(libtest::read_text(target), "new");

    err_code = 0;
    platform::replacement impossible;
    const std::string nowhere = log.dir().file("no/such/dir/TEXBSI.001");
    EXPECT_FALSE(open_replacement(nowhere.c_str(), impossible));
    EXPECT_EQ(err_code, 1u);
    const auto lines = log.close();
    EXPECT_TRUE(contains(lines, "Attempting to open file '" + target + "' in mode 'wb'"));
    EXPECT_TRUE(contains(lines, "     Failed to open file '" + nowhere + "'  (Mem=0, Heap is OK)"));
}

// A writer's output file takes its name only when committed: until then,
// and after an abort or a return without commit, an earlier file of that
// name is as it was and nothing is left beside it.
TEST(Replacement, OutputFileTakesItsNameOnlyWhenComplete) {
    scoped_log log;
    const fixture::temp_dir& dir = log.dir();
    const std::string target = dir.file("sky01.pcx");
    fixture::write_file(target, text_bytes("earlier"));
    {
        output_file out;
        ASSERT_TRUE(out.open(target.c_str()));
        std::fputs("half", out.stream());
        std::fflush(out.stream());
        EXPECT_EQ(libtest::read_text(target), "earlier");
        EXPECT_EQ(fixture::names_in(dir.path()).size(), 3u);  // the log, the file, the new one
    }  // gone without a commit
    EXPECT_EQ(libtest::read_text(target), "earlier");

    output_file out;
    ASSERT_TRUE(out.open(target.c_str()));
    out.abort();
    EXPECT_EQ(out.stream(), nullptr);
    ASSERT_TRUE(out.open(target.c_str()));
    std::fputs("whole", out.stream());
    EXPECT_TRUE(out.commit());
    EXPECT_EQ(libtest::read_text(target), "whole");
    err_code = 0;
    EXPECT_FALSE(out.commit());  // nothing open any more
    EXPECT_EQ(err_code, 8u);
    const auto lines = log.close();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Attempting to open file '" + target + "' in mode 'wb'"),
              3);
    EXPECT_EQ(fixture::names_in(dir.path()),
              (std::vector<std::string>{"sky01.pcx", "test.log"}));
}

// --- Line and word readers -----------------------------------------------------

struct eol_case {
    const char* name;
    std::string input;
    uint32_t maximum;
    std::vector<std::pair<int, std::string>> reads;  // result and buffer, in order
};

TEST(ReadEol, Cases) {
    const std::string l255(255, 'a');
    const std::string l256 = std::string(255, 'b') + "c";
    const eol_case cases[] = {
        {"exactly the maximum", l255 + "\nnext\n", 255, {{0, l255}, {0, "next"}, {1, ""}}},
        {"one over the maximum", l256 + "\nnext", 255, {{3, std::string(255, 'b')}, {1, "next"}}},
        {"last line without line feed", "one\ntwo", 20, {{0, "one"}, {1, "two"}}},
        {"CR LF is one line end", "one\r\ntwo\r\n", 20, {{0, "one"}, {0, "two"}, {1, ""}}},
        {"lone CR stays", "a\rb\n", 20, {{0, "a\rb"}}},
        {"CR at the end of the file", "a\r", 20, {{1, "a\r"}}},
        {"maximum 0 with a buffer", "x\n\n", 0, {{3, ""}, {0, ""}}},
        {"over-long line at the end of the file", "abcdef", 3, {{3, "abc"}}},
    };
    for (const eol_case& c : cases) {
        SCOPED_TRACE(c.name);
        scoped_log log;
        file_with file(c.input);
        for (const auto& [result, text] : c.reads) {
            std::vector<char> buffer(c.maximum + 1, '#');
            int got = read_eol(file.get(), buffer.data(), c.maximum);
            EXPECT_EQ(got, result);
            EXPECT_STREQ(buffer.data(), text.c_str());
            if (got == read_too_long)
                read_eol(file.get(), nullptr, 0);
        }
        const bool long_line = c.reads.front().first == read_too_long;
        EXPECT_EQ(contains(log.close(), "FILEUTIL - read_eol(): Max string length exceeded, " +
                                            std::to_string(c.maximum) + "!"),
                  long_line);
    }
}

TEST(ReadEol, HugeLinesNulBytesAndNoBuffer) {
    std::string input(100 * 1024, 'z');
    input[10] = '\0';
    input += "\nafter\n";
    file_with file(input);
    char buffer[256];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(read_eol(file.get(), buffer, 255), read_too_long);
    EXPECT_EQ(std::memcmp(buffer, input.data(), 255), 0);
    EXPECT_EQ(buffer[255], '\0');
    EXPECT_EQ(read_eol(file.get(), nullptr, 0), read_ok);  // no limit without a buffer
    EXPECT_EQ(read_eol(file.get(), buffer, 255), read_ok);
    EXPECT_STREQ(buffer, "after");

    err_code = 0;
    EXPECT_EQ(read_eol(nullptr, buffer, 255), read_end);
    EXPECT_EQ(err_code, 8u);
}

TEST(ReadWord, Cases) {
    scoped_log log;
    file_with file(std::string("  abc\n\tde f\r\nlongword x"));
    char buffer[5];
    EXPECT_EQ(read_word(file.get(), buffer, 4), read_eol_word);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(read_word(file.get(), buffer, 4), read_ok);
    EXPECT_STREQ(buffer, "de");
    EXPECT_EQ(read_word(file.get(), buffer, 4), read_eol_word);  // CR LF ends the word
    EXPECT_STREQ(buffer, "f");
    EXPECT_EQ(read_word(file.get(), buffer, 4), read_too_long);
    EXPECT_STREQ(buffer, "long");
    EXPECT_EQ(read_word(file.get(), nullptr, 0), read_ok);  // skips "ord"
    EXPECT_EQ(read_word(file.get(), buffer, 4), read_end);
    EXPECT_STREQ(buffer, "x");
    EXPECT_TRUE(contains(log.close(), "FILEUTIL - read_word(): Max string length exceeded, 4!"));
}

// --- Whole files -----------------------------------------------------------------

TEST(WholeFiles, ReadBinaryAndText) {
    fixture::temp_dir dir;
    const std::string path = dir.file("a.txt");
    const bytes data = {'a', '\r', '\n', 0, 'b', '\r', '\n', 0xFF};
    fixture::write_file(path, data);

    err_code = 0;
    owned_ptr<char> binary(read_file(path.c_str()));
    ASSERT_NE(binary, nullptr);
    EXPECT_EQ(std::memcmp(binary.get(), data.data(), data.size()), 0);
    EXPECT_EQ(binary.get()[data.size()], '\0');

    owned_ptr<char> text(read_textfile(path.c_str()));
    ASSERT_NE(text, nullptr);
    const char folded[] = {'a', '\n', 0, 'b', '\n', '\xFF', 0};
    EXPECT_EQ(std::memcmp(text.get(), folded, sizeof(folded)), 0);
    // Folding line ends is no short read where the program folds them
    // itself; where the C library folds them while reading, fewer bytes
    // arrive than the file holds, and that is reported.
    EXPECT_EQ(err_code, libtest::text_mode_folds_line_ends() ? 2u : 0u);
    err_code = 0;

    fixture::write_file(path, {});
    owned_ptr<char> empty(read_file(path.c_str()));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty.get()[0], '\0');

    EXPECT_EQ(read_file(dir.file("none").c_str()), nullptr);
    EXPECT_EQ(err_code, 1u);
    EXPECT_EQ(read_textfile(nullptr), nullptr);
    EXPECT_EQ(err_code, 8u);
}

TEST(WholeFiles, WriteText) {
    fixture::temp_dir dir;
    const std::string path = dir.file("out.txt");
    err_code = 0;
    EXPECT_EQ(write_textfile(path.c_str(), "line one\nline two\n"), 1);
    const std::string end = libtest::text_mode_line_end();
    EXPECT_EQ(libtest::read_text(path), "line one" + end + "line two" + end);
    EXPECT_EQ(write_textfile(path.c_str(), nullptr), 1);
    EXPECT_EQ(libtest::read_text(path), "");
    EXPECT_EQ(err_code, 0u);
    EXPECT_EQ(write_textfile(dir.file("no/dir/x").c_str(), "x"), 0);
    EXPECT_EQ(err_code, 1u);
}

TEST(WholeFiles, FailedWriteIsReported) {
    FILE* probe = std::fopen("/dev/full", "w");
    if (probe == nullptr)
        GTEST_SKIP() << "no /dev/full on this system";
    std::fclose(probe);
    scoped_log log;
    err_code = 0;
    EXPECT_EQ(write_textfile("/dev/full", "abc"), 1);
    EXPECT_EQ(err_code, 3u);
    EXPECT_TRUE(
        contains(log.close(), "FILEUTIL - write_textfile(): Wrote only 0 bytes but expected 3!"));
}

// --- Binary integers ---------------------------------------------------------------

TEST(BinaryIntegers, BothByteOrders) {
    file_with file(bytes{0x02, 0x01, 0x00, 0x00,  // 258 little-endian
                         0x02, 0x01, 0x00, 0x00,  // two shorts: 258, 0
                         0x00, 0x00, 0x01, 0x02,  // 258 big-endian
                         0x01, 0x00, 0x00, 0x00,  // 2^24 big-endian
                         0xFE, 0xFF, 0xFF, 0xFF,  // -2 little-endian
                         0x80, 0x00});
    err_code = 0;
    EXPECT_EQ(read_int(file.get()), 258);
    EXPECT_EQ(read_short(file.get()), 258);
    EXPECT_EQ(read_short(file.get()), 0);
    EXPECT_EQ(read_long_be(file.get()), 258u);
    EXPECT_EQ(read_long_be(file.get()), 16777216u);
    EXPECT_EQ(err_code, 0u);
    EXPECT_EQ(read_int(file.get()), -2);
    EXPECT_EQ(read_long_be(file.get()), 0u);  // only two bytes left
    EXPECT_EQ(err_code, 2u);
}

TEST(BinaryIntegers, ShortReadsAndNullStreams) {
    file_with one_byte(bytes{0x7F});
    err_code = 0;
    EXPECT_EQ(read_short(one_byte.get()), 0);
    EXPECT_EQ(err_code, 2u);
    err_code = 0;
    EXPECT_EQ(read_long(one_byte.get()), 0);
    EXPECT_EQ(err_code, 2u);
    for (auto read : {read_int, read_long}) {
        err_code = 0;
        EXPECT_EQ(read(nullptr), 0);
        EXPECT_EQ(err_code, 8u);
    }
    err_code = 0;
    EXPECT_EQ(read_short(nullptr), 0);
    EXPECT_EQ(read_long_be(nullptr), 0u);
    EXPECT_EQ(write_long_be(nullptr, 1), 0);
    EXPECT_EQ(err_code, 8u);
}

TEST(BinaryIntegers, WriteBigEndian) {
    fixture::temp_dir dir;
    const std::string path = dir.file("be.bin");
    FILE* stream = std::fopen(path.c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(write_long_be(stream, 258), 1);
    EXPECT_EQ(write_long_be(stream, 0xFEDCBA98u), 1);
    std::fclose(stream);
    EXPECT_EQ(fixture::read_file(path), (bytes{0, 0, 1, 2, 0xFE, 0xDC, 0xBA, 0x98}));

    FILE* full = std::fopen("/dev/full", "wb");
    if (full == nullptr)
        return;
    std::setvbuf(full, nullptr, _IONBF, 0);
    err_code = 0;
    EXPECT_EQ(write_long_be(full, 1), 0);
    EXPECT_EQ(err_code, 3u);
    std::fclose(full);
}

// --- Sizes -----------------------------------------------------------------------

TEST(Sizes, KeepPositionAndReportMissingFiles) {
    file_with file(bytes(1000, 7));
    ASSERT_EQ(std::fseek(file.get(), 123, SEEK_SET), 0);
    EXPECT_EQ(get_file_size(file.get()), 1000u);
    EXPECT_EQ(std::ftell(file.get()), 123);
    EXPECT_EQ(get_file_size_by_name(file.path().c_str()), 1000u);
    EXPECT_EQ(file_exists(file.path().c_str()), 1);

    err_code = 0;
    EXPECT_EQ(get_file_size_by_name((file.path() + ".none").c_str()), no_file_size);
    EXPECT_EQ(file_exists((file.path() + ".none").c_str()), 0);
    EXPECT_EQ(err_code, 0u);
    EXPECT_EQ(get_file_size(nullptr), no_file_size);
    EXPECT_EQ(err_code, 8u);
}

// --- Paths -----------------------------------------------------------------------

struct path_case {
    const char* operation;
    const char* input;
    std::string output;
};

void check_path_cases(const std::vector<path_case>& cases) {
    for (const path_case& c : cases) {
        SCOPED_TRACE(std::string(c.operation) + " " + c.input);
        char buffer[64] = {};
        const std::string op = c.operation;
        if (op == "terminate" || op == "noext") {
            std::strcpy(buffer, c.input);
            EXPECT_EQ(op == "terminate" ? terminate_path(buffer) : remove_extension(buffer),
                      c.output);
        } else {
            EXPECT_EQ(op == "path" ? extract_path(buffer, c.input, 63)
                                   : extract_filename(buffer, c.input, 63),
                      c.output);
        }
    }
}

// The backslash separates directories everywhere; the separator appended to
// a directory is the platform's own.
TEST(Paths, ExampleTable) {
    const std::string sep(1, platform::dir_separator());
    check_path_cases({
        {"terminate", "c:\\games\\", "c:\\games\\"},
        {"terminate", "c:\\games", "c:\\games" + sep},
        {"terminate", "/home/me", "/home/me" + sep},
        {"terminate", "", ""},
        {"path", "tex.001", ""},
        {"file", "tex.001", "tex.001"},
        {"path", "c:\\a\\tex.001", "c:\\a\\"},
        {"file", "c:\\a\\tex.001", "tex.001"},
        {"path", "/a/b\\tex.001", "/a/b\\"},
        {"noext", "dir.x\\file", "dir.x\\file"},
        {"noext", ".pcx", ""},
        {"noext", "a.b.pcx", "a.b"},
        {"noext", "", ""},
    });
}

// Where '/' separates directories too, it splits names like the backslash.
TEST(Paths, SlashSeparatesWhereThePlatformSaysSo) {
    if (!platform::is_dir_separator('/'))
        GTEST_SKIP() << "'/' is no directory separator on this platform";
    check_path_cases({
        {"terminate", "/home/me/", "/home/me/"},
        {"file", "/a/b/tex.001", "tex.001"},
        {"file", "dir/", ""},
        {"noext", "dir.x/file", "dir.x/file"},
    });
}

TEST(Paths, Predicates) {
    EXPECT_EQ(has_path("a:b"), 1);
    EXPECT_EQ(has_path("a/b"), 1);
    EXPECT_EQ(has_path("a\\b"), 1);
    EXPECT_EQ(has_path("texbsi.001"), 0);
    EXPECT_EQ(has_extension("a.pcx"), 1);
    EXPECT_EQ(has_extension("dir.x\\file"), 0);
    EXPECT_EQ(has_extension("dir.x/file"), 0);
    EXPECT_EQ(has_extension(""), 0);
    EXPECT_EQ(has_wildcard("*.pcx"), 1);
    EXPECT_EQ(has_wildcard("a?"), 1);
    EXPECT_EQ(has_wildcard("a"), 0);

    err_code = 0;
    EXPECT_EQ(has_extension(nullptr), 0);
    EXPECT_EQ(err_code, 0u);
    EXPECT_EQ(has_path(nullptr), 0);
    EXPECT_EQ(err_code, 8u);
    err_code = 0;
    EXPECT_EQ(has_wildcard(nullptr), 0);
    EXPECT_EQ(err_code, 8u);
    EXPECT_EQ(terminate_path(nullptr), nullptr);
    EXPECT_EQ(remove_extension(nullptr), nullptr);
}

TEST(Paths, CopiesRespectTheirSizes) {
    char buffer[520];
    const std::string source(600, 'd');
    EXPECT_EQ(copy_path(buffer, source.c_str(), 512), buffer);
    EXPECT_EQ(std::strlen(buffer), 512u);
    EXPECT_EQ(std::string(buffer), std::string(511, 'd') + platform::dir_separator());
    copy_path(buffer, "", 512);
    EXPECT_STREQ(buffer, "");
    copy_path(buffer, "c:\\x\\", 512);
    EXPECT_STREQ(buffer, "c:\\x\\");

    std::strcpy(buffer, "keep");
    err_code = 0;
    EXPECT_EQ(copy_path(buffer, "x", 0), buffer);
    EXPECT_EQ(copy_path(buffer, nullptr, 10), buffer);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(err_code, 0u);

    char small[4] = {'#', '#', '#', '#'};
    extract_filename(small, "c:\\dir\\longname.pcx", 3);
    EXPECT_STREQ(small, "lon");
    extract_path(small, "ab\\cd", 3);  // the copy "ab\" ends in the separator
    EXPECT_STREQ(small, "ab\\");
    extract_path(small, "abcd\\e", 3);  // the copy "abc" holds no separator
    EXPECT_STREQ(small, "");

    EXPECT_EQ(extract_filename(small, nullptr, 3), small);
    EXPECT_EQ(err_code, 8u);
    err_code = 0;
    EXPECT_EQ(extract_path(small, "x", 0), small);
    EXPECT_EQ(err_code, 8u);
}

// --- Directories -------------------------------------------------------------------

TEST(Directories, ChangeTestAndSearch) {
    fixture::temp_dir dir;
    ASSERT_TRUE(std::filesystem::create_directory(dir.file("sub")));
    fixture::write_file(dir.file("a.pcx"), bytes(10, 1));
    fixture::write_file(dir.file("b.pcx"), bytes(20, 1));
    fixture::write_file(dir.file("c.txt"), bytes(1, 1));

    char before[4096];
    ASSERT_TRUE(platform::get_current_dir(before, sizeof(before)));
    EXPECT_EQ(is_directory(dir.file("sub").c_str()), 1);
    EXPECT_EQ(is_directory(dir.file("a.pcx").c_str()), 0);
    char after[4096];
    ASSERT_TRUE(platform::get_current_dir(after, sizeof(after)));
    EXPECT_STREQ(before, after);

    find_record record;
    std::vector<std::string> found;
    const std::string pattern = dir.path() + "\\*.pcx";
    for (int more = ::find_first(pattern.c_str(), &record); more == 0;
         more = ::find_next(&record)) {
        found.push_back(record.name);
        EXPECT_EQ(record.attrib & platform::attrib_directory, 0u);
        EXPECT_EQ(record.size, record.name[0] == 'a' ? 10u : 20u);
        EXPECT_GT(record.time_write, 0);
    }
    EXPECT_EQ(::find_close(), 0);
    EXPECT_EQ(::find_close(), -1);
    EXPECT_EQ(::find_next(&record), -1);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"a.pcx", "b.pcx"}));

    EXPECT_EQ(path_exists((dir.path() + "/*.txt").c_str()), 1);
    EXPECT_EQ(path_exists((dir.path() + "/*.bmp").c_str()), 0);
    EXPECT_EQ(path_exists((dir.path() + "/none/*").c_str()), 0);
    EXPECT_EQ(is_directory_entry((dir.path() + "/s*").c_str()), 1);
    EXPECT_EQ(is_directory_entry((dir.path() + "/*.pcx").c_str()), 0);

    EXPECT_EQ(change_dir(dir.path().c_str()), 1);
    EXPECT_EQ(path_exists("*.*"), 1);
    EXPECT_EQ(change_dir(before), 1);
    EXPECT_EQ(change_dir(dir.file("none").c_str()), 0);

    err_code = 0;
    EXPECT_EQ(change_dir(""), 0);
    EXPECT_EQ(err_code, 8u);
    err_code = 0;
    EXPECT_EQ(::find_first(nullptr, &record), -1);
    EXPECT_EQ(err_code, 8u);
}

}  // namespace
