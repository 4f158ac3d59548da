// The front end's parts that return: the option grammar, the settings
// checks that pass, path joining and the reading of the directories. What
// ends the process (help screen, fatal exits) is tested end to end.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frontend/OSTREL.h"
#include "lib/GENERR.h"
#include "lib/GENSTRIN.h"
#include "platform/PLATFORM.h"
#include "support/fixture.h"

namespace {

struct grammar_case {
    std::vector<std::string> args;
    int32_t to_pcx;
    int32_t index;
    std::string texture;
    std::string pcx;
    std::string palette;
};

class FrontEnd : public ::testing::Test {
protected:
    void SetUp() override {
        reset_run_settings();
        err_code = 0;
    }
    void TearDown() override { reset_run_settings(); }

    static int parse(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        return parse_options(static_cast<int>(args.size()), argv.data());
    }

    static void check_grammar(const std::vector<grammar_case>& cases);
};

TEST_F(FrontEnd, OptionGrammar) {
    const std::vector<grammar_case> cases = {
        {{"TEXBSI.001"}, 1, -1, "TEXBSI.001", "", "redguard.col"},
        // The last direction wins, in any letter case.
        {{"/2TEX", "/2PCX"}, 1, -1, "", "", "redguard.col"},
        {{"/2pcx", "/2bsi"}, 0, -1, "", "", "redguard.col"},
        {{"/2PCX", "/2tex"}, 0, -1, "", "", "redguard.col"},
        // Image index: leading decimal number, 0 without digits, sign kept,
        // held within 32 bits; "/i:" alone is ignored.
        {{"/I:3"}, 1, 3, "", "", "redguard.col"},
        {{"/i:12abc"}, 1, 12, "", "", "redguard.col"},
        {{"/i:abc"}, 1, 0, "", "", "redguard.col"},
        {{"/i:-4"}, 1, -4, "", "", "redguard.col"},
        {{"/i:99999999999999"}, 1, INT32_MAX, "", "", "redguard.col"},
        {{"/i:-99999999999999"}, 1, INT32_MIN, "", "", "redguard.col"},
        {{"/i:"}, 1, -1, "", "", "redguard.col"},
        {{"/i:5", "/i:7"}, 1, 7, "", "", "redguard.col"},
        // Palette: the text behind "P:", with or without a directory.
        {{"/p:my.col"}, 1, -1, "", "", "my.col"},
        {{"/P:d:\\pal\\my.col"}, 1, -1, "", "", "d:\\pal\\my.col"},
        {{"/p:/usr/share/pal/my.col"}, 1, -1, "", "", "/usr/share/pal/my.col"},
        {{"/p:"}, 1, -1, "", "", "redguard.col"},
        // Bare names: "texbsi." first, then ".pcx"; others ignored.
        {{"TEXBSI.001.PCX"}, 1, -1, "TEXBSI.001.PCX", "", "redguard.col"},
        {{"out.PCX", "texbsi.002"}, 1, -1, "texbsi.002", "out.PCX", "redguard.col"},
        {{"a.pcx", "b.pcx"}, 1, -1, "", "b.pcx", "redguard.col"},
        {{"pic.txt", "-2PCX", "-i:3"}, 1, -1, "", "", "redguard.col"},
        {{"d:\\game\\TEXBSI.001"}, 1, -1, "d:\\game\\TEXBSI.001", "", "redguard.col"},
        // A '/' argument with only one '/' stays an option, and an unknown
        // option is ignored.
        {{"/TEXBSI.001", "/foo", "/2PCXX"}, 1, -1, "", "", "redguard.col"},
    };
    check_grammar(cases);
}

// Where '/' separates directories, a '/' argument with a second '/' is an
// absolute path; elsewhere it is an unknown option and ignored.
TEST_F(FrontEnd, SlashArgumentsWithASecondSlash) {
    const bool paths = platform::dir_separator() == '/';
    const std::string texture = paths ? "/tmp/x/TEXBSI.001" : "";
    const std::string pcx = paths ? "/tmp/out/tex.pcx" : "";
    check_grammar({
        {{"/tmp/x/TEXBSI.001", "/tmp/out/tex.pcx"}, 1, -1, texture, pcx, "redguard.col"},
        {{"/2TEX/"}, 1, -1, "", "", "redguard.col"},
    });
}

void FrontEnd::check_grammar(const std::vector<grammar_case>& cases) {
    for (const grammar_case& c : cases) {
        reset_run_settings();
        std::string label;
        for (const std::string& a : c.args)
            label += "[" + a + "]";
        SCOPED_TRACE(label);
        EXPECT_EQ(parse(c.args), 1);
        EXPECT_EQ(convert_to_pcx, c.to_pcx);
        EXPECT_EQ(image_index, c.index);
        EXPECT_EQ(std::string(texture_file), c.texture);
        EXPECT_EQ(std::string(pcx_file), c.pcx);
        EXPECT_EQ(std::string(palette_file), c.palette);
    }
}

// A name cut to fit could name another file, so one that does not fit ends
// the run (its report is tested end to end); one that fits exactly is kept.
struct run_ended {
    int status;
};

TEST_F(FrontEnd, LongArgumentsAreRefusedNotCut) {
    void (*const saved)(int) = end_process;
    end_process = [](int status) { throw run_ended{status}; };
    const std::string fits = std::string(name_limit - 11, 'd') + "/TEXBSI.001";
    EXPECT_EQ(parse({fits, "/p:" + std::string(name_limit, 'p')}), 1);
    EXPECT_EQ(std::string(texture_file), fits);
    EXPECT_EQ(std::string(palette_file), std::string(name_limit, 'p'));
    for (const std::string& too_long :
         {"d" + fits, std::string(name_limit - 3, 'q') + ".pcx",
          "/p:" + std::string(name_limit + 1, 'p')}) {
        SCOPED_TRACE(too_long.substr(0, 12));
        err_code = 0;
        try {
            parse({too_long});
            ADD_FAILURE() << "accepted";
        } catch (const run_ended& ended) {
            EXPECT_EQ(ended.status, 0);
            EXPECT_EQ(err_code, 14u);
        }
    }
    end_process = saved;
}

TEST_F(FrontEnd, EmptyArgumentListIsRefused) {
    EXPECT_EQ(parse_options(0, nullptr), 0);
    EXPECT_EQ(err_code, 8u);
}

TEST_F(FrontEnd, CheckOptionsPassesCompleteSettings) {
    bounded_copy(texture_file, "TEXBSI.001", name_limit);
    EXPECT_EQ(check_options(), 1);  // export: no further checks
    image_index = -7;
    EXPECT_EQ(check_options(), 1);

    convert_to_pcx = 0;
    bounded_copy(pcx_file, "new.pcx", name_limit);
    image_index = 1;
    EXPECT_EQ(check_options(), 1);
}

struct join_case {
    std::string directory;
    std::string name;
    std::string expected;
};

TEST_F(FrontEnd, JoinPath) {
    const std::string long_dir = std::string(600, 'a') + "/";
    const std::string long_name = std::string(600, 'b');
    const std::vector<join_case> cases = {
        {"game/", "TEXBSI.001", "game/TEXBSI.001"},
        {"", "TEXBSI.001", "TEXBSI.001"},
        {"game/", "d:\\game\\TEXBSI.001", "d:\\game\\TEXBSI.001"},
        {"game/", "sub/TEXBSI.001", "sub/TEXBSI.001"},
        {"game/", "a:b", "a:b"},
        {"/abs/dir/", "my.col", "/abs/dir/my.col"},
        {long_dir, long_name, long_dir.substr(0, 512) + long_name.substr(0, 512)},
        {"game/", long_dir + "x", (long_dir + "x").substr(0, 512)},
    };
    for (const join_case& c : cases) {
        SCOPED_TRACE(c.directory.substr(0, 20) + " + " + c.name.substr(0, 20));
        char out[full_path_limit + 1];
        EXPECT_EQ(std::string(join_path(out, c.directory.c_str(), c.name.c_str())), c.expected);
    }
}

// The environment variable is covered end to end, where each run gets its
// own environment.
struct paths_case {
    std::string config;  // ini text; empty: no file
    std::string redguard;
    std::string pcx;
};

TEST_F(FrontEnd, ReadPaths) {
    if (std::getenv("OSTREL_PATH") != nullptr)
        GTEST_SKIP() << "OSTREL_PATH is set";
    fixture::temp_dir dir;
    const std::string ini = dir.file("ostrel.ini");
    const std::string long_value(300, 'v');
    // The platform's separator is appended where a directory lacks one.
    const std::string sep(1, platform::dir_separator());
    const std::vector<paths_case> cases = {
        {"", "", ""},
        {"redguard_path = /elsewhere\npcx_path=out\n", "/elsewhere" + sep, "out" + sep},
        {"redguard_path = c:\\game\\\n", "c:\\game\\", ""},
        {"# nothing here\r\nREDGUARD_PATH = \"/with blanks\"\r\n", "/with blanks" + sep, ""},
        // A line keeps 255 characters; the separator is added behind them.
        {"pcx_path=" + long_value + "\n", "", ("pcx_path=" + long_value).substr(9, 255 - 9) + sep},
    };
    for (const paths_case& c : cases) {
        SCOPED_TRACE(c.config.substr(0, 40));
        reset_run_settings();
        std::remove(ini.c_str());
        if (!c.config.empty()) {
            fixture::write_file(ini, fixture::bytes(c.config.begin(), c.config.end()));
        }
        EXPECT_EQ(read_paths(ini.c_str()), 1);
        EXPECT_EQ(std::string(redguard_path), c.redguard);
        EXPECT_EQ(std::string(pcx_path), c.pcx);
    }
}

TEST_F(FrontEnd, ReadPathsWithoutConfigName) {
    err_code = 0;
    EXPECT_EQ(read_paths(nullptr), 0);
    EXPECT_EQ(err_code, 8u);
}

TEST_F(FrontEnd, ExportWithoutPath) {
    EXPECT_EQ(export_pcx(nullptr), 0);
    EXPECT_EQ(err_code, 8u);
}

}  // namespace
