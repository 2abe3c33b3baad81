// The conditions' files found as a board lays them out, and the powered share
// across a counter that went back.
#include <gtest/gtest.h>

#include "report/report.hpp"
#include "sampling/gpu_conditions.hpp"
#include "support/kernel_tree.hpp"

namespace {

// A board's firmware clock is chosen over another whose name also ends in
// v3d, whatever the listing's order; a missing file leaves its figure unknown.
TEST(gpu_conditions, the_firmware_clock_is_chosen_and_a_missing_file_is_unknown)
{
    const kernel_tree tree;
    tree.write("clk/aux-v3d/clk_enable_count", "1\n");
    tree.write("clk/aux-v3d/clk_rate", "250000000\n");
    tree.write("clk/fw-clk-v3d/clk_enable_count", "2\n");
    tree.write("clk/fw-clk-v3d/clk_rate", "960000000\n");
    tree.write("clk/zz-v3d/clk_enable_count", "1\n");
    tree.write("clk/zz-v3d/clk_rate", "100000000\n");
    tree.write("thermal/thermal_zone3/temp", "-5250\n");
    const std::string clocks = tree.path("clk");
    const std::string zones = tree.path("thermal");
    const std::string missing = tree.path("none");
    condition_files files;
    open_condition_files(files, {clocks.c_str(), zones.c_str(), missing.c_str(), missing.c_str()},
                         tree.path("card0/device/gpu_stats").c_str());
    gpu_conditions conditions;
    read_conditions(files, conditions);
    close_condition_files(files);
    EXPECT_TRUE(conditions.clock_on);
    EXPECT_EQ(conditions.clock_hz, 960'000'000);
    EXPECT_EQ(conditions.clock_max_hz, 0) << "no clk_max_rate";
    EXPECT_TRUE(conditions.temperature_known) << "the only zone, of no type";
    EXPECT_EQ(conditions.temperature_millicelsius, -5250);
    EXPECT_FALSE(conditions.power_times_known);
    EXPECT_EQ(conditions.power_status[0], '\0');
    EXPECT_FALSE(conditions.under_voltage_known);
    EXPECT_EQ(conditions.cpu_frequency_khz, 0);
}

// Runtime power times that went back (a device reset) or did not grow give no
// share rather than a wrong one.
TEST(gpu_conditions, the_powered_share_needs_both_times_growing)
{
    gpu_conditions before;
    before.power_times_known = true;
    before.active_ms = 1000;
    before.suspended_ms = 3000;
    gpu_conditions now = before;
    now.active_ms = 1250;
    now.suspended_ms = 3750;
    double percent = -1.0;
    EXPECT_TRUE(powered_share(before, now, percent));
    EXPECT_DOUBLE_EQ(percent, 25.0);
    EXPECT_FALSE(powered_share(before, before, percent)) << "no time passed";
    now.active_ms = 10;
    EXPECT_FALSE(powered_share(before, now, percent)) << "the active time went back";
    EXPECT_EQ(percent, 0.0);
    now = before;
    now.power_times_known = false;
    EXPECT_FALSE(powered_share(before, now, percent));
}

} // namespace
