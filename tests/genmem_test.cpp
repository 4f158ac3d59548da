#include "lib/GENMEM.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "lib/GENERR.h"
#include "child_process.h"
#include "lib_support.h"

namespace {

void* failing_allocator(size_t) {
    return nullptr;
}

TEST(CreatePtr, TextCopies) {
    err_code = 77;
    EXPECT_EQ(create_ptr(static_cast<const char*>(nullptr)), nullptr);
    EXPECT_EQ(err_code, 77u);

    owned_ptr<char> empty(create_ptr(""));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty.get()[0], '\0');

    const char text[] = "TEXBSI.001";
    owned_ptr<char> copy = copy_text(text);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), text);
    EXPECT_STREQ(copy.get(), text);
}

TEST(CreatePtr, SizedBlocksAreZeroAndDistinct) {
    owned_ptr<uint8_t> none = create_bytes(0);
    owned_ptr<uint8_t> also_none = create_bytes(0);
    ASSERT_NE(none, nullptr);
    ASSERT_NE(also_none, nullptr);
    EXPECT_NE(none.get(), also_none.get());

    owned_ptr<uint8_t> block = create_bytes(1025);
    ASSERT_NE(block, nullptr);
    for (uint32_t i = 0; i < 1025; ++i)
        ASSERT_EQ(block.get()[i], 0) << i;
}

TEST(CreatePtr, FailedAllocationsEndTheRunWithTheirOwnMessages) {
    const auto text_failure = libtest::run_child([] {
        errno = 0;
        const std::string text(99, 'a');
        set_allocator_for_testing(failing_allocator);
        create_ptr(text.c_str());
    });
    ASSERT_TRUE(text_failure.exited);
    EXPECT_EQ(text_failure.status, 0);
    EXPECT_NE(text_failure.err.find("Error Message: Not enough memory to allocate pointer!\n"
                                    "    GENMEM - create_ptr(): *temp_ptr (100)\n\n"),
              std::string::npos)
        << text_failure.err;

    const auto size_failure = libtest::run_child([] {
        errno = 0;
        set_allocator_for_testing(failing_allocator);
        create_ptr(uint32_t{4096});
    });
    ASSERT_TRUE(size_failure.exited);
    EXPECT_EQ(size_failure.status, 0);
    EXPECT_NE(size_failure.err.find("Error Message: Could not allocate memory for pointer!\n"
                                    "    GENMEM - create_ptr(): *temp_ptr (4096)\n\n"),
              std::string::npos)
        << size_failure.err;
}

TEST(HeapStatus, ReportsOkAndZeroFigures) {
    EXPECT_STREQ(get_heap_status(), "OK");
    EXPECT_EQ(get_used_mem(), 0u);
    EXPECT_EQ(get_free_mem(), 0u);
    EXPECT_EQ(get_total_mem(), 0u);
}

}  // namespace
