// The file utilities' care with files that are not what a name promises
// (POSIX: FIFOs, devices and symbolic links made here): the log and the
// configuration file are opened only when they are regular files and never
// wait, and a texture file from a pipe or device is read only up to a bound.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "lib_support.h"
#include "platform/PLATFORM.h"
#include "support/fixture.h"

namespace {

using fixture::bytes;
namespace fs = std::filesystem;

TEST(CarefulOpen, TheLogIsARegularFileOfItsOwnName) {
    fixture::temp_dir dir;
    fixture::write_file(dir.file("victim"), {'k', 'e', 'e', 'p'});
    fs::create_symlink("victim", dir.file("link.log"));
    ASSERT_EQ(mkfifo(dir.file("fifo.log").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", dir.file("device.log"));
    for (const char* name : {"link.log", "fifo.log", "device.log"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(platform::open_log_file(dir.file(name).c_str()), nullptr);
    }
    EXPECT_EQ(fixture::read_file(dir.file("victim")), (bytes{'k', 'e', 'e', 'p'}));

    // A regular file is emptied and written.
    fixture::write_file(dir.file("ostrel.log"), bytes(100, 'x'));
    FILE* log = platform::open_log_file(dir.file("ostrel.log").c_str());
    ASSERT_NE(log, nullptr);
    std::fputs("new\n", log);
    std::fclose(log);
    EXPECT_EQ(libtest::read_text(dir.file("ostrel.log")), "new\n");
}

TEST(CarefulOpen, OnlyRegularFilesAreReadAsConfiguration) {
    fixture::temp_dir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo.ini").c_str(), 0600), 0);
    fixture::write_file(dir.file("real.ini"), {'a'});
    fs::create_symlink("real.ini", dir.file("link.ini"));
    for (const std::string& path : {dir.file("fifo.ini"), std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        err_code = 0;
        EXPECT_EQ(open_regular(path.c_str(), "rt"), nullptr);
        EXPECT_EQ(err_code, 1u);
    }
    // A link to a regular file is followed.
    FILE* linked = open_regular(dir.file("link.ini").c_str(), "rt");
    ASSERT_NE(linked, nullptr);
    EXPECT_EQ(std::fgetc(linked), 'a');
    std::fclose(linked);
}

// A pipe's bytes are copied into a file that can be measured; beyond the
// bound the copy stops and the input is refused.
TEST(CarefulOpen, APipeIsReadUpToABound) {
    fixture::temp_dir dir;
    const std::string fifo = dir.file("texbsi.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const bytes content(5000, 0x42);
    for (const uint64_t limit : {uint64_t{5000}, uint64_t{4999}}) {
        SCOPED_TRACE(limit);
        std::thread writer([&] {
            if (FILE* out = std::fopen(fifo.c_str(), "wb")) {
                std::fwrite(content.data(), 1, content.size(), out);
                std::fclose(out);
            }
        });
        bool too_large = true;
        err_code = 0;
        FILE* in = open_whole_input(fifo.c_str(), limit, too_large);
        // The writer may still be blocked on a full pipe that nobody reads
        // any more: a reader lets it finish.
        const int drain = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        writer.join();
        if (drain >= 0)
            close(drain);
        if (limit >= content.size()) {
            ASSERT_NE(in, nullptr);
            EXPECT_FALSE(too_large);
            EXPECT_EQ(platform::bytes_left(in), static_cast<int64_t>(content.size()));
            bytes read(content.size() + 1);
            EXPECT_EQ(std::fread(read.data(), 1, read.size(), in), content.size());
            std::fclose(in);
        } else {
            EXPECT_EQ(in, nullptr);
            EXPECT_TRUE(too_large);
            EXPECT_EQ(err_code, 9u);
        }
    }
    // A regular file is its own stream.
    fixture::write_file(dir.file("TEXBSI.001"), content);
    bool too_large = true;
    FILE* plain = open_whole_input(dir.file("TEXBSI.001").c_str(), 10, too_large);
    ASSERT_NE(plain, nullptr);
    EXPECT_FALSE(too_large);
    std::fclose(plain);
}

}  // namespace

// A fatal error (an allocation that fails halfway through a picture) ends
// the run through exit, past the writer's destructor: the unfinished
// temporary file must still go, and an earlier file of the name stay.
TEST(OutputFileDeathTest, FatalErrorRemovesTheTemporaryFile) {
    fixture::temp_dir dir;
    const std::string target = dir.file("sky01.pcx");
    fixture::write_file(target, fixture::bytes{'o', 'l', 'd'});
    EXPECT_EXIT(
        {
            output_file out;
            if (!out.open(target.c_str()))
                std::_Exit(3);
            std::fputs("half a picture", out.stream());
            err_table.fatal_error(4, "allocation failed halfway");
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(fixture::names_in(dir.path()), (std::vector<std::string>{"sky01.pcx"}));
    EXPECT_EQ(fixture::read_file(target), (fixture::bytes{'o', 'l', 'd'}));
}
