// The GPU's conditions (clock, power, temperature, under-voltage, CPU
// frequency) and the client's own name, from a fake kernel of every file, of
// none, and with the clock off.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "end_to_end/program_run.hpp"

namespace {

const char *const GPU_STATS = "sys/class/drm/card0/device/gpu_stats";
const char *const CLOCK = "sys/kernel/debug/clk/fw-clk-v3d/";
const char *const POWER = "sys/class/drm/card0/device/power/";

// The power times at sample `sample`: 600 ms powered and 400 ms suspended
// more per sample, written in place, as v3dwatch holds the files open.
void write_power_times(const kernel_tree &tree, std::size_t sample)
{
    tree.rewrite_in_place(std::string(POWER) + "runtime_active_time", std::to_string(5000 + 600 * sample) + "\n");
    tree.rewrite_in_place(std::string(POWER) + "runtime_suspended_time", std::to_string(9000 + 400 * sample) + "\n");
}

// A board: the V3D clock at 500 of 960 MHz (or off), 61.5 °C on the SoC's
// zone (another zone beside it), the supply below its limit on one of two
// monitors, and two CPU policies at 1.8 and 2.4 GHz.
void write_conditions(const kernel_tree &tree, bool clock_on)
{
    tree.write(std::string(POWER) + "runtime_active_time", "");
    tree.write(std::string(POWER) + "runtime_suspended_time", "");
    write_power_times(tree, 0);
    tree.write(std::string(CLOCK) + "clk_enable_count", clock_on ? "1\n" : "0\n");
    tree.write(std::string(CLOCK) + "clk_rate", "500000000\n");
    tree.write(std::string(CLOCK) + "clk_max_rate", "960000000\n");
    tree.write("sys/kernel/debug/clk/fw-clk-arm/clk_rate", "1800000000\n");
    tree.write(std::string(POWER) + "runtime_status", "active\n");
    tree.write("sys/class/thermal/thermal_zone0/type", "gpio-fan\n");
    tree.write("sys/class/thermal/thermal_zone0/temp", "30000\n");
    tree.write("sys/class/thermal/thermal_zone1/type", "cpu-thermal\n");
    tree.write("sys/class/thermal/thermal_zone1/temp", "61500\n");
    tree.write("sys/class/hwmon/hwmon0/in0_lcrit_alarm", "0\n");
    tree.write("sys/class/hwmon/hwmon1/in0_lcrit_alarm", "1\n");
    tree.write("sys/devices/system/cpu/cpufreq/policy0/scaling_cur_freq", "1800000\n");
    tree.write("sys/devices/system/cpu/cpufreq/policy4/scaling_cur_freq", "2400000\n");
}

struct run_output {
    std::vector<std::string> lines;
    std::string errors;
    std::string metrics;
    std::string summary;
};

// Two frames 0.1 s of GPU time apart, the client's application having named it.
run_output run_over(const kernel_tree &tree, const std::vector<std::string> &mode, bool with_files, bool clock_on)
{
    tree.add_process(100, "game", 1, 1);
    const std::vector<std::string> texts = {kernel_tree::gpu_stats(1'000'000'000), kernel_tree::gpu_stats(1'100'000'000),
                                            kernel_tree::gpu_stats(1'200'000'000)};
    const auto prepare = [&tree, with_files](std::size_t sample) {
        tree.add_fdinfo(100, 5,
                        "pos:\t0\ndrm-driver:\tv3d\ndrm-client-id:\t81\ndrm-client-name:\tstk-main\n"
                        "drm-engine-render: \t" + std::to_string(10'000'000 * (sample + 1)) + " ns\n");
        if (with_files) {
            write_power_times(tree, sample);
        }
    };
    if (with_files) {
        write_conditions(tree, clock_on);
    }
    const fifo_server stats(tree.path(GPU_STATS), texts, prepare);
    std::vector<std::string> arguments = {"-n", "2", "-d", "0.1", "--census", "0.1",
                                          "--summary-json", tree.path("summary.json")};
    arguments.insert(arguments.end(), mode.begin(), mode.end());
    program_run run(tree, arguments);
    run_output output;
    output.lines = run.read_all();
    output.errors = run.read_errors();
    EXPECT_EQ(run.wait(), 0) << output.errors;
    std::ifstream metrics(tree.path("metrics.prom"));
    std::ifstream summary(tree.path("summary.json"));
    output.metrics.assign(std::istreambuf_iterator<char>(metrics), {});
    output.summary.assign(std::istreambuf_iterator<char>(summary), {});
    return output;
}

std::string conditions_member(const std::string &json)
{
    const std::size_t start = json.find("\"conditions\":{");
    return start == std::string::npos ? "" : json.substr(start, json.find('}', start) - start + 1);
}

TEST(conditions_end_to_end, every_condition_in_json_metrics_and_the_summary)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    const run_output json = run_over(tree, {"--json"}, true, true);
    ASSERT_EQ(json.lines.size(), 2U) << json.errors;
    // 600 of the 1000 ms that passed between the samples were powered.
    EXPECT_EQ(conditions_member(json.lines[1]),
              R"("conditions":{"clock_hz":500000000,"clock_max_hz":960000000,"clock_on":true,"power":"active",)"
              R"("powered_percent":60.0,"temperature_celsius":61.5,"cpu_frequency_hz":2400000000,)"
              R"("under_voltage":true,"runtime_active_ms":6200,"runtime_suspended_ms":9800})");
    EXPECT_NE(json.lines[1].find(R"("process":"game","client_name":"stk-main",)"), std::string::npos);
    EXPECT_EQ(conditions_member(json.summary),
              R"("conditions":{"clock_mean_hz":500000000,"clock_min_hz":500000000,"powered_percent":60.0,)"
              R"("temperature_max_celsius":61.5,"cpu_frequency_max_hz":2400000000,"under_voltage_seen":true})");
    EXPECT_NE(json.errors.find("\nGPU conditions: clock 500 MHz mean, 500 MHz min while on; powered 60.0 %; "
                               "SoC 61.5 C max; CPU 2.4 GHz max; UNDER-VOLTAGE seen\n"),
              std::string::npos)
        << json.errors;

    kernel_tree metrics_tree;
    const run_output metrics = run_over(metrics_tree, {"--prometheus", metrics_tree.path("metrics.prom")}, true, true);
    for (const char *sample : {"v3d_gpu_clock_hertz{card=\"card0\"} 500000000\n",
                               "v3d_gpu_clock_max_hertz{card=\"card0\"} 960000000\n",
                               "v3d_gpu_powered_seconds_total{card=\"card0\"} 5.600\n",
                               "v3d_gpu_under_voltage{card=\"card0\"} 1\n"}) {
        EXPECT_NE(metrics.metrics.find(sample), std::string::npos) << sample << metrics.metrics;
    }
}

TEST(conditions_end_to_end, a_kernel_without_the_files_has_no_member_series_or_error)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    const run_output json = run_over(tree, {"--json"}, false, true);
    ASSERT_EQ(json.lines.size(), 2U) << json.errors;
    EXPECT_EQ(conditions_member(json.lines[1]), R"("conditions":{})");
    EXPECT_EQ(conditions_member(json.summary), R"("conditions":{})");
    EXPECT_EQ(json.errors.find("GPU conditions"), std::string::npos) << json.errors;

    kernel_tree metrics_tree;
    const run_output metrics = run_over(metrics_tree, {"--prometheus", metrics_tree.path("metrics.prom")}, false, true);
    EXPECT_NE(metrics.metrics.find("v3d_clients{"), std::string::npos) << metrics.metrics;
    EXPECT_EQ(metrics.metrics.find("v3d_gpu_clock"), std::string::npos) << metrics.metrics;
    EXPECT_EQ(metrics.metrics.find("v3d_gpu_powered"), std::string::npos) << metrics.metrics;
    EXPECT_EQ(metrics.metrics.find("v3d_gpu_under_voltage"), std::string::npos) << metrics.metrics;
}

TEST(conditions_end_to_end, a_clock_switched_off_has_no_rate)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    const run_output json = run_over(tree, {"--json"}, true, false);
    ASSERT_EQ(json.lines.size(), 2U) << json.errors;
    EXPECT_EQ(conditions_member(json.lines[1]).rfind(R"("conditions":{"clock_max_hz":960000000,"clock_on":false,)", 0),
              0U)
        << json.lines[1];
    EXPECT_EQ(conditions_member(json.summary).find("clock_"), std::string::npos) << json.summary;
}

} // namespace
