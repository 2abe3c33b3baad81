// The GPU reference counter: the first number of the gpu_stats "bin" row.
#include <gtest/gtest.h>

#include "sampling/client_table.hpp"
#include "support/kernel_tree.hpp"
#include "support/kernel_readers.hpp"

namespace {

class reference_counter_test : public ::testing::Test {
protected:
    kernel_tree tree;
    std::int64_t read_text(const std::string &text)
    {
        tree.write("gpu_stats", text);
        return read_reference_counter(tree.path("gpu_stats").c_str());
    }
};

TEST_F(reference_counter_test, reads_the_timestamp_of_the_bin_row)
{
    EXPECT_EQ(read_reference_counter(tree.set_gpu_stats(987654321012).c_str()), 987654321012);
}

TEST_F(reference_counter_test, uses_the_first_usable_bin_row_only)
{
    EXPECT_EQ(read_text("queue\ttimestamp\tjobs\truntime\n"), 0);
    EXPECT_EQ(read_text("queue\nrender\t5\ntfu\t6\n"), 0);
    EXPECT_EQ(read_text("queue\nbins\t5\nbin\tnan\n"), 0);
    EXPECT_EQ(read_text("queue\nrender\t5\nbin\tnan\nbin\t8\nbin\t9\n"), 8);
    EXPECT_EQ(read_text("queue\nbin\t1234"), 1234);
    EXPECT_EQ(read_text(std::string(255, 'h') + "bin\t4\n"), 4) << "a long header's second piece is a row";
}

TEST_F(reference_counter_test, gives_zero_when_the_file_is_gone)
{
    EXPECT_EQ(read_reference_counter(tree.path("missing").c_str()), 0);
    EXPECT_EQ(read_reference_counter(tree.root().c_str()), 0) << "a folder";
}

} // namespace
