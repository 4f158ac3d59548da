#include "lib/GENERR.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "lib/FILEUTIL.h"
#include "lib/GENUTIL.h"
#include "child_process.h"
#include "lib_support.h"

namespace {

using libtest::contains;
using libtest::run_child;
using libtest::scoped_log;

std::string report(const std::string& header_module, const std::string& system_line,
                   const std::string& message, const std::string& detail) {
    return "Critical Error, Program Terminated!\n" + header_module + "\n\n" +
           "A critical error has occured and the program was terminated.  You may\n"
           "wish to record this error information along with conditions before the\n"
           "crash (what you were doing), system info (OS, config files) and send a\n"
           "bug report to the appropiate individuals.\n\n"
           "      Heap Status: OK\n"
           "      Used/Free/Total Memory: 0 / 0 / 0 bytes\n" +
           system_line + "\n\n" + "Error Message: " + message + "\n" + detail + "\n\n";
}

const std::string genutil_header =
    "   GENUTIL, v1.0 - 29 Nov 1998, " + std::string(ostrel_author_credit);

TEST(ErrorTable, StartedProgramHoldsLibraryAndTextureCodes) {
    EXPECT_EQ(err_table.count, 22);
    EXPECT_STREQ(err_table.get_error_msg(0), "No error generated.");
    EXPECT_STREQ(err_table.get_error_msg(8), "Received invalid NULL pointer!");
    EXPECT_STREQ(err_table.get_error_msg(15), "Received input that would result in an overflow!");
    EXPECT_EQ(err_table.find_error(1006), 21);
    EXPECT_STREQ(err_table.get_error_msg(1006), "No matching image record found!");
}

TEST(ErrorTable, UnknownCodeGivesFixedTextAndLogLine) {
    scoped_log log;
    ERR_TYPE table;
    EXPECT_EQ(table.count, 16);
    EXPECT_EQ(table.find_error(16), -1);
    EXPECT_STREQ(table.get_error_msg(16), "Specified Error code not found.");
    EXPECT_TRUE(contains(log.close(), "Error code 16 not found"));
}

TEST(ErrorTable, FullTableRefusesAndLogs) {
    scoped_log log;
    ERR_TYPE table;
    for (uint32_t code = 100; table.count < ERR_TYPE::max_errors; ++code) {
        ASSERT_TRUE(table.add_error(code, "filler"));
    }
    EXPECT_FALSE(table.add_error(7777, "one too many"));
    EXPECT_EQ(table.count, 50);
    EXPECT_EQ(table.find_error(7777), -1);
    EXPECT_TRUE(
        contains(log.close(), "GENERR - add_error(): Maximum number of errors 50 exceeded!"));
}

TEST(ErrorTable, DuplicatesAndNullMessages) {
    ERR_TYPE table;
    char message[] = "changed later";
    EXPECT_TRUE(table.add_error(3, "again"));
    EXPECT_EQ(table.find_error(3), 3);
    EXPECT_STREQ(table.get_error_msg(3), "Could not write to file!");

    // The table keeps its own copy.
    EXPECT_TRUE(table.add_error(200, message));
    std::strcpy(message, "CHANGED LATER");
    EXPECT_STREQ(table.get_error_msg(200), "changed later");

    EXPECT_TRUE(table.add_error(201, nullptr));
    ASSERT_NE(table.get_error_msg(201), nullptr);
    EXPECT_STREQ(table.get_error_msg(201), "");
}

TEST(ErrorTable, ClearReleasesEveryEntry) {
    ERR_TYPE table;
    table.clear_errors();
    EXPECT_EQ(table.count, 0);
    EXPECT_EQ(table.find_error(0), -1);
    for (const ERR_RECORD& record : table.records) {
        EXPECT_EQ(record.code, 0u);
        EXPECT_EQ(record.message, nullptr);
    }
    EXPECT_TRUE(table.add_error(5, "reused"));
    EXPECT_EQ(table.find_error(5), 0);
}

TEST(CriticalReport, FailedFatalOpenReportsAndClosesTheLog) {
    fixture::temp_dir dir;
    const std::string log_path = dir.file("ostrel.log");
    const std::string missing = dir.file("missing.bsi");
    const auto child = run_child([&] {
        open_log(log_path.c_str());
        openfile(missing.c_str(), "rb", 1);
    });
    ASSERT_TRUE(child.exited);
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(
        child.err,
        report(genutil_header,
               "      System Error(" + std::to_string(ENOENT) + "): " + std::strerror(ENOENT),
               "Failed to open file!", "    FILEUTIL - openfile (" + missing + ", rb) failed"));

    const auto lines = libtest::log_messages(libtest::read_text(log_path));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_TRUE(contains(lines, "Attempting to open file '" + missing + "' in mode 'rb'"));
    EXPECT_TRUE(contains(lines, "     Failed to open file '" + missing + "'  (Mem=0, Heap is OK)"));
    const size_t n = lines.size();
    EXPECT_EQ(lines[n - 3], "Heap is OK");
    EXPECT_EQ(lines[n - 2], "Used/Free/Total Memory: 0/0/0 bytes");
    EXPECT_EQ(lines[n - 1], "Closing log file...");
}

struct report_case {
    const char* name;
    std::function<void()> raise;
    std::string header;
    std::string system_line;
    std::string message;
    std::string detail;
};

TEST(CriticalReport, ReportVariants) {
    const std::string long_text(400, 'x');
    const std::string generr_header =
        "   GENERR, v0.2a - 28 Nov 1998, " + std::string(ostrel_author_credit);
    const report_case cases[] = {
        {"null message and detail, no system error",
         [] {
             errno = 0;
             err_table.critical_error(nullptr, nullptr);
         },
         genutil_header, "      No System Error Registered", "None", ""},
        {"formatted detail, number outside the system's table",
         [] {
             errno = 99999;
             err_table.critical_error("Own text", "%d-%s", 5, "x");
         },
         genutil_header, "      System Error: 99999", "Own text", "    5-x"},
        {"percent sign in a formatted detail is printed unchanged",
         [] {
             errno = 0;
             err_table.fatal_error(9, "%s", "c:\\100%sure\\%d.pcx");
         },
         genutil_header, "      No System Error Registered", "Invalid input received!",
         "    c:\\100%sure\\%d.pcx"},
        {"unknown code, null detail",
         [] {
             errno = 0;
             err_table.fatal_error(16, nullptr);
         },
         genutil_header, "      No System Error Registered", "Specified Error code not found.",
         "    "},
        {"over-long detail is cut at 255 characters",
         [&] {
             errno = 0;
             err_table.fatal_error(1, "FILEUTIL - openfile (%s, %s) failed", long_text.c_str(),
                                   "rb");
         },
         genutil_header, "      No System Error Registered", "Failed to open file!",
         "    " + ("FILEUTIL - openfile (" + long_text).substr(0, 255)},
        {"no current module names GENERR",
         [] {
             errno = 0;
             program_registry.clear_programs();
             err_table.critical_error("m", nullptr);
         },
         generr_header, "      No System Error Registered", "m", ""},
    };
    for (const report_case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto child = run_child(c.raise);
        ASSERT_TRUE(child.exited);
        EXPECT_EQ(child.status, 0);
        EXPECT_EQ(child.err, report(c.header, c.system_line, c.message, c.detail));
    }
}

}  // namespace
