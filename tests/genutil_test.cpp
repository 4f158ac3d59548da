#include "lib/GENUTIL.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "lib/GENERR.h"
#include "support/fixture.h"

namespace {

// What list_programs writes, through a temporary stream.
std::string listing(REG_TYPE& registry, uint32_t flags) {
    const fixture::scratch_stream scratch;
    FILE* stream = scratch.get();
    if (stream == nullptr)
        return "<no stream>";
    registry.list_programs(stream, flags);
    std::string text;
    std::rewind(stream);
    for (int c; (c = std::fgetc(stream)) != EOF;)
        text.push_back(static_cast<char>(c));
    return text;
}

const std::string credit = ostrel_author_credit;

TEST(Registry, StartedProgramListsTheLibraryInOrder) {
    ASSERT_EQ(program_registry.count, 5);
    EXPECT_EQ(program_registry.current, 0);
    const char* expected[][3] = {{"GENUTIL", "1.0", "29 Nov 1998"},
                                 {"FILEUTIL", "0.8", "29 November 1998"},
                                 {"GENERR", "0.2a", "28 Nov 1998"},
                                 {"GENMEM", "0.2a", "28 November 1998"},
                                 {"GENSTRIN", "0.3b", "28 November 1998"}};
    for (int i = 0; i < 5; ++i) {
        const PROG_RECORD* record = program_registry.get_program(i);
        ASSERT_NE(record, nullptr);
        EXPECT_STREQ(record->name.get(), expected[i][0]);
        EXPECT_STREQ(record->version.get(), expected[i][1]);
        EXPECT_STREQ(record->date.get(), expected[i][2]);
        EXPECT_STREQ(record->author.get(), ostrel_author_credit);
    }
    EXPECT_STREQ(program_registry.get_current_program()->name.get(), "GENUTIL");
}

TEST(Registry, UsableBeforeItsConstructorRuns) {
    // The state a static registry has before its constructor runs.
    auto registry = std::make_unique<REG_TYPE>(static_init);
    EXPECT_EQ(registry->initialised, 0);
    EXPECT_TRUE(registry->add_program("FILEUTIL", "0.8", "me", "29 November 1998"));
    EXPECT_EQ(registry->initialised, 1);
    ASSERT_EQ(registry->count, 2);
    EXPECT_EQ(registry->current, 0);
    EXPECT_STREQ(registry->get_program(0)->name.get(), "GENUTIL");
    EXPECT_STREQ(registry->get_program(1)->name.get(), "FILEUTIL");

    registry->init();  // the constructor's step, later: changes nothing
    EXPECT_EQ(registry->count, 2);
    EXPECT_EQ(registry->current, 0);
}

TEST(Registry, LimitsAndIndexErrors) {
    REG_TYPE registry;
    EXPECT_EQ(registry.count, 1);
    while (registry.count < REG_TYPE::max_programs) {
        ASSERT_TRUE(registry.add_program("M", "1", "a", "d"));
    }
    err_code = 0;
    EXPECT_FALSE(registry.add_program("extra", "1", "a", "d"));
    EXPECT_EQ(err_code, 7u);
    EXPECT_EQ(registry.count, 20);

    err_code = 0;
    EXPECT_FALSE(registry.add_current_program("extra", "1", "a", "d"));
    EXPECT_EQ(registry.current, -1);
    EXPECT_EQ(registry.get_current_program(), nullptr);
    EXPECT_EQ(err_code, 5u);

    for (int32_t index : {-1, 20, 21}) {
        err_code = 0;
        EXPECT_EQ(registry.get_program(index), nullptr) << index;
        EXPECT_EQ(err_code, 5u) << index;
    }

    registry.clear_programs();
    EXPECT_EQ(registry.count, 0);
    EXPECT_EQ(registry.current, -1);
    EXPECT_EQ(registry.initialised, 1);
    for (const auto& slot : registry.programs)
        EXPECT_EQ(slot, nullptr);
}

TEST(Registry, ListingFlagsAndNullTexts) {
    REG_TYPE registry;
    registry.add_current_program("X", nullptr, "%s%n", "1 Jan 1999");
    EXPECT_EQ(registry.current, 1);

    EXPECT_EQ(listing(registry, 0), "2 Modules currently in use.\n");
    EXPECT_EQ(listing(registry, 8),
              "2 Modules currently in use.\n"
              "     1)          Created By: " +
                  credit +
                  "\n"
                  "     2)          Created By: %s%n\n");
    EXPECT_EQ(listing(registry, 15),
              "2 Modules currently in use.\n"
              "     1) Program: GENUTIL\n"
              "         Version: 1.0\n"
              "         Date: 29 Nov 1998\n"
              "         Created By: " +
                  credit +
                  "\n"
                  "     2) Program: X\n"
                  "         Version: NULL\n"
                  "         Date: 1 Jan 1999\n"
                  "         Created By: %s%n\n");

    err_code = 0;
    EXPECT_FALSE(registry.list_programs(nullptr, 15));
    EXPECT_EQ(err_code, 8u);
}

int hook_calls = 0;
void count_hook() {
    ++hook_calls;
}

TEST(StartupHook, RunsItsFunctionOnceAndAcceptsNone) {
    hook_calls = 0;
    INIT_TYPE hook(count_hook);
    EXPECT_EQ(hook_calls, 1);
    INIT_TYPE empty(nullptr);
    EXPECT_EQ(hook_calls, 1);
    // The library's start-up ran once, however many hooks there are.
    EXPECT_EQ(program_registry.count, 5);
    EXPECT_EQ(err_table.count, 22);
}

}  // namespace
