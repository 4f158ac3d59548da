#include <gtest/gtest.h>

#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "lib_support.h"

namespace {

using libtest::log_messages;
using libtest::read_text;

const std::vector<std::string> closing = {"Heap is OK", "Used/Free/Total Memory: 0/0/0 bytes",
                                          "Closing log file..."};

TEST(Log, NothingBeforeOpen) {
    fixture::temp_dir dir;
    EXPECT_EQ(write_log("lost %d", 1), 0);
    close_log();  // a closed log stays closed and quiet
    EXPECT_EQ(write_log(nullptr), 0);
}

TEST(Log, OpeningLinesListingAndClosingLines) {
    fixture::temp_dir dir;
    const std::string path = dir.file("ostrel.log");
    fixture::write_file(path, fixture::bytes(5000, 'x'));  // truncated by the open

    ASSERT_EQ(open_log(path.c_str()), 1);
    EXPECT_EQ(write_log("value %d of %s", 7, "seven"), 1);
    EXPECT_EQ(write_log(nullptr), 1);  // nothing written, not even a stamp
    close_log();
    close_log();  // the second close writes nothing

    const std::string text = read_text(path);
    EXPECT_EQ(text.find('x'), std::string::npos);
    EXPECT_EQ(text.find("Attempting to open file"), std::string::npos);

    ASSERT_TRUE(libtest::is_time_stamp(text));
    const std::string opened = "Opened Log File " + path + " on ";
    ASSERT_EQ(text.compare(11, opened.size(), opened), 0) << text;
    const std::string date = text.substr(11 + opened.size(), 8);
    EXPECT_TRUE(libtest::is_short_date(date)) << date;
    EXPECT_EQ(text.substr(11 + opened.size() + 8, libtest::text_mode_line_end().size()),
              libtest::text_mode_line_end());
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    EXPECT_EQ(std::stoi(date.substr(0, 2)), local->tm_mon + 1);
    EXPECT_EQ(std::stoi(date.substr(6, 2)), local->tm_year % 100);

    const auto lines = log_messages(text);
    ASSERT_EQ(lines.size(), 1u + 21u + 2u + 1u + 3u);
    EXPECT_EQ(lines[1], "5 Modules currently in use.");
    EXPECT_EQ(lines[2], "     1) Program: GENUTIL");
    EXPECT_EQ(lines[22], "Heap is OK");
    EXPECT_EQ(lines[23], "Used/Free/Total Memory: 0/0/0 bytes");
    EXPECT_EQ(lines[24], "value 7 of seven");
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()), closing);
    // Every line that write_log made carries a stamp; the listing does not.
    std::istringstream raw(text);
    int stamped = 0;
    for (std::string line; std::getline(raw, line);)
        stamped += libtest::is_time_stamp(line);
    EXPECT_EQ(stamped, 7);
}

TEST(Log, ReopenClosesTheFirstLog) {
    fixture::temp_dir dir;
    const std::string first = dir.file("first.log");
    const std::string second = dir.file("second.log");
    ASSERT_EQ(open_log(first.c_str()), 1);
    ASSERT_EQ(open_log(second.c_str()), 1);
    write_log("into the second");
    close_log();

    const auto first_lines = log_messages(read_text(first));
    EXPECT_EQ(std::vector<std::string>(first_lines.end() - 3, first_lines.end()), closing);
    EXPECT_FALSE(libtest::contains(first_lines, "into the second"));
    const auto second_lines = log_messages(read_text(second));
    EXPECT_EQ(second_lines.front(),
              "Opened Log File " + second + " on " +
                  second_lines.front().substr(second_lines.front().size() - 8));
    EXPECT_TRUE(libtest::contains(second_lines, "into the second"));
}

TEST(Log, FailedOpenLeavesNoLogOpen) {
    fixture::temp_dir dir;
    const std::string first = dir.file("first.log");
    ASSERT_EQ(open_log(first.c_str()), 1);
    err_code = 0;
    EXPECT_EQ(open_log(dir.file("no/such/dir/x.log").c_str()), 0);
    EXPECT_EQ(err_code, 1u);
    EXPECT_EQ(write_log("after"), 0);
    const auto lines = log_messages(read_text(first));
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()), closing);
}

TEST(Log, LongMessagesAndEmbeddedNewlines) {
    libtest::scoped_log log;
    const std::string long_text(100000, 'q');
    write_log("%s", long_text.c_str());
    write_log("two\nlines");
    const auto lines = log.close();
    EXPECT_TRUE(libtest::contains(lines, long_text));
    EXPECT_TRUE(libtest::contains(lines, "two"));
    EXPECT_TRUE(libtest::contains(lines, "lines"));
}

}  // namespace
