// The log of the built program: opening line, module listing in start-up
// order, status lines, the configuration file's open and the closing lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/GENUTIL.h"
#include "lib_support.h"
#include "support/run.h"

namespace {

TEST(EndToEndLog, RunWithoutArgumentsLeavesACompleteLog) {
    fixture::temp_dir dir;
    run::options options;
    options.dir = dir.path();
    const run::result result = run::piped(options);
    ASSERT_TRUE(result.exited) << result.err;
    EXPECT_EQ(result.status, 1);

    const std::string text = libtest::read_text(dir.file("ostrel.log"));
    ASSERT_FALSE(text.empty());
    const std::string opened = "Opened Log File ostrel.log on ";
    ASSERT_TRUE(libtest::is_time_stamp(text)) << text;
    ASSERT_EQ(text.compare(11, opened.size(), opened), 0) << text;
    EXPECT_TRUE(libtest::is_short_date(text.substr(11 + opened.size(), 8))) << text;

    const std::string credit = ostrel_author_credit;
    std::vector<std::string> expected = {"5 Modules currently in use."};
    const char* modules[][3] = {{"GENUTIL", "1.0", "29 Nov 1998"},
                                {"FILEUTIL", "0.8", "29 November 1998"},
                                {"GENERR", "0.2a", "28 Nov 1998"},
                                {"GENMEM", "0.2a", "28 November 1998"},
                                {"GENSTRIN", "0.3b", "28 November 1998"}};
    int number = 1;
    for (const auto& m : modules) {
        expected.push_back("     " + std::to_string(number++) + ") Program: " + m[0]);
        expected.push_back(std::string("         Version: ") + m[1]);
        expected.push_back(std::string("         Date: ") + m[2]);
        expected.push_back("         Created By: " + credit);
    }
    expected.push_back("Heap is OK");
    expected.push_back("Used/Free/Total Memory: 0/0/0 bytes");
    expected.push_back("Attempting to open file 'ostrel.ini' in mode 'rt'");

    const auto lines = libtest::log_messages(text);
    ASSERT_GT(lines.size(), expected.size() + 3);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 1 + expected.size()),
              expected);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"Heap is OK", "Used/Free/Total Memory: 0/0/0 bytes",
                                        "Closing log file..."}));
    EXPECT_EQ(text.find("Attempting to open file 'ostrel.log'"), std::string::npos);
}

}  // namespace
