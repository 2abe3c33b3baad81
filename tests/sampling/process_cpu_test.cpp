// CPU seconds of a process, from /proc/<pid>/stat.
#include <gtest/gtest.h>

#include "sampling/client_table.hpp"
#include "support/kernel_tree.hpp"
#include "support/kernel_readers.hpp"

namespace {

class process_cpu_test : public ::testing::Test {
protected:
    kernel_tree tree;
    void SetUp() override { clock_ticks = 100; }
    double seconds(int pid) { return read_process_cpu_seconds(pid, tree.proc().c_str()); }
};

TEST_F(process_cpu_test, divides_user_plus_system_time_by_the_clock_ticks)
{
    tree.add_process(42, "worker", 250, 50);
    EXPECT_DOUBLE_EQ(seconds(42), 3.0);
    clock_ticks = 250;
    EXPECT_DOUBLE_EQ(seconds(42), 1.2);
}

TEST_F(process_cpu_test, counts_fields_from_the_last_parenthesis)
{
    tree.add_process(42, "x) (y", 250, 50);
    EXPECT_DOUBLE_EQ(seconds(42), 3.0);
    tree.write("proc/43/stat", "43 (short) S 1 2 3 4 5 6 7 8 9 10 250\n");
    EXPECT_DOUBLE_EQ(seconds(43), 2.5);
}

TEST_F(process_cpu_test, gives_unknown_for_what_cannot_be_read)
{
    EXPECT_DOUBLE_EQ(seconds(77), CPU_SECONDS_UNKNOWN) << "a process that has gone";
    tree.write("proc/78/stat", "78 no parenthesis S 1 2 3 4 5 6 7 8 9 10 11 12\n");
    EXPECT_DOUBLE_EQ(seconds(78), CPU_SECONDS_UNKNOWN);
    tree.write("proc/79/stat", "");
    EXPECT_DOUBLE_EQ(seconds(79), CPU_SECONDS_UNKNOWN);
}

TEST_F(process_cpu_test, reads_only_the_first_2047_characters)
{
    // 4 + 2000 + 29 characters come before stime, so 14 of its digits are read.
    const std::string name(2000, 'n');
    tree.write("proc/80/stat", "80 (" + name + ") S 1 2 3 4 5 6 7 8 9 10 250 " + std::string(100, '5') + "\n");
    EXPECT_DOUBLE_EQ(seconds(80), (250.0 + 55555555555555.0) / 100.0);
    tree.write("proc/81/stat", "81 (" + std::string(2100, 'n') + ") S 1 2 3 4 5 6 7 8 9 10 250 50\n");
    EXPECT_DOUBLE_EQ(seconds(81), CPU_SECONDS_UNKNOWN) << "the closing parenthesis lies beyond what is read";
}

} // namespace
